// The fixture of the video stream's tests: the rig's pin on a camera whose clock stands still unless the test
// moves it. Once the transfer thread has fetched the camera's first picture it waits for the next, so reads
// stay queued and the driver's log stays quiet until the test lets the camera take one more picture.
#pragma once

#include <atomic>

#include "emulator/camera/camera_clock.h"
#include "stream/stream.h"
#include "tests/support/rig_test.h"

class StreamTest : public RigTest {
protected:
  static constexpr int64_t kFramePeriodNs = 1'000'000'000 / 15 + 1;

  // Opens the pin at width x height (running, or stopped) once the transfer thread waits for the camera's
  // second picture; the log is cleared.
  void open_pin(LONG width = 320, LONG height = 240, bool run = false) {
    emu::CameraConfig config = rig::fast_camera();
    config.fps = 15;
    std::string error;
    ASSERT_TRUE(rig_.plug_camera(config, &error, clock_)) << error;
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.open_pin(width, height, run), STATUS_SUCCESS);
    ASSERT_TRUE(parked(2));
    clear_log();
  }
  // Lets the camera take its next picture; returns once the transfer thread has fetched it and waits for the
  // one after.
  void next_picture() {
    const uint64_t taken = rig_.camera().snapshot().counters.pictures;
    clock_->advance(kFramePeriodNs);
    EXPECT_TRUE(parked(taken + 1));
  }
  // Waits until the transfer thread waits for the camera's answer about picture `pictures`.
  bool parked(uint64_t pictures) {
    return rig::wait_until(
        [&] {
          emu::CameraSnapshot camera = rig_.camera().snapshot();
          return camera.counters.pictures >= pictures && camera.waiting_in > 0;
        },
        std::chrono::seconds(10));
  }

  // Unplugs the camera and closes the pin: the transfer thread's wait for the camera ends at once, rather
  // than after the grace the close gives a silent camera.
  NTSTATUS unplug_and_close() {
    rig_.unplug();
    return rig_.close_pin();
  }
  void release() override { (void)unplug_and_close(); }

  STREAMEX &stream() const { return *static_cast<PSTREAMEX>(rig_.pin().stream_extension()); }
  LONG queued() const { return std::atomic_ref<LONG>(rig_.extension()->StreamSRBListSize[0]).load(); }

  std::shared_ptr<emu::ManualCameraClock> clock_ = std::make_shared<emu::ManualCameraClock>();
};
