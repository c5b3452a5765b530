// A camera that stops answering (it goes silent, a reply packet is lost, or a
// command never reaches it): every camera command, the stream's close and the
// device's removal must still come back within the time a user would wait,
// and leave the camera answering again.
#include <algorithm>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

enum class Action { ZoomGet, Focus, ZoomChange, Close, RemovalDuringFocus };

struct SilentCase {
  const char *name;
  const char *fault;
  Action action;
};

const SilentCase kCases[] = {
    {"ZoomGetLostPacket", "lost-packet", Action::ZoomGet},
    {"ZoomGetStopAnswering", "stop-answering", Action::ZoomGet},
    {"ZoomGetWriteError", "write-error", Action::ZoomGet},
    {"ZoomGetDisconnect", "disconnect", Action::ZoomGet},
    {"FocusStopAnswering", "stop-answering", Action::Focus},
    {"ZoomChangeStopAnswering", "stop-answering", Action::ZoomChange},
    {"CloseStopAnswering", "stop-answering@3", Action::Close},
    {"CloseLostPacket", "lost-packet@3", Action::Close},
    {"CloseWriteError", "write-error@3", Action::Close},
    {"SurpriseRemovalDuringFocus", "stop-answering", Action::RemovalDuringFocus},
};

void PrintTo(const SilentCase &c, std::ostream *out) {
  *out << c.name;
}

const std::string kReadTimeout = "USBSyncRead Reply Timeout\n";

class SilentCameraTest : public RigTest, public ::testing::WithParamInterface<SilentCase> {
protected:
  // Runs `step` as `where`; a step still running after `limit` fails the test,
  // and the camera is then unplugged (which ends what waits for it).
  void expect_returns(const std::string &where, std::chrono::milliseconds limit,
                      const std::function<void()> &step) {
    rig::Failures failures;
    {
      rig::StepWatch watch(failures, GetParam().name);
      usbbus::UsbBus *bus = &rig_.bus();
      watch.run(where, limit, step, [bus] { bus->remove_device(); });
    }
    EXPECT_TRUE(failures.empty()) << failures.text();
  }
  // Streams until the fault has struck, then checks that no frame comes.
  void stream_until_silent() {
    ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.stream({.buffers = 2, .keep_data = false, .hook = {}}), STATUS_SUCCESS);
    ASSERT_TRUE(rig::wait_until(
        [&] {
          const emu::CameraSnapshot s = rig_.camera().snapshot();
          return std::any_of(s.faults_injected.begin(), s.faults_injected.end(),
                             [](uint64_t n) { return n > 0; });
        },
        10s));
    const size_t frames = rig_.frames().frames();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig_.frames().frames(), frames) << "no frame comes from a camera that does not answer";
  }
};

} // namespace

// Makes sure commands, close and removal against a silent camera return in time and bring it back, and that a
// zoom Get the camera did not answer fails. Catches a wait without limit (holding requests, the zoom item,
// the removal), a camera left silent or locked, a zoom reported that the camera never gave.
TEST_P(SilentCameraTest, CommandsCloseAndRemovalReturnInTime) {
  const SilentCase &c = GetParam();
  emu::CameraConfig config = rig::fast_camera();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, c.fault), "");
  ASSERT_NO_FATAL_FAILURE(start_camera(config));
  switch (c.action) {
  case Action::ZoomGet: {
    LONG value = 77;
    NTSTATUS status = STATUS_PENDING;
    expect_returns("zoom get", rig::kWaitLimit, [&] { status = rig::get_zoom(rig_.adapter(), &value); });
    EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(rig_.extension()->ZoomValue, 50) << "the zoom last known stays";
    if (rig_.camera().snapshot().gone)
      return; // the read failed at once, as gone: no time limit, no reset
    EXPECT_EQ(log_count(kReadTimeout), 1u);
    EXPECT_EQ(log_count("enter QRNUSB_ResetPort\n"), 1u);
    break;
  }
  case Action::Focus:
    expect_returns("auto focus", rig::kWaitLimit,
                   [&] { EXPECT_EQ(rig::focus_auto(rig_.adapter()), STATUS_INVALID_PARAMETER); });
    break;
  case Action::ZoomChange:
    ASSERT_EQ(rig::set_zoom(rig_.adapter(), 30), STATUS_SUCCESS);
    expect_returns("zoom change", rig::kWaitLimit,
                   [&] { EXPECT_TRUE(platform::work_queues_wait_idle(2 * rig::kWaitLimit)); });
    EXPECT_EQ(log_count(kReadTimeout), 1u);
    break;
  case Action::Close: {
    ASSERT_NO_FATAL_FAILURE(stream_until_silent());
    expect_returns("stream close", rig::teardown_limit(),
                   [&] { EXPECT_EQ(rig_.pin().close(), STATUS_SUCCESS); });
    EXPECT_GE(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 1u);
    const std::vector<std::string> lines = log();
    const auto at = [&](const char *line) {
      return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    EXPECT_LT(at("QueueCancelAllSRBs Called\n"), at("VELTRA_ProcessTransferThread Stopped\n"))
        << "the queued reads are cancelled before the thread is stopped";
    EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 1u);
    EXPECT_EQ(rig_.frames().completions(), rig_.frames().frames() + 2)
        << "the two queued reads are cancelled";
    return;
  }
  case Action::RemovalDuringFocus: {
    std::thread command([&] { (void)rig::focus_auto(rig_.adapter()); });
    std::this_thread::sleep_for(100ms); // the focus command waits for its answer now
    expect_returns("surprise removal", rig::teardown_limit(),
                   [&] { EXPECT_EQ(rig_.remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS); });
    command.join();
    return;
  }
  }
  const emu::CameraSnapshot camera = rig_.camera().snapshot();
  EXPECT_GE(camera.counters.resets, 1u);
  EXPECT_FALSE(camera.silent) << "the port reset ended the silence";
  EXPECT_EQ(rig_.extension()->CommandReplyLimit, 0);
  EXPECT_NE(KeReadStateEvent(&rig_.extension()->CameraLockEvent), 0) << "the camera lock is free";
}

INSTANTIATE_TEST_SUITE_P(Silent, SilentCameraTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SilentCase> &info) { return info.param.name; });
