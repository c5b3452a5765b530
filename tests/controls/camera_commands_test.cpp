// The zoom and focus commands: first on the wire against a scripted device
// (exact packets, every kind of reply), then against the emulated camera while
// the stream runs, where each command must stop the transfer thread before its
// packet and start it again after the reply.
#include <gtest/gtest.h>

#include "controls/controls.h"
#include "tests/controls/controls_fixture.h"
#include "tests/protocol/camera_link.h"

using namespace prototest;
using namespace ctltest;

namespace {

const Bytes kAck = {0x06};
const Bytes kEnq = {0x05};
const Bytes kNak = {0x15};
const Bytes kGetZoomCommand = {0x1B, 0x43, 0x02, 0x00, 0x04, 0x8D, 0x91, 0x00};
const Bytes kFocusCommand = {0x1B, 0x43, 0x03, 0x00, 0x02, 0x19, 0x00, 0x1B, 0x00};

// The 12-byte zoom record the camera answers with.
Bytes zoom_record(uint32_t zoom) {
  Bytes record(12, 0);
  for (int i = 0; i < 4; ++i)
    record[i] = static_cast<UCHAR>(zoom >> (8 * i));
  return record;
}

// The extension of a camera link with the camera lock set up as device
// initialization leaves it, and no stream open.
class CommandWireTest : public CameraLinkTest {
protected:
  void SetUp() override {
    CameraLinkTest::SetUp();
    device_ = &attach_scripted();
    KeInitializeEvent(&ext()->CameraLockEvent, SynchronizationEvent, TRUE);
  }
  bool lock_free() { return KeReadStateEvent(&ext()->CameraLockEvent) != 0; }
  ULONG get_zoom() {
    ULONG zoom = 0xDEADBEEF;
    EXPECT_EQ(VELTRA_GetZoomProperty(ext(), &zoom), TRUE);
    return zoom;
  }

  emu::ScriptedUsbDevice *device_ = nullptr;
};

} // namespace

// Commands on the wire: the documented packets, ACK alone accepts a zoom, ACK then ENQ a focus, readings
// above 100 become 50, short replies are zero-extended, long ones give 0, and -1 / 101 send nothing with the
// lock untouched; catches a wrong record or checksum, stale bytes read as the zoom, or a lock taken before
// the check.

TEST_F(CommandWireTest, SetZoomSendsTheRecordAndOnlyAckSucceeds) {
  device_->queue_in(kAck);
  EXPECT_EQ(VELTRA_SetZoomProperty(ext(), 50), TRUE);
  const Bytes expected = {0x1B, 0x43, 0x0E, 0x00, 0x03, 0x8D, 0x32, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x00};
  EXPECT_EQ(device_->out_packets(), std::vector<Bytes>{expected});
  device_->queue_in(kNak);
  EXPECT_EQ(VELTRA_SetZoomProperty(ext(), 100), FALSE);
  ASSERT_EQ(KeResetEvent(&ext()->CameraLockEvent), 1); // held: a lock taken now would hang the call
  EXPECT_EQ(VELTRA_SetZoomProperty(ext(), -1), FALSE);
  EXPECT_EQ(VELTRA_SetZoomProperty(ext(), 101), FALSE);
  EXPECT_EQ(device_->out_packets().size(), 2u);
  KeSetEvent(&ext()->CameraLockEvent, 0, FALSE);
}

TEST_F(CommandWireTest, GetZoomReadsTheRecordReplacesHighReadingsAndCopesWithOddReplies) {
  device_->queue_in(data_packet(0x03, zoom_record(100)));
  EXPECT_EQ(get_zoom(), 100u);
  EXPECT_EQ(device_->out_packets(), (std::vector<Bytes>{kGetZoomCommand, kAck}));
  device_->queue_in(data_packet(0x03, zoom_record(150)));
  EXPECT_EQ(get_zoom(), 50u);
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 1u);
  device_->queue_in(data_packet(0x03, {0x21}));
  EXPECT_EQ(get_zoom(), 0x21u) << "one byte came: zero-extended";
  device_->queue_in(data_packet(0x02, zoom_record(40)));
  device_->queue_in(data_packet(0x03, {0x01}));
  EXPECT_EQ(get_zoom(), 0u) << "13 bytes do not fit the record";
  device_->queue_in(kNak);
  EXPECT_EQ(get_zoom(), 0u);
  EXPECT_TRUE(lock_free());
}

