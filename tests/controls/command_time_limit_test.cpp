// The time limit of camera commands: a command whose camera loses a reply, goes
// silent or never gets the command fails within its limit instead of holding
// the camera (and the adapter request, the zoom work item, the stream's frames)
// for ever; the transfer is ended with a port reset, a late reply does not
// confuse the next command, and the transfer thread's reads stay unlimited.
#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "controls/controls.h"
#include "protocol/packet_exchange.h"
#include "tests/controls/controls_fixture.h"
#include "tests/protocol/camera_link.h"

using namespace prototest;
using namespace ctltest;

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kAck = {0x06};

// A limit short enough for the wire tests: 100 ms, relative, in 100 ns units.
constexpr LONGLONG kShortLimit = -1'000'000;

const std::string kReadTimeout = "USBSyncRead Reply Timeout\n";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Moves a manual camera clock on by 1 ms every millisecond while running:
// a camera whose time passes only while the test lets it.
class ClockPump {
public:
  explicit ClockPump(std::shared_ptr<emu::ManualCameraClock> clock)
      : clock_(std::move(clock)), thread_([this] { run(); }) {}
  ~ClockPump() {
    done_ = true;
    thread_.join();
  }
  ClockPump(const ClockPump &) = delete;
  ClockPump &operator=(const ClockPump &) = delete;

  std::atomic<bool> running{true};

private:
  void run() {
    while (!done_) {
      if (running)
        clock_->advance(1'000'000);
      std::this_thread::sleep_for(1ms);
    }
  }

  std::shared_ptr<emu::ManualCameraClock> clock_;
  std::atomic<bool> done_{false};
  std::thread thread_; // last: it runs on the members above
};

// The packet exchange on the wire with a scripted device, under a short limit.
class LimitWireTest : public CameraLinkTest {
protected:
  void SetUp() override {
    CameraLinkTest::SetUp();
    device_ = &attach_scripted();
  }

  emu::ScriptedUsbDevice *device_ = nullptr;
};

} // namespace

// Under a limit, a read or write that outlasts it is ended by a port reset and reported as failed, and the
// pipe works on; without a limit nothing is ended; catches a wait that never ends, a completion that lands
// after the call returned (the sanitizers see the read context), or a timed-out transfer reported as done.

TEST_F(LimitWireTest, ReadPastTheLimitEndsWithAPortResetAndNoData) {
  ext()->CommandReplyLimit = kShortLimit;
  const auto start = Clock::now();
  EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket), 0u);
  EXPECT_GE(seconds_since(start), 0.09);
  EXPECT_EQ(device_->port_resets(), 1u);
  EXPECT_EQ(device_->waiting_in_transfers(), 0u);
  EXPECT_EQ(log_count(kReadTimeout), 1u);
  EXPECT_EQ(log_count("USBSyncRead Complete Status=C0010000 ReadLen=0"), 1u);

  device_->queue_in(kAck);
  EXPECT_EQ(VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket), 1u);
  EXPECT_EQ(ext()->CamPacket.PacketType, 0x06);
  EXPECT_EQ(log_count(kReadTimeout), 1u) << "a reply in time is not cut";
  EXPECT_EQ(device_->port_resets(), 1u);
}

TEST_F(LimitWireTest, WritePastTheLimitEndsWithAPortResetAndKeepsItsStatus) {
  device_->set_answer_mode(emu::ScriptedUsbDevice::AnswerMode::Deferred, std::chrono::seconds(2));
  ext()->CommandReplyLimit = kShortLimit;
  const auto start = Clock::now();
  EXPECT_EQ(VELTRA_writeUSB1Byte(ext(), 0x06), STATUS_TIMEOUT);
  EXPECT_LT(seconds_since(start), 1.5) << "the write was not left to the device's 2 s";
  EXPECT_LT(ext()->WriteStatus, 0) << "ended, not completed";
  EXPECT_EQ(device_->port_resets(), 1u);
  EXPECT_EQ(log_count("USBSyncWrite Send Timeout\n"), 1u);
  EXPECT_EQ(log_count("USBSyncWrite::Complete.status = C0010000\n"), 1u);
}

