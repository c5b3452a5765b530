// The camera's controls as the tool uses them: the properties of the
// camera-control set, described from what the device publishes (the host's
// enumeration of its property sets), read and set through the host's device
// properties.
//
// A Get or Set runs its camera exchange inside the driver, on the calling
// thread. The driver bounds every reply of the exchange (0.5 s; 10 s for the end
// of a focus), so a request to a camera that stopped answering fails within
// that limit (STATUS_IO_DEVICE_ERROR, or the exchange's own status): the tool
// needs no time limit of its own.
//
// Main thread; Get and Set block for the camera exchange.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/streamclass/camera_control.h"
#include "platform/streamclass/host.h"
#include "tools/dscam/signals.h"

namespace dscam {

// The camera controls the device publishes, in the order it lists them (no
// camera exchange).
std::vector<streamclass::ControlDescription> camera_controls(const streamclass::Adapter &adapter);

// The name of camera control `id` ("zoom"), or NULL for an id without one.
const char *camera_control_name(ULONG id);

// An empty string when the device takes zoom `value`, else a one-line reason.
std::string zoom_check(const streamclass::Adapter &adapter, long value);

// Sets the zoom, then reads it back until the camera shows `value` (the driver
// moves the camera about 0.5 s after the last set) or `limit` has passed or a
// signal came. The status of the set or of the last reading (*read_failed
// says which failed); *reading is the last value read.
NTSTATUS zoom_set_and_confirm(streamclass::Adapter &adapter, const SignalWatch &signals, long value,
                              std::chrono::milliseconds limit, long *reading, bool *read_failed);

// Whether a control request's status says the camera did not answer its
// exchange (as opposed to a request the driver refused).
bool camera_did_not_answer(NTSTATUS status);

// The one-line reason of a failed control request `what` ("the zoom
// reading"): "the camera did not answer the zoom reading: STATUS_..." or "the
// zoom reading failed: STATUS_...".
std::string control_failure(const std::string &what, NTSTATUS status);

// "auto" or "manual" and the flags, for a focus reading.
std::string focus_text(const KSPROPERTY_CAMERACONTROL_S &value);

} // namespace dscam
