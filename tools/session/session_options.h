// What a session is made of, chosen before it starts: the emulated camera (its
// pictures, timing, link and faults) or a real one, and where the driver's
// debug messages and the USB traffic go. The tool's command line fills it;
// other applications set it from their own settings.
#pragma once

#include <string>

#include "emulator/camera/camera_config.h"
#include "platform/usbbus/usb_selector.h"

namespace dscam {

struct SessionOptions {
  // the emulated camera
  emu::CameraConfig camera;

  // a real camera instead (--usb), and whether to wait for it to be plugged in
  bool usb = false;
  usbbus::UsbSelector usb_device;
  bool wait = false;

  // diagnostics
  std::string log_file;
  bool verbose = false;
  std::string trace_file;
  std::string pcap_file;
};

} // namespace dscam
