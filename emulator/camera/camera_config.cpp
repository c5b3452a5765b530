// Checks of a camera configuration.
#include "emulator/camera/camera_config.h"

namespace emu {

bool link_speed_by_name(std::string_view name, uint64_t *bytes_per_second) {
  if (name == "full")
    *bytes_per_second = kFullSpeedBytesPerSecond;
  else if (name == "high")
    *bytes_per_second = kHighSpeedBytesPerSecond;
  else if (name == "unlimited")
    *bytes_per_second = kUnlimitedLink;
  else
    return false;
  return true;
}

std::string camera_config_check(const CameraConfig &config) {
  if (!(config.fps >= 0.0 && config.fps <= 1000.0))
    return "camera frame rate must be 0 to 1000";
  if (config.chunk < 1 || config.chunk > 65530)
    return "picture packet size must be 1 to 65530 bytes";
  if (config.latency_ns < 0 || config.focus_ns < 0 || config.slow_focus_ns < 0)
    return "camera times must not be negative";
  if (config.jpeg_quality < 1 || config.jpeg_quality > 100)
    return "JPEG quality must be 1 to 100";
  if (config.odd_width < 1 || config.odd_width > 4096 || config.odd_height < 1 || config.odd_height > 4096)
    return "odd picture size must be 1 to 4096 pixels each way";
  if (config.pictures == PictureMode::Files && config.picture_path.empty())
    return "no picture file or folder given";
  for (const FaultKnob &knob : config.faults.knobs)
    if (!(knob.rate >= 0.0 && knob.rate <= 1.0))
      return "fault rates must be 0 to 1";
  return {};
}

} // namespace emu
