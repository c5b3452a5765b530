// Camera controls as device properties of the camera-control set, through the
// host's camera-control calls.
#include "tests/reliability/camera_steps.h"

#include "platform/streamclass/camera_control.h"
#include "platform/streamclass/ksmedia.h"

namespace reliability {

NTSTATUS camera_zoom_set(streamclass::Adapter &adapter, LONG value) {
  return streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_ZOOM, value,
                                         KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
}

NTSTATUS camera_zoom_get(streamclass::Adapter &adapter, LONG *value) {
  KSPROPERTY_CAMERACONTROL_S record{};
  const NTSTATUS status = streamclass::get_camera_control(adapter, KSPROPERTY_CAMERACONTROL_ZOOM, record);
  if (NT_SUCCESS(status))
    *value = record.Value;
  return status;
}

NTSTATUS camera_focus_auto(streamclass::Adapter &adapter) {
  return streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_FOCUS, 0,
                                         KSPROPERTY_CAMERACONTROL_FLAGS_AUTO);
}

} // namespace reliability
