// The camera controls a reliability run uses, as a capture application sends
// them: device properties of the camera-control set on the adapter.
//
// Each call blocks until the driver completes its request (at most the host's
// wait limit: STATUS_IO_TIMEOUT then). Any thread but a completion callback.
#pragma once

#include "platform/streamclass/host.h"

namespace reliability {

// Sets the zoom (0 to 100). The driver completes it at once and moves the
// camera about 0.5 s after the last Set.
NTSTATUS camera_zoom_set(streamclass::Adapter &adapter, LONG value);

// Reads the zoom from the camera into *value.
NTSTATUS camera_zoom_get(streamclass::Adapter &adapter, LONG *value);

// Runs the camera's one-touch auto focus (focus Set with the auto flag).
NTSTATUS camera_focus_auto(streamclass::Adapter &adapter);

} // namespace reliability
