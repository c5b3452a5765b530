// The started driver's packet exchange and picture commands over the bus to a scripted device. No pin is open
// (no transfer thread): the test calls them on the device extension.
#include <cstring>

#include "emulator/camera/wire.h"
#include "protocol/packet_exchange.h"
#include "protocol/packet_format.h"
#include "protocol/picture_commands.h"
#include "tests/usb/usb_fixture.h"

namespace {

using Bytes = std::vector<UCHAR>;
using namespace std::chrono_literals;

const Bytes kAck = {0x06};
const Bytes kSizeCommand = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
const Bytes kPictureCommand = {0x1B, 0x43, 0x02, 0x00, 0x06, 0x0E, 0x14, 0x00};

// `n` bytes counting up from `first`.
Bytes counting(size_t n, UCHAR first = 0) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

Bytes etx(const Bytes &data) {
  return emu::wire_data_packet(emu::kEtx, data);
}
Bytes stx(const Bytes &data) {
  return emu::wire_data_packet(emu::kStx, data);
}

class PacketExchangeTest : public usbtest::UsbTest {
protected:
  void SetUp() override {
    UsbTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_scripted());
    device_->set_loopback(false);
    ext_ = rig_.extension();
  }
  void queue(const std::vector<Bytes> &packets) {
    for (const Bytes &packet : packets)
      device_->queue_in(packet);
  }
  size_t acks() const {
    size_t n = 0;
    for (const Bytes &packet : device_->out_packets())
      n += packet == kAck ? 1 : 0;
    return n;
  }

  PHW_DEVICE_EXTENSION ext_ = nullptr;
};

// Makes sure a block filling the 1,024-byte send buffer goes out whole, and a longer one or a command of an
// unknown type sends nothing. Catches an off-by-one at the send buffer. (The commands the driver sends, byte
// for byte: the emulated camera answers any other with a NAK.)
TEST_F(PacketExchangeTest, CommandsBeyondTheSendBufferAreRefused) {
  Bytes fits = {0x1B, 0x43, 0xFA, 0x03, 0x03, 0x20, 50};
  fits.resize(CAM_SEND_BUFFER_SIZE - 2);
  fits.insert(fits.end(), {0x55, 0x00});
  const struct {
    UCHAR type;
    ULONG length;   // of the block (type 3), whose data starts with 50
    Bytes expected; // empty: refused
  } cases[] = {{3, CAM_SEND_BUFFER_SIZE - 8, fits},
               {3, CAM_SEND_BUFFER_SIZE - 7, {}},
               {3, 65535, {}},
               {5, 0, {}},
               {0xFF, 0, {}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << int(c.type) << ", " << c.length);
    API_COMMAND &command = ext_->ApiCommand;
    std::memset(&command, 0, 16);
    command.CommandType = c.type;
    command.Address = 0x20;
    command.Argument.Block = {static_cast<USHORT>(c.length), {50}};
    clear_log();
    const size_t sent = device_->out_packets().size();
    EXPECT_EQ(VELTRA_writeUSB(ext_, &command),
              c.expected.empty() ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    const std::vector<Bytes> out = device_->out_packets();
    EXPECT_EQ(out.size() == sent ? Bytes{} : out.back(), c.expected);
    EXPECT_EQ(log_count("Fail to VELTRA_CreateAPItoCAMPacket\n"), c.expected.empty() ? 1u : 0u);
  }
}

// Makes sure a reply is read to its ETX with one ACK per data packet on both completion paths, keeping what
// fits and counting every data byte, with no ACK for a refused packet. Catches a lost packet, a wrong ACK, a
// copy past the capacity, an overflow not told from a short reply.
TEST_F(PacketExchangeTest, RepliesAreReadToTheirEndWithOneAckPerPacket) {
  Bytes bad = etx(counting(12));
  bad.back() ^= 1;
  const Bytes first = stx(counting(100)), last = etx(counting(50, 100)), forty = stx(counting(40));
  struct Case {
    const char *what;
    emu::ScriptedUsbDevice::AnswerMode mode;
    std::vector<Bytes> packets;
    ULONG verify, capacity, result;
    size_t acks, kept; // ACKs sent; bytes of the reply kept at the start of the destination
    ULONG received;    // data bytes the reply's packets carried
  };
  const auto now = emu::ScriptedUsbDevice::AnswerMode::Immediate;
  const auto later = emu::ScriptedUsbDevice::AnswerMode::Deferred;
  const Case cases[] = {
      {"two packets", now, {first, last}, 0, 150, 1, 2, 150, 150},
      {"two packets, answered later", later, {first, last}, 0, 150, 1, 2, 150, 150},
      {"overflow on ETX", now, {first, last}, 0, 120, 0, 2, 100, 150},
      {"overflow on STX", now, {forty, forty, forty, etx(counting(5))}, 0, 50, 0, 4, 40, 125},
      {"NAK while draining", now, {forty, {0x15}}, 0, 10, 0, 2, 0, 40},
      {"ACK first", now, {kAck}, 1, 12, 0, 0, 0, 0},
      {"bad checksum", now, {bad}, 1, 12, 0, 0, 0, 0},
      {"bad checksum not verified", now, {bad}, 0, 12, 1, 1, 12, 12},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    device_->set_answer_mode(c.mode, 200us);
    const size_t acks_before = acks();
    queue(c.packets);
    Bytes dest(c.capacity + 64, 0xEE);
    ULONG received = 99;
    EXPECT_EQ(VELTRA_GetVarLenReceive(ext_, c.verify, dest.data(), c.capacity, &received), c.result);
    EXPECT_EQ(received, c.received);
    EXPECT_EQ(acks() - acks_before, c.acks);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + c.kept), counting(c.kept));
    EXPECT_EQ(dest[c.kept], 0xEE);
    device_->queue_in(Bytes{0x11});
    EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext_, 1, &ext_->CamPacket), 1u);
    EXPECT_EQ(ext_->CamPacket.PacketType, 0x11) << "the reply was read to its end";
  }
}

