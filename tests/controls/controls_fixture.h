// The fixture of the camera-control tests: the rig with the application's
// camera-control calls, the camera's counters, and a tap that sees the driver's
// level-4 protocol lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/streamclass/camera_control.h"
#include "tests/support/log_tap.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

class ControlsTest : public RigTest {
protected:
  // The fast camera with the faults given, a link latency, and each picture in
  // one packet (a slow link's cycle stays short).
  static emu::CameraConfig camera_with(const std::vector<std::string> &faults, int64_t latency_ns = 0) {
    emu::CameraConfig config = rig::fast_camera();
    config.latency_ns = latency_ns;
    config.chunk = 65530;
    config.focus_ns = 20'000'000;
    for (const std::string &fault : faults)
      EXPECT_EQ(emu::fault_plan_apply(&config.faults, fault), "") << fault;
    return config;
  }
  // Plugs the camera (on `clock` when given) and starts the device.
  void start(const emu::CameraConfig &config, std::shared_ptr<emu::CameraClock> clock = nullptr) {
    std::string error;
    ASSERT_TRUE(rig_.plug_camera(config, &error, std::move(clock))) << error;
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
  }
  NTSTATUS set_zoom(LONG value) { return rig::set_zoom(rig_.adapter(), value); }
  NTSTATUS set_focus(ULONG flags) {
    return streamclass::set_camera_control(rig_.adapter(), KSPROPERTY_CAMERACONTROL_FOCUS, 0, flags);
  }
  NTSTATUS get(ULONG id, KSPROPERTY_CAMERACONTROL_S &out, ULONG *returned = nullptr) {
    return streamclass::get_camera_control(rig_.adapter(), id, out, returned);
  }
  emu::CameraSnapshot camera() const { return rig_.camera().snapshot(); }
  // Waits until no zoom change is pending or running (the work queues are idle).
  static bool zoom_settled() { return platform::work_queues_wait_idle(std::chrono::seconds(10)); }
  // The index of the first tapped line (any level) equal to `line` at or after
  // `from`, or -1.
  long tapped(const std::string &line, long from = 0) const {
    const std::vector<std::string> texts = tap_->texts();
    for (size_t i = static_cast<size_t>(from); i < texts.size(); ++i)
      if (texts[i] == line)
        return static_cast<long>(i);
    return -1;
  }
  std::unique_ptr<test_support::LogTap> tap_ = std::make_unique<test_support::LogTap>();
};
