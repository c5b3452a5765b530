// Camera controls through the host's camera-control interface.
#include "tools/dscam/controls.h"

#include <cstdio>
#include <thread>

#include "platform/streamclass/ks_guids.h"
#include "tools/session/session.h"

namespace dscam {

std::vector<streamclass::ControlDescription> camera_controls(const streamclass::Adapter &adapter) {
  std::vector<streamclass::ControlDescription> controls;
  for (const streamclass::PropertySetInfo &set : adapter.device_property_sets()) {
    if (!IsEqualGUID(set.set, PROPSETID_VIDCAP_CAMERACONTROL))
      continue;
    for (const streamclass::PropertyItemInfo &item : set.items) {
      streamclass::ControlDescription description;
      if (streamclass::describe_control(adapter, set.set, item.id, description))
        controls.push_back(description);
    }
  }
  return controls;
}

const char *camera_control_name(ULONG id) {
  static const struct {
    ULONG id;
    const char *name;
  } kNames[] = {
      {KSPROPERTY_CAMERACONTROL_PAN, "pan"},           {KSPROPERTY_CAMERACONTROL_TILT, "tilt"},
      {KSPROPERTY_CAMERACONTROL_ROLL, "roll"},         {KSPROPERTY_CAMERACONTROL_ZOOM, "zoom"},
      {KSPROPERTY_CAMERACONTROL_EXPOSURE, "exposure"}, {KSPROPERTY_CAMERACONTROL_IRIS, "iris"},
      {KSPROPERTY_CAMERACONTROL_FOCUS, "focus"},
  };
  for (const auto &entry : kNames)
    if (entry.id == id)
      return entry.name;
  return nullptr;
}

std::string zoom_check(const streamclass::Adapter &adapter, long value) {
  streamclass::ControlDescription zoom;
  if (!streamclass::describe_control(adapter, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM,
                                     zoom) ||
      !zoom.set_supported)
    return "the device offers no zoom setting";
  if (zoom.has_range && (value < zoom.minimum || value > zoom.maximum))
    return "zoom " + std::to_string(value) + " is outside " + std::to_string(zoom.minimum) + ".." +
           std::to_string(zoom.maximum);
  return {};
}

NTSTATUS zoom_set_and_confirm(streamclass::Adapter &adapter, const SignalWatch &signals, long value,
                              std::chrono::milliseconds limit, long *reading, bool *read_failed) {
  *read_failed = false;
  NTSTATUS status =
      streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_ZOOM, static_cast<LONG>(value),
                                      KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
  if (!NT_SUCCESS(status))
    return status;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // The driver applies a zoom once no further set has come for half a second:
  // a first reading before that shows the old position.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  for (;;) {
    KSPROPERTY_CAMERACONTROL_S current{};
    status = streamclass::get_camera_control(adapter, KSPROPERTY_CAMERACONTROL_ZOOM, current);
    if (NT_SUCCESS(status))
      *reading = current.Value;
    *read_failed = !NT_SUCCESS(status);
    if (!NT_SUCCESS(status) || current.Value == value || signals.caught() != 0 ||
        std::chrono::steady_clock::now() >= deadline)
      return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool camera_did_not_answer(NTSTATUS status) {
  return status == STATUS_IO_DEVICE_ERROR || status == STATUS_IO_TIMEOUT ||
         status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DEVICE_REMOVED;
}

std::string control_failure(const std::string &what, NTSTATUS status) {
  if (camera_did_not_answer(status))
    return "the camera did not answer " + what + ": " + status_text(status);
  return what + " failed: " + status_text(status);
}

std::string focus_text(const KSPROPERTY_CAMERACONTROL_S &value) {
  std::string mode = (value.Flags & KSPROPERTY_CAMERACONTROL_FLAGS_AUTO) != 0     ? "auto"
                     : (value.Flags & KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL) != 0 ? "manual"
                                                                                  : "unknown";
  char flags[16];
  std::snprintf(flags, sizeof(flags), "0x%X", static_cast<unsigned>(value.Flags));
  return mode + " (flags " + flags + ")";
}

} // namespace dscam
