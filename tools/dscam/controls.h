// The camera's controls as the tool uses them: zoom and focus of the
// camera-control property set, described, read and set through the host's
// device properties.
//
// A control request runs a camera exchange inside the driver, on the calling
// thread, and a camera that loses a reply would keep it waiting: the tool
// therefore makes each request from a helper thread (ControlGuard) and, when
// it has not returned within its limit or a signal came, unplugs the camera
// from its bus, which ends the exchange's transfers.
//
// Main thread; every call blocks for a camera exchange.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/streamclass/host.h"
#include "tools/dscam/session.h"
#include "tools/dscam/signals.h"
#include "tools/dscam/wakeup.h"

namespace dscam {

// What the device publishes about one control.
struct ControlInfo {
  bool published = false; // the device lists the property
  bool get = false;
  bool set = false;
  bool has_range = false;
  long minimum = 0;
  long maximum = 0;
  unsigned long step = 0;
  bool has_default = false;
  long default_value = 0;
};

// The controls dscam knows, with their names.
struct ControlName {
  ULONG id;
  const char *name;
};
inline constexpr ControlName kControls[] = {
    {KSPROPERTY_CAMERACONTROL_ZOOM, "zoom"},
    {KSPROPERTY_CAMERACONTROL_FOCUS, "focus"},
};

// What the device publishes about control `id` (no camera exchange).
ControlInfo control_describe(streamclass::Adapter &adapter, ULONG id);

// An empty string when the device takes zoom `value`, else a one-line reason.
std::string zoom_check(streamclass::Adapter &adapter, long value);

// Control requests with a time limit.
class ControlGuard {
public:
  // How the last request ended.
  enum class End { Done, Stuck, Interrupted };

  ControlGuard(Session &session, const SignalWatch &signals, Wakeup &wakeup)
      : session_(session), signals_(signals), wakeup_(wakeup) {}

  // Get and Set of a camera control; a request that did not return in time
  // (or was interrupted) has its camera unplugged and returns its status then.
  NTSTATUS get(ULONG id, KSPROPERTY_CAMERACONTROL_S &value);
  NTSTATUS set(ULONG id, LONG value, ULONG flags);
  End end() const { return end_; }
  // A one-line reason for a failed request `what` ("the zoom request").
  std::string failure(const std::string &what, NTSTATUS status) const;

private:
  NTSTATUS call(ULONG id, const std::function<NTSTATUS()> &request);

  Session &session_;
  const SignalWatch &signals_;
  Wakeup &wakeup_;
  End end_ = End::Done;
};

// Sets the zoom, then reads it back until the camera shows `value` (the driver
// moves the camera about 0.5 s after the last set) or `limit` has passed or a
// signal came. The status of the set or of the last reading; *reading is the
// last value read.
NTSTATUS zoom_set_and_confirm(ControlGuard &guard, const SignalWatch &signals, long value,
                              std::chrono::milliseconds limit, long *reading);

// "auto" or "manual" and the flags, for a focus reading.
std::string focus_text(const KSPROPERTY_CAMERACONTROL_S &value);

} // namespace dscam