TEST_F(LimitWireTest, WithoutALimitAReadWaitsForItsReply) {
  std::atomic<ULONG> result{99};
  std::thread reader([&] { result = VELTRA_ReceiveCAMPacket(ext(), 1, &ext()->CamPacket); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(result.load(), 99u) << "still waiting well past the short limit";
  device_->queue_in(kAck);
  reader.join();
  EXPECT_EQ(result.load(), 1u);
  EXPECT_EQ(device_->port_resets(), 0u);
  EXPECT_EQ(log_count(kReadTimeout), 0u);
}

// The commands' own limits: a zoom Get against each kind of silent camera reads 0 within about its 1 s limit, logs the
// timeout and leaves the camera answering again and the camera lock free; catches the Get that hung for ever
// (the adapter's requests behind it with it), a limit left set, or a camera left silent.

class ZoomGetFaultTest : public ControlsTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(ZoomGetFaultTest, ReadsZeroWithinTheLimit) {
  start(camera_with({GetParam()}));
  KSPROPERTY_CAMERACONTROL_S zoom{};
  zoom.Value = 77;
  const auto begin = Clock::now();
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  const double took = seconds_since(begin);
  EXPECT_EQ(zoom.Value, 0);
  const double limit = -CAM_REPLY_LIMIT / 1e7;
  EXPECT_GE(took, limit * 0.95);
  EXPECT_LT(took, limit + 5.0);
  EXPECT_EQ(log_count(kReadTimeout), 1u);
  EXPECT_EQ(log_count("enter QRNUSB_ResetPort\n"), 1u);
  const emu::CameraSnapshot snap = camera();
  emu::Fault fault;
  ASSERT_TRUE(emu::fault_by_name(GetParam(), &fault));
  EXPECT_GE(snap.faults_injected[static_cast<size_t>(fault)], 1u);
  EXPECT_GE(snap.counters.resets, 1u);
  EXPECT_FALSE(snap.silent) << "the reset ended the silence";
  EXPECT_EQ(extension()->CommandReplyLimit, 0);
  EXPECT_NE(KeReadStateEvent(&extension()->CameraLockEvent), 0);
}

INSTANTIATE_TEST_SUITE_P(SilentCameras, ZoomGetFaultTest,
                         ::testing::Values("lost-packet", "stop-answering", "write-error"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           std::string name;
                           for (const char *c = info.param; *c != '\0'; ++c)
                             if (*c != '-')
                               name += *c;
                           return name;
                         });

// A slow focus (5 s) is still within its own limit; catches the focus's second reply cut at the 3 s of the
// other replies.
TEST_F(ControlsTest, SlowFocusStillSucceeds) {
  start(camera_with({"focus-slow"}));
  const auto begin = Clock::now();
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  EXPECT_GE(seconds_since(begin), 4.9);
  EXPECT_EQ(log_count(kReadTimeout), 0u);
  EXPECT_TRUE(camera().focused);
}

// The zoom work item against a silent camera ends by itself within the limit, and the removal that follows
// has nothing to wait for; catches a work item stuck for ever, holding the camera and the removal.
TEST_F(ControlsTest, ZoomWorkItemAgainstASilentCameraEnds) {
  start(camera_with({"stop-answering"}));
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(wait_until(
      [&] { return find_line(tap_->texts(4), "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (1E)\n") >= 0; }, 10s));
  const auto sent = Clock::now();
  ASSERT_TRUE(zoom_settled());
  EXPECT_LT(seconds_since(sent), 8.0);
  EXPECT_EQ(log_count(kReadTimeout), 1u);
  EXPECT_FALSE(camera().silent);
  const auto removing = Clock::now();
  ASSERT_EQ(adapter().remove(streamclass::RemovalKind::Orderly), STATUS_SUCCESS);
  EXPECT_LT(seconds_since(removing), 0.9) << "no stalled exchange was left to end";
  EXPECT_EQ(platform::work_items_pending(), 0u);
}

// A reply that comes after its command gave up is not taken for the next command's: the port reset drops it;
// catches a protocol left one reply behind for good (each command reading the answer of the one before).
TEST_F(ControlsTest, ALateReplyDoesNotConfuseTheNextCommand) {
  auto clock = std::make_shared<emu::ManualCameraClock>();
  std::string error;
  // The link takes a second of camera time each way, which passes only when the test says: a reply arrives
  // two seconds after its command.
  ASSERT_EQ(rig_->start(camera_with({}, 1'000'000'000), &error, clock), STATUS_SUCCESS) << error;

  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 0);
  ASSERT_EQ(log_count(kReadTimeout), 1u);
  clock->advance(5'000'000'000); // the Get's answer would have arrived by now

  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(wait_until([&] { return camera().counters.zoom_sets == 1; }, 10s));
  clock->advance(3'000'000'000);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 30u);

  auto reading = std::async(std::launch::async, [&] {
    KSPROPERTY_CAMERACONTROL_S value{};
    const NTSTATUS status = get(KSPROPERTY_CAMERACONTROL_ZOOM, value);
    return status == STATUS_SUCCESS ? value.Value : -1;
  });
  ASSERT_TRUE(wait_until([&] { return camera().counters.zoom_reads == 2; }, 10s));
  clock->advance(3'000'000'000);
  EXPECT_EQ(reading.get(), 30) << "the Set took its own ACK, the Get its own record";
  EXPECT_EQ(log_count(kReadTimeout), 1u);
}

// While streaming, a command that timed out starts the transfer thread again, without the limit: the
// restarted thread waits for a slow camera as long as it takes, and frames flow again; catches a stream left
// without its thread, or a thread whose picture reads inherited the command's limit.
TEST_F(ControlsTest, StreamRunsOnAfterATimedOutCommand) {
  auto clock = std::make_shared<emu::ManualCameraClock>();
  std::string error;
  ASSERT_EQ(rig_->start(camera_with({}, 1'000'000), &error, clock), STATUS_SUCCESS) << error;
  ClockPump pump(clock); // every reply needs 1 ms of the camera's time
  ASSERT_NO_FATAL_FAILURE(stream(4, 320, 240, false));
  EXPECT_TRUE(stream_->wait_frames(3, 10s));

  pump.running = false;
  KSPROPERTY_CAMERACONTROL_S zoom{};
  EXPECT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 0);
  EXPECT_EQ(log_count(kReadTimeout), 1u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 2u);
  std::this_thread::sleep_for(1500ms); // the restarted thread waits on, past the command's limit
  EXPECT_EQ(log_count(kReadTimeout), 1u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 1u);

  const size_t before = stream_->frames();
  pump.running = true;
  EXPECT_TRUE(stream_->wait_frames(before + 3, 10s));
  close();
}