// Makes sure a read that moves no byte is no packet. Catches a parse of stale RecvBuffer bytes. (Reads that
// fail or wait for a silent camera, writes that fail: the camera's faults in camera_pictures_test.cpp.)
TEST_F(PacketExchangeTest, ReadOfNoByteIsNoPacket) {
  ext_->RecvBuffer[0] = 0x03;
  device_->queue_in(Bytes{});
  EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext_, 1, &ext_->CamPacket), 0u);
}

// Makes sure the size is read little-endian and acknowledged (a NAK, a short or a refused answer give 0, not
// acknowledged), a picture of the size fits and one byte more fails, each counted, one above the buffer is
// refused unsent. Catches byte order, a NAK's stale bytes taken for a size, an off-by-one at the capacity.
TEST_F(PacketExchangeTest, PictureSizeAndPictureCommands) {
  Bytes bad = etx({0x00, 0xC0, 0x00, 0x00});
  bad.back() ^= 1;
  queue({etx({0x10, 0x27, 0x00, 0x00}), {0x15}, etx({0x10, 0x27, 0x00}), bad});
  EXPECT_EQ(VELTRA_PictureSizeAddr(ext_), 10000u);
  for (const char *answer : {"NAK", "three bytes", "bad checksum"})
    EXPECT_EQ(VELTRA_PictureSizeAddr(ext_), 0u) << answer;
  EXPECT_EQ(device_->out_packets(),
            (std::vector<Bytes>{kSizeCommand, kAck, kSizeCommand, kSizeCommand, kSizeCommand}));

  const Bytes picture = counting(3000, 7);
  queue({stx(Bytes(picture.begin(), picture.begin() + 1000)),
         stx(Bytes(picture.begin() + 1000, picture.begin() + 2000)),
         etx(Bytes(picture.begin() + 2000, picture.end()))});
  ULONG received = 0;
  EXPECT_EQ(VELTRA_PictureBufferAddr(ext_, ext_->PictureBuffer, 3000, &received), 1u);
  EXPECT_EQ(received, 3000u);
  EXPECT_EQ(Bytes(ext_->PictureBuffer, ext_->PictureBuffer + 3000), picture);
  queue({stx(Bytes(1000, 1)), stx(Bytes(1000, 2)), etx(Bytes(1001, 3))});
  EXPECT_EQ(VELTRA_PictureBufferAddr(ext_, ext_->PictureBuffer, 3000, &received), 0u);
  EXPECT_EQ(received, 3001u);
  ASSERT_EQ(device_->out_packets().size(), 5u + 4 + 4);
  EXPECT_EQ(device_->out_packets()[5], kPictureCommand);

  EXPECT_EQ(VELTRA_PictureBufferAddr(ext_, ext_->PictureBuffer, CAM_BUFFER_SIZE + 1, &received), 0u);
  EXPECT_EQ(VELTRA_PictureBufferAddr(ext_, ext_->PictureBuffer, 0xFFFFFFFFu, &received), 0u);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(device_->out_packets().size(), 13u);
  EXPECT_EQ(recorder_->count("Too Large"), 2u);
  queue({etx(Bytes(10, 1))});
  EXPECT_EQ(VELTRA_PictureBufferAddr(ext_, ext_->PictureBuffer, CAM_BUFFER_SIZE, &received), 1u)
      << "the buffer's own size";
  EXPECT_EQ(received, 10u) << "a picture shorter than announced";
}

} // namespace
