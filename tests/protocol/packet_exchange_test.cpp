// The packet exchange over the bus with a scripted device: what goes out on
// the bulk OUT pipe (commands and ACKs, byte for byte), how replies of one or
// several packets are taken in, and the log lines of each step.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "protocol/packet_exchange.h"
#include "protocol/packet_format.h"
#include "tests/protocol/camera_link.h"
#include "usb/qrnusb.h"

using namespace prototest;

namespace {

const Bytes kAck = {0x06};

class PacketExchangeTest : public CameraLinkTest {
protected:
  void SetUp() override {
    CameraLinkTest::SetUp();
    device_ = &attach_scripted();
  }
  void command(UCHAR type, UCHAR address) {
    ext()->ApiCommand.CommandType = type;
    ext()->ApiCommand.Address = address;
  }
  ULONG var_len(ULONG verify, ULONG capacity) {
    dest_.assign(capacity + 64, 0xEE);
    return VELTRA_GetVarLenReceive(ext(), verify, dest_.data(), capacity);
  }
  size_t acks() const {
    size_t n = 0;
    for (const Bytes &p : device_->out_packets())
      n += p == kAck ? 1 : 0;
    return n;
  }
  // The next packet the device will hand out, to see that nothing of a reply was left behind.
  void expect_next_is_marker() {
    device_->queue_in(Bytes{0x11});
    EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket), 1u);
    EXPECT_EQ(ext()->CamPacket.PacketType, 0x11) << "the reply was read to its end";
  }

  emu::ScriptedUsbDevice *device_ = nullptr;
  Bytes dest_;
};

// Makes sure the commands the driver sends appear on the bulk OUT pipe byte
// for byte, and the trace shows them. Catches a packet built into the wrong
// buffer or sent with the wrong length.
TEST_F(PacketExchangeTest, WorkedExamplesOnTheBus) {
  command(1, 0x0C);
  EXPECT_EQ(VELTRA_writeUSB(ext(), &ext()->ApiCommand), STATUS_SUCCESS);
  command(6, 0x0E);
  VELTRA_writeUSB(ext(), &ext()->ApiCommand);
  command(2, 0x19);
  ext()->ApiCommand.Argument.Byte = 0;
  VELTRA_writeUSB(ext(), &ext()->ApiCommand);
  command(3, 0x8D);
  ext()->ApiCommand.Argument.Block.DataLength = 12;
  std::memset(ext()->ApiCommand.Argument.Block.Data, 0, 12);
  ext()->ApiCommand.Argument.Block.Data[0] = 50;
  VELTRA_writeUSB(ext(), &ext()->ApiCommand);
  const std::vector<Bytes> expected = {{0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00},
                                       {0x1B, 0x43, 0x02, 0x00, 0x06, 0x0E, 0x14, 0x00},
                                       {0x1B, 0x43, 0x03, 0x00, 0x02, 0x19, 0x00, 0x1B, 0x00},
                                       {0x1B, 0x43, 0x0E, 0x00, 0x03, 0x8D, 0x32, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x00}};
  EXPECT_EQ(device_->out_packets(), expected);
  std::string trace;
  for (const std::string &line : trace_lines())
    trace += line;
  EXPECT_NE(trace.find("1b430200 010c0d00"), std::string::npos) << trace;
  EXPECT_NE(trace.find("1b430200 060e1400"), std::string::npos);
  EXPECT_NE(trace.find("1b430300 0219001b 00"), std::string::npos);
  EXPECT_NE(trace.find("1b430e00 038d3200"), std::string::npos);
  EXPECT_EQ(log_count("USBSyncWrite 8Bytes SendData[0]=1b\n"), 2u);
  EXPECT_EQ(log_count("USBSyncWrite 20Bytes SendData[0]=1b\n"), 1u);
  EXPECT_EQ(log_count("USBwriteComplete Status=0\n"), 4u);
  EXPECT_EQ(log_count("USBSyncWrite::Complete.status = 0\n"), 4u);
}