TEST_F(CommandWireTest, FocusNeedsAckThenEnq) {
  device_->queue_in(kAck);
  device_->queue_in(kEnq);
  EXPECT_EQ(VELTRA_SetFocusAuto(ext()), TRUE);
  EXPECT_EQ(device_->out_packets(), std::vector<Bytes>{kFocusCommand});
  device_->queue_in(kAck);
  device_->queue_in(kAck);
  EXPECT_EQ(VELTRA_SetFocusAuto(ext()), FALSE);
  device_->queue_in(kNak);
  EXPECT_EQ(VELTRA_SetFocusAuto(ext()), FALSE);
  EXPECT_EQ(device_->waiting_in_transfers(), 0u) << "no second reply is awaited after a NAK";
  EXPECT_TRUE(lock_free());
}

// While streaming each command stops the transfer thread before its packet and starts it after the reply,
// also a failed one, and frames run on; catches a collision with the thread or a thread left stopped.
TEST_F(ControlsTest, CommandsWhileStreamingStopAndRestartTheThread) {
  start(camera_with({"focus-fail@2"}));
  ASSERT_NO_FATAL_FAILURE(stream(4, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(3, 10s));
  tap_->clear();

  ASSERT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_INVALID_PARAMETER);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  ASSERT_EQ(set_zoom(20), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 20u);

  const auto texts = tap_->texts();
  long at = 0;
  for (const char *exchange_start : {"** Send CAM_ONETOUCH_AF_OPCODE\n", "** Send CAM_ONETOUCH_AF_OPCODE\n",
                                     "## Enter VELTRA_GetVarLenReceive() BufferSize = 12\n",
                                     "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (14)\n"}) {
    const long stopped = find_line(texts, "VELTRA_ProcessTransferThread Stopped\n", at);
    const long command = find_line(texts, exchange_start, at);
    const long started = find_line(texts, "VELTRA_ProcessTransferThread Started\n", at);
    ASSERT_GE(stopped, 0) << exchange_start;
    EXPECT_LT(stopped, command) << exchange_start;
    EXPECT_LT(command, started) << exchange_start;
    at = started + 1;
  }
  EXPECT_EQ(find_line(texts, "VELTRA_ProcessTransferThread Stopped\n", at), -1);

  const size_t before = stream_->frames();
  ASSERT_TRUE(stream_->wait_frames(before + 3, 10s));
  close();
  const auto records = stream_->records();
  for (size_t i = 1; i < records.size(); ++i) {
    if (records[i].status != STATUS_SUCCESS || records[i - 1].status != STATUS_SUCCESS)
      continue;
    EXPECT_GT(records[i].info.PictureNumber, records[i - 1].info.PictureNumber);
    EXPECT_GE(records[i].header.PresentationTime.Time, records[i - 1].header.PresentationTime.Time);
  }
}

// A thread that gave up on its own counts as running: the command starts a new one; with the stream closed it
// starts none; catches a stream left without its thread for good, or a thread for no stream.
TEST_F(ControlsTest, CommandsRestartAThreadThatGaveUpAndStartNoneWithoutStream) {
  start(camera_with({"size-zero@3"}));
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_TRUE(wait_until([&] { return log_count("VELTRA_ProcessTransferThread Stopped\n") == 1; }, 10s));
  ASSERT_NE(stream_extension().pTransferThread, nullptr);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 2u);
  const uint64_t pictures = camera().counters.pictures;
  ASSERT_TRUE(wait_until([&] { return camera().counters.pictures > pictures + 2; }, 10s));

  close();
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 2u);
}
