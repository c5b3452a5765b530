// The time limit of camera commands on a camera whose time passes only when
// the test says: a focus slower than a reply's limit, a reply that comes after
// its command gave up, and the transfer thread's reads after a timed-out
// command. (Commands against cameras that never answer: tests/reliability.)
#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "controls/controls.h"
#include "emulator/camera/camera_clock.h"
#include "tests/controls/controls_fixture.h"

namespace {

const std::string kReadTimeout = "USBSyncRead Reply Timeout\n";

} // namespace

// Makes sure a focus longer than a reply's limit succeeds. Catches its second reply cut at the reply limit.
TEST_F(ControlsTest, SlowFocusStillSucceeds) {
  emu::CameraConfig config = camera_with({"focus-slow"});
  config.slow_focus_ns = -2 * CAM_REPLY_LIMIT * 100; // twice a reply's limit
  ASSERT_NO_FATAL_FAILURE(start(config));
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  EXPECT_EQ(log_count(kReadTimeout), 0u);
  EXPECT_TRUE(camera().focused);
}

// Makes sure a reply arriving after its command gave up is dropped by the port reset. Catches a protocol left
// one reply behind for good.
TEST_F(ControlsTest, ALateReplyDoesNotConfuseTheNextCommand) {
  auto clock = std::make_shared<emu::ManualCameraClock>();
  ASSERT_NO_FATAL_FAILURE(start(camera_with({}, 1'000'000'000), clock));
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_IO_DEVICE_ERROR);
  ASSERT_EQ(log_count(kReadTimeout), 1u);
  clock->advance(5'000'000'000); // the Get's answer would have arrived by now

  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(rig::wait_until([&] { return camera().counters.zoom_sets == 1; }, 10s));
  clock->advance(3'000'000'000);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 30u);

  auto reading = std::async(std::launch::async, [&] {
    KSPROPERTY_CAMERACONTROL_S value{};
    return get(KSPROPERTY_CAMERACONTROL_ZOOM, value) == STATUS_SUCCESS ? value.Value : -1;
  });
  ASSERT_TRUE(rig::wait_until([&] { return camera().counters.zoom_reads == 2; }, 10s));
  clock->advance(3'000'000'000);
  EXPECT_EQ(reading.get(), 30) << "the Set took its own ACK, the Get its own record";
  EXPECT_EQ(log_count(kReadTimeout), 1u);
}

// Makes sure a command that timed out while streaming restarts the thread without the limit. Catches a stream
// left without its thread, or picture reads with the command's limit.
TEST_F(ControlsTest, StreamRunsOnAfterATimedOutCommand) {
  auto clock = std::make_shared<emu::ManualCameraClock>();
  std::atomic<bool> pumping{true}; // the camera's time passes, 1 ms a millisecond
  std::jthread pump([&](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(1ms))
      clock->advance(pumping ? 1'000'000 : 0);
  });
  ASSERT_NO_FATAL_FAILURE(start(camera_with({}, 1'000'000), clock)); // every reply needs 1 ms of camera time
  ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
  ASSERT_EQ(rig_.stream({.buffers = 4, .keep_data = false, .hook = {}}), STATUS_SUCCESS);
  EXPECT_TRUE(rig_.frames().wait_frames(3, 10s));

  pumping = false;
  KSPROPERTY_CAMERACONTROL_S zoom{};
  EXPECT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(log_count(kReadTimeout), 1u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 2u);
  // Past the command's limit, within the stream's.
  std::this_thread::sleep_for(2 * std::chrono::milliseconds(-CAM_REPLY_LIMIT / 10000));
  EXPECT_EQ(log_count(kReadTimeout), 1u) << "the restarted thread waits on";
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 1u);

  pumping = true;
  EXPECT_TRUE(rig_.frames().wait_frames(rig_.frames().frames() + 3, 10s));
  rig_.stop(); // while the camera's time passes
}
