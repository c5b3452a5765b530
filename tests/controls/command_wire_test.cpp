// The zoom and focus commands on the wire: the driver started over a scripted
// device, each command called on the started device's extension with every
// kind of reply queued.
#include <gtest/gtest.h>

#include "controls/controls.h"
#include "emulator/camera/wire.h"
#include "emulator/usb/scripted_device.h"
#include "protocol/packet_exchange.h"
#include "tests/support/rig_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAck = {emu::kAck};
const Bytes kEnq = {emu::kEnq};
const Bytes kNak = {emu::kNak};

Bytes data_packet(uint8_t type, const Bytes &data) {
  return emu::wire_data_packet(type, data);
}

// The zoom record the camera answers a zoom reading with.
Bytes zoom_record(uint32_t zoom) {
  Bytes record(emu::kZoomRecordSize, 0);
  for (int i = 0; i < 4; ++i)
    record[i] = static_cast<uint8_t>(zoom >> (8 * i));
  return record;
}

enum class Command { SetZoom, GetZoom, Focus };

constexpr ULONG kNoZoom = 0xDEADBEEF; // a failed reading leaves the value alone

// One command with the replies queued for it, and what it returns (TRUE or
// FALSE, or the zoom read: kNoZoom when the reading fails).
struct WireCase {
  const char *name;
  Command command;
  LONG value; // the zoom to set
  std::vector<Bytes> replies;
  ULONG result;
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

// Makes sure each kind of reply gives its result, a NAK ends the exchange, -1 or 101 send nothing nor take
// the camera lock (held here). Catches stale bytes read as the zoom, the lock taken before the range check.
TEST_F(CommandWireTest, CommandsReadEveryKindOfReply) {
  const WireCase cases[] = {
      {"zoom 50 ACKed", Command::SetZoom, 50, {kAck}, TRUE},
      {"zoom NAKed", Command::SetZoom, 100, {kNak}, FALSE},
      {"zoom -1", Command::SetZoom, -1, {}, FALSE},
      {"zoom 101", Command::SetZoom, 101, {}, FALSE},
      {"zoom read 100", Command::GetZoom, 0, {data_packet(0x03, zoom_record(100))}, 100},
      {"zoom read 150", Command::GetZoom, 0, {data_packet(0x03, zoom_record(150))}, 50},
      {"a one-byte record", Command::GetZoom, 0, {data_packet(0x03, {0x21})}, 0x21},
      {"13 bytes",
       Command::GetZoom,
       0,
       {data_packet(0x02, zoom_record(40)), data_packet(0x03, {1})},
       kNoZoom},
      {"zoom read NAKed", Command::GetZoom, 0, {kNak}, kNoZoom},
      {"focus done", Command::Focus, 0, {kAck, kEnq}, TRUE},
      {"focus failed", Command::Focus, 0, {kAck, kAck}, FALSE},
      {"focus NAKed", Command::Focus, 0, {kNak}, FALSE},
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
    ULONG result = kNoZoom;
    if (c.command == Command::SetZoom)
      result = VELTRA_SetZoomProperty(ext, c.value);
    else if (c.command == Command::Focus)
      result = VELTRA_SetFocusAuto(ext);
    else
      EXPECT_EQ(VELTRA_GetZoomProperty(ext, &result), c.result != kNoZoom);
    if (out_of_range) {
      KeSetEvent(&ext->CameraLockEvent, 0, FALSE);
      EXPECT_EQ(device_->out_packets().size(), before) << "nothing is sent";
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(device_->waiting_in_transfers(), 0u) << "no reply is still awaited";
    EXPECT_TRUE(lock_free());
  }
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 1u);
}

// Makes sure a write past a command's limit ends with a port reset and fails. Catches a write left waiting.
TEST_F(CommandWireTest, WritePastTheLimitEndsWithAPortReset) {
  device_->set_answer_mode(emu::ScriptedUsbDevice::AnswerMode::Deferred, std::chrono::seconds(2));
  rig_.extension()->CommandReplyLimit = -1'000'000; // 100 ms
  EXPECT_EQ(VELTRA_writeUSB1Byte(rig_.extension(), 0x06), STATUS_TIMEOUT);
  EXPECT_LT(rig_.extension()->WriteStatus, 0) << "ended, not completed";
  EXPECT_EQ(device_->port_resets(), 1u);
  EXPECT_EQ(log_count("USBSyncWrite Send Timeout\n"), 1u);
  rig_.extension()->CommandReplyLimit = 0;
}
