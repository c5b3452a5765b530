// The camera settings of the source element (its properties), turned into the
// options of the session it runs: which camera, and the emulated camera's
// pictures, rate and faults (which a real camera has not).
#pragma once

#include <string>

#include "tools/session/session_options.h"

namespace dscam {

struct SourceSettings {
  std::string device = "emulated"; // "emulated", or a real camera: "usb:VID:PID" or "usb:BUS-ADDR"
  std::string pictures;            // a JPEG file or folder; empty: the camera's synthetic scene
  double camera_fps = 15.0;        // pictures per second the camera takes; 0: whenever asked
  std::string faults;              // settings as the tool's --fault takes them, separated by commas
};

// Fills *options with what `settings` choose (the rest keeps its defaults).
// An empty string on success, else a one-line reason.
std::string session_options_from(const SourceSettings &settings, SessionOptions *options);

} // namespace dscam
