// The camera-control property set as an application uses it: the value
// description a driver publishes for a control (range, step, default), and the
// Get and Set of a control's value, flags and capabilities through the
// adapter's device property requests.
//
// Thread safety: as the Adapter calls they wrap (any thread; blocking).
#pragma once

#include "platform/streamclass/host.h"

namespace streamclass {

// A control's value description as the driver publishes it (range, step, default).
struct ControlDescription {
  GUID set{};
  ULONG id = 0;
  bool get = false;
  bool set_supported = false;
  bool has_range = false;
  LONG minimum = 0;
  LONG maximum = 0;
  ULONG step = 0;
  bool has_default = false;
  LONG default_value = 0;
};

// The description of property `id` of device property set `set`; false when not published.
bool describe_control(const Adapter &adapter, const GUID &set, ULONG id, ControlDescription &out);

// SRB_GET_DEVICE_PROPERTY of a camera-control property: fills value, flags, capabilities.
NTSTATUS get_camera_control(Adapter &adapter, ULONG id, KSPROPERTY_CAMERACONTROL_S &out,
                            ULONG *returned = nullptr);

// SRB_SET_DEVICE_PROPERTY of a camera-control property with `value` and `flags`.
NTSTATUS set_camera_control(Adapter &adapter, ULONG id, LONG value, ULONG flags);

} // namespace streamclass
