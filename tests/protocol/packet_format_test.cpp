// The camera packet format: command packets built byte for byte, the checksum,
// and the reply parser's acceptance rules, with the log lines it writes.
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "diag/debug_msg.h"
#include "platform/debugdev/debug_device.h"
#include "platform/debugdev/line_recorder.h"
#include "protocol/packet_format.h"
#include "tests/support/platform_test.h"

namespace {

using Bytes = std::vector<UCHAR>;

class PacketFormatTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    command_ = std::make_unique<API_COMMAND>();
    reply_ = std::make_unique<CAM_PACKET>();
    std::memset(command_.get(), 0, sizeof(API_COMMAND));
    std::memset(reply_.get(), 0, sizeof(CAM_PACKET));
    std::memset(send_, 0xEE, sizeof(send_));
    ASSERT_EQ(platform::debug_device_create(recorder_), STATUS_SUCCESS);
    StartDebugMsg();
  }
  void TearDown() override {
    platform::debug_device_remove();
    gDebugMsgProc.store(nullptr);
    PlatformTest::TearDown();
  }

  // Builds the command record's packet; the bytes written, or nothing.
  Bytes build() {
    length_ = 0xDEAD;
    if (VELTRA_CreateAPItoCAMPacket(command_.get(), send_, &length_) != 1)
      return {};
    return Bytes(send_, send_ + length_);
  }
  ULONG parse(const Bytes &raw, ULONG verify = 1) {
    return VELTRA_ParseCAMtoAPIPacket(raw.data(), static_cast<ULONG>(raw.size()), verify, reply_.get());
  }
  static Bytes data_packet(UCHAR type, const Bytes &data, UCHAR extra = 0) {
    Bytes p;
    p.reserve(data.size() + 6);
    for (UCHAR b : {type, extra, static_cast<UCHAR>(data.size()), static_cast<UCHAR>(data.size() >> 8)})
      p.push_back(b);
    for (UCHAR b : data)
      p.push_back(b);
    USHORT sum = 0;
    for (UCHAR b : data)
      sum = static_cast<USHORT>(sum + b);
    p.push_back(static_cast<UCHAR>(sum));
    p.push_back(static_cast<UCHAR>(sum >> 8));
    return p;
  }

  std::unique_ptr<API_COMMAND> command_;
  std::unique_ptr<CAM_PACKET> reply_;
  UCHAR send_[CAM_SEND_BUFFER_SIZE + 16];
  ULONG length_ = 0;
  std::shared_ptr<platform::LineRecorder> recorder_ = std::make_shared<platform::LineRecorder>();
};

// Makes sure each command type builds byte for byte (the four worked examples
// are checked on the bus by the packet exchange tests): type 0 carries its value
// little-endian, type 3 with no data is an 8-byte packet, type 4 has no argument.
// Catches a type read from the wrong argument field or a wrong length field.
TEST_F(PacketFormatTest, ValueBlockAndPlainCommands) {
  command_->CommandType = 0;
  command_->Address = 0x20;
  command_->Argument.Value = 0x04030201;
  EXPECT_EQ(build(), (Bytes{0x1B, 0x43, 0x06, 0x00, 0x00, 0x20, 0x01, 0x02, 0x03, 0x04, 0x2A, 0x00}));
  command_->CommandType = 3;
  command_->Argument.Block.DataLength = 0;
  EXPECT_EQ(build(), (Bytes{0x1B, 0x43, 0x02, 0x00, 0x03, 0x20, 0x23, 0x00}));
  command_->CommandType = 4;
  command_->Address = 0x8D;
  EXPECT_EQ(build(), (Bytes{0x1B, 0x43, 0x02, 0x00, 0x04, 0x8D, 0x91, 0x00}));
}

// Makes sure refused types and a block longer than the send buffer build
// nothing and leave the send buffer and its length alone. Catches a write
// past the 1,024-byte send buffer.
TEST_F(PacketFormatTest, RefusedCommandsWriteNothing) {
  for (UCHAR type : {5, 7, 8, 0xFF}) {
    command_->CommandType = type;
    EXPECT_TRUE(build().empty()) << int(type);
    EXPECT_EQ(length_, 0xDEADu);
  }
  command_->CommandType = 3;
  command_->Argument.Block.DataLength = CAM_SEND_BUFFER_SIZE - 8; // 1,016: fits exactly
  EXPECT_EQ(build().size(), static_cast<size_t>(CAM_SEND_BUFFER_SIZE));
  std::memset(send_, 0xEE, sizeof(send_));
  for (USHORT n : {USHORT(CAM_SEND_BUFFER_SIZE - 7), USHORT(4096), USHORT(65535)}) {
    command_->Argument.Block.DataLength = n;
    EXPECT_TRUE(build().empty()) << n;
    EXPECT_EQ(length_, 0xDEADu);
  }
  for (UCHAR b : send_)
    ASSERT_EQ(b, 0xEE);
}

// Makes sure the checksum is a plain 16-bit byte sum that wraps, and a count
// of zero or less gives 0. Catches a signed byte sum or a complemented one.
TEST_F(PacketFormatTest, ChecksumWrapsAndIgnoresNonPositiveCounts) {
  std::vector<UCHAR> ff(300, 0xFF);
  EXPECT_EQ(VELTRA_ComputeChecksum(ff.data(), 300), 0x2AD4);
  EXPECT_EQ(VELTRA_ComputeChecksum(ff.data(), 0), 0);
  EXPECT_EQ(VELTRA_ComputeChecksum(ff.data(), -5), 0);
  const UCHAR bytes[] = {0x80, 0x81};
  EXPECT_EQ(VELTRA_ComputeChecksum(bytes, 2), 0x101);
}

