// Concurrency stress of the camera controls (run under ThreadSanitizer too): the
// zoom-change work item against stream open and close, zoom Gets, further Sets
// and device removal, on several adapters at once. The zoom delay is the real
// half second, so each adapter churns the stream (or removes itself) around the
// moment its work item applies the zoom.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/controls/controls_fixture.h"

using namespace ctltest;

namespace {

// A camera that answers at once with a few pictures encoded at power-on.
emu::CameraConfig stress_camera() {
  emu::CameraConfig config = camera_with({});
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 3;
  return config;
}

// True while no zoom change of the rig's adapter is pending or running (the
// work item signals PropChangeDoneEvent as its last act).
bool zoom_idle(captest::CameraRig &rig) {
  return KeReadStateEvent(&rig.extension()->PropChangeDoneEvent) != 0;
}

NTSTATUS set_rig_zoom(captest::CameraRig &rig, LONG value) {
  return streamclass::set_camera_control(rig.adapter(), KSPROPERTY_CAMERACONTROL_ZOOM, value,
                                         KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
}

class ControlsStress : public ControlsTest {
protected:
  // Runs body(index, rig) on `count` threads, each with its own started rig.
  void on_adapters(int count, const std::function<void(int, captest::CameraRig &)> &body) {
    for (int i = 0; i < count; ++i) {
      rigs_.push_back(std::make_unique<captest::CameraRig>());
      std::string error;
      ASSERT_EQ(rigs_.back()->start(stress_camera(), &error), STATUS_SUCCESS) << error;
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&, i] { body(i, *rigs_[static_cast<size_t>(i)]); });
    for (std::thread &t : threads)
      t.join();
  }

  void release_host_objects() override {
    rigs_.clear();
    ControlsTest::release_host_objects();
  }

  std::vector<std::unique_ptr<captest::CameraRig>> rigs_;
};

} // namespace

// Stream open and close (and zoom Gets) churn while the work item applies each Set; catches a thread started
// for a closed stream, a close's stop undone by the command's restart, a lost value, or a data race.
TEST_F(ControlsStress, ZoomChangesRaceStreamOpenAndClose) {
  on_adapters(2, [&](int index, captest::CameraRig &rig) {
    std::mt19937 random(static_cast<unsigned>(index + 1));
    LONG value = 0;
    for (int round = 0; round < 4; ++round) {
      value = 10 * round + index + 1;
      ASSERT_EQ(set_rig_zoom(rig, value), STATUS_SUCCESS);
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (rig.camera().snapshot().counters.zoom_sets < static_cast<uint64_t>(round + 1) &&
             std::chrono::steady_clock::now() < deadline) {
        std::unique_ptr<streamclass::Pin> pin;
        ASSERT_EQ(rig.open_pin(320, 240, pin), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        if (random() % 4 == 0) {
          KSPROPERTY_CAMERACONTROL_S zoom{};
          EXPECT_EQ(streamclass::get_camera_control(rig.adapter(), KSPROPERTY_CAMERACONTROL_ZOOM, zoom),
                    STATUS_SUCCESS);
        }
        ASSERT_EQ(pin->close(), STATUS_SUCCESS);
        EXPECT_EQ(rig.extension()->pStrmEx[0], nullptr);
      }
    }
    ASSERT_TRUE(wait_until([&] { return zoom_idle(rig); }, 10s));
    EXPECT_EQ(rig.camera().snapshot().zoom, static_cast<uint32_t>(value));
  });
  // A worker may still be returning from the work item that signalled the change's end.
  EXPECT_TRUE(platform::system_threads_wait_all(5s)) << "no transfer thread outlives its stream";
}

// Sets spaced around the half second meet the work item as it applies or goes idle; catches a lost last Set.
TEST_F(ControlsStress, ZoomSetsAroundTheEndOfTheChangeAreNotLost) {
  on_adapters(2, [&](int index, captest::CameraRig &rig) {
    std::mt19937 random(static_cast<unsigned>(index + 11));
    std::unique_ptr<streamclass::Pin> pin;
    ASSERT_EQ(rig.open_pin(320, 240, pin), STATUS_SUCCESS);
    LONG value = 0;
    for (int i = 0; i < 6; ++i) {
      value = 5 * i + index;
      ASSERT_EQ(set_rig_zoom(rig, value), STATUS_SUCCESS);
      std::this_thread::sleep_for(std::chrono::milliseconds(490 + random() % 40));
    }
    ASSERT_TRUE(wait_until([&] { return zoom_idle(rig); }, 10s));
    EXPECT_EQ(rig.camera().snapshot().zoom, static_cast<uint32_t>(value));
    ASSERT_EQ(pin->close(), STATUS_SUCCESS);
  });
}

// Removal, orderly or by surprise, at a random moment of the zoom change with the stream open; catches a work
// item that outlives the device extension (the sanitizers see it), a leaked item, or a removal that hangs.
TEST_F(ControlsStress, RemovalRacesTheZoomChange) {
  std::vector<std::thread> threads;
  for (int index = 0; index < 2; ++index) {
    threads.emplace_back([&, index] {
      std::mt19937 random(static_cast<unsigned>(index + 21));
      for (int i = 0; i < 4; ++i) {
        captest::CameraRig rig;
        std::string error;
        ASSERT_EQ(rig.start(stress_camera(), &error), STATUS_SUCCESS) << error;
        std::unique_ptr<streamclass::Pin> pin;
        ASSERT_EQ(rig.open_pin(320, 240, pin), STATUS_SUCCESS);
        ASSERT_EQ(set_rig_zoom(rig, 20 + i), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
        ASSERT_EQ(set_rig_zoom(rig, 40 + i), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(380 + random() % 220));
        const auto kind =
            (i + index) % 2 == 0 ? streamclass::RemovalKind::Surprise : streamclass::RemovalKind::Orderly;
        EXPECT_EQ(rig.adapter().remove(kind), STATUS_SUCCESS);
        pin.reset();
        rig.stop();
      }
    });
  }
  for (std::thread &t : threads)
    t.join();
  EXPECT_TRUE(platform::work_queues_wait_idle(10s));
  EXPECT_EQ(platform::work_items_pending(), 0u);
}
