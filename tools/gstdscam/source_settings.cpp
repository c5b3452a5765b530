// The element's settings as session options.
#include "tools/gstdscam/source_settings.h"

#include <string_view>

#include "emulator/camera/faults.h"

namespace dscam {
namespace {

// Applies each comma-separated fault setting ("damaged=5%,stop-answering@40").
std::string apply_faults(std::string_view list, emu::FaultPlan *plan) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view setting = list.substr(0, comma);
    while (!setting.empty() && setting.front() == ' ')
      setting.remove_prefix(1);
    while (!setting.empty() && setting.back() == ' ')
      setting.remove_suffix(1);
    if (!setting.empty()) {
      const std::string error = emu::fault_plan_apply(plan, setting);
      if (!error.empty())
        return "fault: " + error;
    }
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return {};
}

} // namespace

std::string session_options_from(const SourceSettings &settings, SessionOptions *options) {
  const std::string_view device = settings.device;
  if (device.starts_with("usb:")) {
    options->usb = true;
    const std::string error = usbbus::usb_selector_parse(device.substr(4), &options->usb_device);
    return error.empty() ? error : "device '" + settings.device + "': " + error;
  }
  if (device != "emulated")
    return "unknown device '" + settings.device + "' ('emulated', or 'usb:VID:PID' or 'usb:BUS-ADDR')";
  if (!settings.pictures.empty()) {
    options->camera.pictures = emu::PictureMode::Files;
    options->camera.picture_path = settings.pictures;
  }
  options->camera.fps = settings.camera_fps;
  std::string error = apply_faults(settings.faults, &options->camera.faults);
  if (error.empty())
    error = emu::camera_config_check(options->camera);
  return error;
}

} // namespace dscam