// Makes sure control packets parse by their first byte alone and keep the
// previous data, and unknown first bytes are refused. Catches a parser that
// clears Data or accepts EOT.
TEST_F(PacketFormatTest, ControlPacketsAndUnknownTypes) {
  ASSERT_EQ(parse(data_packet(0x03, {1, 2, 3}, 0x44)), 1u);
  EXPECT_EQ(reply_->Extra, 0x44);
  for (UCHAR type : {0x05, 0x06, 0x11, 0x15, 0x18}) {
    EXPECT_EQ(parse(Bytes{type, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99}), 1u);
    EXPECT_EQ(reply_->PacketType, type);
    EXPECT_EQ(reply_->Extra, 0);
    EXPECT_EQ(reply_->Length, 0);
    EXPECT_EQ(reply_->Data[0], 1) << "Data stays as it was";
    EXPECT_EQ(reply_->Data[2], 3);
  }
  EXPECT_EQ(parse(Bytes{0x06}), 1u);
  for (UCHAR type : {0x00, 0x01, 0x04, 0x07, 0x1B, 0xFF}) {
    EXPECT_EQ(parse(Bytes{type, 0, 1, 0, 9, 9, 0}), 0u) << int(type);
    EXPECT_EQ(reply_->PacketType, type);
  }
  EXPECT_EQ(parse(Bytes{}), 0u) << "no byte, no packet";
}

// Makes sure the 7-byte minimum holds: 6 bytes with N = 0 refused, 7 with
// N = 1 accepted. Catches an off-by-one at the minimum.
TEST_F(PacketFormatTest, DataPacketMinimumLength) {
  EXPECT_EQ(parse(Bytes{0x02, 0, 0, 0, 0, 0}), 0u);
  EXPECT_EQ(parse(Bytes{0x03, 7, 1, 0, 0x42, 0x42, 0x00}), 1u);
  EXPECT_EQ(reply_->PacketType, 0x03);
  EXPECT_EQ(reply_->Extra, 7);
  EXPECT_EQ(reply_->Length, 1);
  EXPECT_EQ(reply_->Data[0], 0x42);
}

// Makes sure the checksum is verified only for the flag value 1, with its
// two log lines. Catches a flag tested as "non-zero".
TEST_F(PacketFormatTest, ChecksumVerifiedOnlyForFlagOne) {
  Bytes bad = data_packet(0x02, {10, 20, 30});
  bad[bad.size() - 2] ^= 0xFF;
  recorder_->clear();
  EXPECT_EQ(parse(bad, 1), 0u);
  EXPECT_EQ(recorder_->lines(),
            (std::vector<std::string>{"Length = 3 CheckSum=0000003c\n", "Received Checksum Error\n"}));
  EXPECT_EQ(reply_->Length, 0);
  EXPECT_EQ(reply_->PacketType, 0x02);
  for (ULONG flag : {0u, 2u, 0xFFFFFFFFu}) {
    recorder_->clear();
    EXPECT_EQ(parse(bad, flag), 1u) << flag;
    EXPECT_EQ(reply_->Length, 3);
    EXPECT_EQ(recorder_->size(), 0u);
  }
  recorder_->clear();
  EXPECT_EQ(parse(data_packet(0x02, {10, 20, 30}), 1), 1u);
  EXPECT_EQ(recorder_->lines(), (std::vector<std::string>{"Length = 3 CheckSum=0000003c\n"}));
}

// Makes sure a length field claiming more than was received is refused
// without reading past the received bytes, also with the checksum not
// verified, and the largest packet fits the reply record. Catches an
// out-of-bounds read (AddressSanitizer watches the exact-size buffers).
TEST_F(PacketFormatTest, LengthFieldBeyondTheReceivedBytesIsRefused) {
  for (ULONG verify : {0u, 1u}) {
    Bytes p = data_packet(0x02, Bytes(100, 7));
    p.pop_back(); // one checksum byte missing
    EXPECT_EQ(parse(p, verify), 0u);
    Bytes claim = {0x03, 0, 0xFF, 0xFF, 1, 2, 3, 4};
    EXPECT_EQ(parse(claim, verify), 0u);
    EXPECT_EQ(reply_->Length, 0);
  }
  // More bytes than the packet needs: the packet is taken, the rest ignored.
  Bytes trailing = data_packet(0x03, {5, 6});
  trailing.push_back(0xAA);
  EXPECT_EQ(parse(trailing), 1u);
  EXPECT_EQ(reply_->Length, 2);

  Bytes largest = data_packet(0x03, Bytes(65530, 0x01));
  ASSERT_EQ(largest.size(), static_cast<size_t>(CAM_BUFFER_SIZE));
  EXPECT_EQ(parse(largest), 1u);
  EXPECT_EQ(reply_->Length, 65530);
  Bytes biggest = data_packet(0x02, Bytes(65535, 0x02));
  EXPECT_EQ(parse(biggest), 1u);
  EXPECT_EQ(reply_->Length, 65535);
  EXPECT_EQ(reply_->Data[65534], 0x02);
}

} // namespace
