// The fixture of the camera-control tests: the camera rig of the frame-acquisition
// tests (driver, host, bus, emulated camera) with the application's camera-control
// calls, the camera's counters, and a tap that sees the level-4 protocol lines.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/streamclass/camera_control.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/log_tap.h"

namespace ctltest {

using namespace std::chrono_literals;

// Polls `done` every millisecond until it holds or `timeout` passes.
inline bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Index of the first text equal to `line` at or after `from`; -1 when none.
inline long find_line(const std::vector<std::string> &texts, const std::string &line, long from = 0) {
  for (size_t i = static_cast<size_t>(from); i < texts.size(); ++i)
    if (texts[i] == line)
      return static_cast<long>(i);
  return -1;
}

// A fast camera (answers at once, unlimited link) with the faults given.
inline emu::CameraConfig camera_with(const std::vector<std::string> &faults, int64_t latency_ns = 0) {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.latency_ns = latency_ns;
  config.chunk = 65530; // a picture in one packet: a slow link's cycle stays short
  config.focus_ns = 20'000'000;
  for (const std::string &fault : faults)
    EXPECT_EQ(emu::fault_plan_apply(&config.faults, fault), "") << fault;
  return config;
}

} // namespace ctltest

class ControlsTest : public CaptureTest {
protected:
  streamclass::Adapter &adapter() { return rig_->adapter(); }
  emu::CameraSnapshot camera() const { return rig_->camera().snapshot(); }

  NTSTATUS set_zoom(LONG value) {
    return streamclass::set_camera_control(adapter(), KSPROPERTY_CAMERACONTROL_ZOOM, value,
                                           KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
  }
  NTSTATUS set_focus(ULONG flags) {
    return streamclass::set_camera_control(adapter(), KSPROPERTY_CAMERACONTROL_FOCUS, 0, flags);
  }
  NTSTATUS get(ULONG id, KSPROPERTY_CAMERACONTROL_S &out, ULONG *returned = nullptr) {
    return streamclass::get_camera_control(adapter(), id, out, returned);
  }
  // Waits until no zoom change is pending or running (the work queues are idle).
  static bool zoom_settled() { return platform::work_queues_wait_idle(std::chrono::seconds(10)); }

  std::unique_ptr<test_support::LogTap> tap_ = std::make_unique<test_support::LogTap>();

  void release_host_objects() override {
    CaptureTest::release_host_objects();
    tap_.reset();
  }
};
