// Everything that can be chosen about an emulated camera before it is plugged
// in: its pictures, its timing, its link and its faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "emulator/camera/faults.h"

namespace emu {

// Bulk payload rates of the link, bytes per second.
inline constexpr uint64_t kFullSpeedBytesPerSecond = 1'216'000;
inline constexpr uint64_t kHighSpeedBytesPerSecond = 53'248'000;
inline constexpr uint64_t kUnlimitedLink = 0;

// Where the camera's pictures come from.
enum class PictureMode : uint8_t {
  Synthetic,   // the moving, numbered scene, encoded for every picture
  Files,       // one JPEG file, or every *.jpg / *.jpeg in a folder, played in a loop
  Prerendered, // a set of scene pictures encoded once at power-on, played in a loop
};

struct CameraConfig {
  // Pictures per second the camera takes; 0 takes a picture whenever asked.
  double fps = 15.0;
  // Link: bulk payload bytes per second (0 = unlimited) and latency per transfer.
  uint64_t link_bytes_per_second = kFullSpeedBytesPerSecond;
  int64_t latency_ns = 0;
  // Data bytes per picture packet, 1 to 65,530.
  size_t chunk = 4096;
  // Time of one auto focus, and of one under the focus-slow fault.
  int64_t focus_ns = 300'000'000;
  int64_t slow_focus_ns = 5'000'000'000;
  // Pictures.
  PictureMode pictures = PictureMode::Synthetic;
  std::string picture_path;  // file or folder for PictureMode::Files
  unsigned prerendered = 16; // set size for PictureMode::Prerendered
  int jpeg_quality = 85;
  int odd_width = 640; // size of an odd-sized picture
  int odd_height = 480;
  // Faults and the seed of their draws.
  FaultPlan faults;
};

// The link speed of a name: "full", "high" or "unlimited"; false for others.
bool link_speed_by_name(std::string_view name, uint64_t *bytes_per_second);

// Checks a configuration; returns an empty string when it is usable, else a
// one-line reason.
std::string camera_config_check(const CameraConfig &config);

} // namespace emu
