// The zoom and focus commands on the wire: the driver started over a scripted
// device, each command called on the started device's extension with the
// replies queued, the packets it sent compared byte for byte.
#include <optional>

#include <gtest/gtest.h>

#include "controls/controls.h"
#include "emulator/usb/scripted_device.h"
#include "protocol/packet_exchange.h"
#include "tests/support/rig_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAck = {0x06};
const Bytes kEnq = {0x05};
const Bytes kNak = {0x15};

// A data packet (STX 0x02 or ETX 0x03): type, 0, length (u16 LE), data, sum of the data (u16 LE).
Bytes data_packet(uint8_t type, const Bytes &data) {
  Bytes packet = {type, 0, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)};
  unsigned sum = 0;
  for (uint8_t byte : data) {
    packet.push_back(byte);
    sum += byte;
  }
  packet.push_back(static_cast<uint8_t>(sum));
  packet.push_back(static_cast<uint8_t>(sum >> 8));
  return packet;
}

// The 12-byte zoom record the camera answers a zoom reading with.
Bytes zoom_record(uint32_t zoom) {
  Bytes record(12, 0);
  for (int i = 0; i < 4; ++i)
    record[i] = static_cast<uint8_t>(zoom >> (8 * i));
  return record;
}

enum class Command { SetZoom, GetZoom, Focus };

// One command with the replies queued for it: what it returns (TRUE or FALSE,
// or the zoom read) and the packets it sends (when `sent` is given).
struct WireCase {
  const char *name;
  Command command;
  LONG value; // the zoom to set
  std::vector<Bytes> replies;
  ULONG result;
  std::optional<std::vector<Bytes>> sent;
};

class CommandWireTest : public RigTest {
protected:
  void SetUp() override {
    RigTest::SetUp();
    device_->set_loopback(false);
    ASSERT_TRUE(rig_.plug(device_));
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
  }
  bool lock_free() { return KeReadStateEvent(&rig_.extension()->CameraLockEvent) != 0; }

  std::shared_ptr<emu::ScriptedUsbDevice> device_ = std::make_shared<emu::ScriptedUsbDevice>();
};

} // namespace

// Makes sure each command sends its documented packet, only ACK accepts a
// zoom and ACK then ENQ a focus, a reading above 100 becomes 50, a short reply
// is zero-extended and a long one reads 0, a NAK ends the exchange with nothing
// more awaited, and -1 or 101 send nothing without taking the camera lock
// (held here: taking it would hang). Catches a wrong record or checksum, stale
// bytes read as the zoom, a second reply awaited after a NAK, or the lock
// taken before the range check.
TEST_F(CommandWireTest, CommandsSendTheirPacketsAndReadEveryKindOfReply) {
  const Bytes set_zoom_50 = {0x1B, 0x43, 0x0E, 0x00, 0x03, 0x8D, 0x32, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x00};
  const Bytes get_zoom = {0x1B, 0x43, 0x02, 0x00, 0x04, 0x8D, 0x91, 0x00};
  const Bytes focus = {0x1B, 0x43, 0x03, 0x00, 0x02, 0x19, 0x00, 0x1B, 0x00};
  const WireCase cases[] = {
      {"zoom 50 ACKed", Command::SetZoom, 50, {kAck}, TRUE, {{set_zoom_50}}},
      {"zoom NAKed", Command::SetZoom, 100, {kNak}, FALSE, {}},
      {"zoom -1", Command::SetZoom, -1, {}, FALSE, {{}}},
      {"zoom 101", Command::SetZoom, 101, {}, FALSE, {{}}},
      {"zoom read 100", Command::GetZoom, 0, {data_packet(0x03, zoom_record(100))}, 100, {{get_zoom, kAck}}},
      {"zoom read 150", Command::GetZoom, 0, {data_packet(0x03, zoom_record(150))}, 50, {}},
      {"a one-byte record", Command::GetZoom, 0, {data_packet(0x03, {0x21})}, 0x21, {}},
      {"13 bytes of record",
       Command::GetZoom,
       0,
       {data_packet(0x02, zoom_record(40)), data_packet(0x03, {1})},
       0,
       {}},
      {"zoom read NAKed", Command::GetZoom, 0, {kNak}, 0, {}},
      {"focus done", Command::Focus, 0, {kAck, kEnq}, TRUE, {{focus}}},
      {"focus failed", Command::Focus, 0, {kAck, kAck}, FALSE, {}},
      {"focus NAKed", Command::Focus, 0, {kNak}, FALSE, {}},
  };
  PHW_DEVICE_EXTENSION ext = rig_.extension();
  for (const WireCase &c : cases) {
    SCOPED_TRACE(c.name);
    for (const Bytes &reply : c.replies)
      device_->queue_in(reply);
    const size_t before = device_->out_packets().size();
    const bool out_of_range = c.command == Command::SetZoom && (c.value < 0 || c.value > 100);
    if (out_of_range) {
      ASSERT_EQ(KeResetEvent(&ext->CameraLockEvent), 1);
    }
    ULONG result = 0xDEADBEEF;
    if (c.command == Command::SetZoom)
      result = VELTRA_SetZoomProperty(ext, c.value);
    else if (c.command == Command::Focus)
      result = VELTRA_SetFocusAuto(ext);
    else
      EXPECT_EQ(VELTRA_GetZoomProperty(ext, &result), TRUE);
    if (out_of_range)
      KeSetEvent(&ext->CameraLockEvent, 0, FALSE);
    EXPECT_EQ(result, c.result);
    const std::vector<Bytes> out = device_->out_packets();
    if (c.sent) {
      EXPECT_EQ(std::vector<Bytes>(out.begin() + static_cast<std::ptrdiff_t>(before), out.end()), *c.sent);
    }
    EXPECT_EQ(device_->waiting_in_transfers(), 0u) << "no reply is still awaited";
    EXPECT_TRUE(lock_free());
  }
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 1u);
}

// Makes sure a write that outlasts a command's limit is ended by a port reset
// and reported as failed. Catches a write that waits for ever, or an ended
// write reported as done.
TEST_F(CommandWireTest, WritePastTheLimitEndsWithAPortReset) {
  device_->set_answer_mode(emu::ScriptedUsbDevice::AnswerMode::Deferred, std::chrono::seconds(2));
  rig_.extension()->CommandReplyLimit = -1'000'000; // 100 ms
  EXPECT_EQ(VELTRA_writeUSB1Byte(rig_.extension(), 0x06), STATUS_TIMEOUT);
  EXPECT_LT(rig_.extension()->WriteStatus, 0) << "ended, not completed";
  EXPECT_EQ(device_->port_resets(), 1u);
  EXPECT_EQ(log_count("USBSyncWrite Send Timeout\n"), 1u);
  rig_.extension()->CommandReplyLimit = 0;
}