// Makes sure a command that cannot be built sends nothing and a length of 0
// sends nothing, and an ACK is one byte. Catches a send of stale bytes.
TEST_F(PacketExchangeTest, UnbuildableCommandAndEmptySendSendNothing) {
  command(5, 0x0C);
  EXPECT_EQ(VELTRA_writeUSB(ext(), &ext()->ApiCommand), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(recorder_->contains("Fail to VELTRA_CreateAPItoCAMPacket\n"));
  ext()->SendLength = 0;
  EXPECT_EQ(USBSyncWrite(ext()), STATUS_SUCCESS);
  EXPECT_TRUE(device_->out_packets().empty());
  EXPECT_EQ(VELTRA_writeUSB1Byte(ext(), 0x06), STATUS_SUCCESS);
  EXPECT_EQ(device_->out_packets(), std::vector<Bytes>{kAck});
  EXPECT_EQ(ext()->SendLength, 1u);
}

// Makes sure a failed write is logged and kept in WriteStatus but not
// returned. Catches a write error that goes unnoticed in the log.
TEST_F(PacketExchangeTest, FailedWriteShowsInLogAndWriteStatus) {
  device_->fail_next_out(usbbus::TransferOutcome::Stall);
  EXPECT_EQ(VELTRA_writeUSB1Byte(ext(), 0x06), STATUS_SUCCESS);
  EXPECT_LT(ext()->WriteStatus, 0);
  EXPECT_EQ(log_count("USBwriteComplete::ERROR="), 1u);
  EXPECT_EQ(log_count("USBSyncWrite::Complete.status = C0000004\n"), 1u) << recorder_->lines().back();
}

// Makes sure a two-packet reply that fits is collected whole with one ACK per
// packet, through both completion paths of the bus. Catches a lost second
// packet or an ACK missing or doubled.
TEST_F(PacketExchangeTest, TwoPacketReplyFits) {
  for (auto mode :
       {emu::ScriptedUsbDevice::AnswerMode::Immediate, emu::ScriptedUsbDevice::AnswerMode::Deferred}) {
    device_->set_answer_mode(mode, std::chrono::microseconds(200));
    const size_t before = acks();
    device_->queue_in(data_packet(0x02, counting(100, 0)));
    device_->queue_in(data_packet(0x03, counting(50, 100)));
    ASSERT_EQ(var_len(0, 150), 1u);
    EXPECT_EQ(Bytes(dest_.begin(), dest_.begin() + 150), counting(150, 0));
    EXPECT_EQ(dest_[150], 0xEE);
    EXPECT_EQ(acks() - before, 2u);
  }
  EXPECT_EQ(log_count("USBSyncRead Complete Status=0 ReadLen=106 ReadData[0]=2\n"), 2u);
}

// Makes sure a reply overflowing on its ETX packet keeps the first packet,
// acknowledges both and fails. Catches a copy past the capacity.
TEST_F(PacketExchangeTest, OverflowOnTheEtxPacket) {
  device_->queue_in(data_packet(0x02, counting(100, 0)));
  device_->queue_in(data_packet(0x03, counting(50, 100)));
  EXPECT_EQ(var_len(0, 120), 0u);
  EXPECT_EQ(Bytes(dest_.begin(), dest_.begin() + 100), counting(100, 0));
  EXPECT_EQ(dest_[100], 0xEE) << "nothing of the overflowing packet is kept";
  EXPECT_EQ(acks(), 2u);
  expect_next_is_marker();
}

// Makes sure a reply overflowing on an STX packet is read on to its ETX with
// one ACK per packet. Catches a reply left half-read in the camera.
TEST_F(PacketExchangeTest, OverflowOnAnStxPacketIsDrainedToEtx) {
  device_->queue_in(data_packet(0x02, counting(40)));
  device_->queue_in(data_packet(0x02, counting(40)));
  device_->queue_in(data_packet(0x02, counting(40)));
  device_->queue_in(data_packet(0x03, counting(5)));
  EXPECT_EQ(var_len(0, 50), 0u);
  EXPECT_EQ(acks(), 4u);
  EXPECT_EQ(dest_[40], 0xEE);
  expect_next_is_marker();
}

// Makes sure a wrong packet while draining ends the reply after its ACK.
// Catches a drain that loops on control packets.
TEST_F(PacketExchangeTest, ControlPacketWhileDrainingEndsTheReply) {
  device_->queue_in(data_packet(0x02, counting(40)));
  device_->queue_in(Bytes{0x15});
  EXPECT_EQ(var_len(0, 10), 0u);
  EXPECT_EQ(acks(), 2u);
}

// Makes sure an ACK where data was expected ends the reply with no ACK sent,
// and a packet failing its verified checksum the same. Catches an ACK sent
// for a packet that was not accepted.
TEST_F(PacketExchangeTest, WrongOrBadFirstPacketGetsNoAck) {
  device_->queue_in(kAck);
  EXPECT_EQ(var_len(1, 12), 0u);
  Bytes bad = data_packet(0x03, counting(12));
  bad.back() ^= 1;
  device_->queue_in(bad);
  EXPECT_EQ(var_len(1, 12), 0u);
  EXPECT_TRUE(recorder_->contains("Received Checksum Error\n"));
  device_->queue_in(bad);
  EXPECT_EQ(var_len(0, 12), 1u) << "not verified: accepted";
  EXPECT_EQ(acks(), 1u);
}

// Makes sure a read that fails on the bus or moves 0 bytes counts as no
// packet, with the read's log line. Catches a parse of stale RecvBuffer bytes.
TEST_F(PacketExchangeTest, FailedAndEmptyReadsAreNoPacket) {
  ext()->RecvBuffer[0] = 0x03;
  // Failed inside the call (the bus completed it at once with an error) ...
  device_->queue_in_failure(usbbus::TransferOutcome::NoResponse);
  EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket), 0u);
  EXPECT_EQ(log_count("USBSyncRead Read Error =C0000001\n"), 1u);
  // ... or after it pended: the failure comes while the read waits.
  std::atomic<ULONG> result{99};
  std::thread reader([&] { result = VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket); });
  // Pended: the bus's dispatch has returned, so the failure cannot end the read inside it.
  for (int i = 0; i < 2000 && bus_->pended_requests() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(bus_->pended_requests(), 1u);
  device_->queue_in_failure(usbbus::TransferOutcome::NoResponse);
  reader.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_EQ(log_count("USBSyncRead Complete Status=C0000005 ReadLen=0 ReadData[0]=3\n"), 1u);
  device_->queue_in(Bytes{});
  EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket), 0u);
  device_->queue_in_failure(usbbus::TransferOutcome::NoResponse);
  EXPECT_EQ(var_len(0, 100), 0u);
  EXPECT_EQ(acks(), 0u);
}

// Makes sure a read waiting for a silent device ends when the port is reset,
// with no time limit of its own. Catches a wait that only a reply can end.
TEST_F(PacketExchangeTest, PendingReadEndsWithAPortReset) {
  std::atomic<ULONG> result{99};
  std::thread reader([&] { result = VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket); });
  for (int i = 0; i < 1000 && device_->waiting_in_transfers() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(result.load(), 99u);
  EXPECT_EQ(QRNUSB_ResetPort(ext()->pRealPhysicalDeviceObject), STATUS_SUCCESS);
  reader.join();
  EXPECT_EQ(result.load(), 0u);
}

} // namespace
