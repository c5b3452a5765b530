// Camera controls through the host's camera-control interface.
#include "tools/dscam/controls.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/streamclass/ks_guids.h"

#include "platform/streamclass/camera_control.h"

namespace dscam {

ControlInfo control_describe(streamclass::Adapter &adapter, ULONG id) {
  streamclass::ControlDescription description;
  ControlInfo info;
  if (!streamclass::describe_control(adapter, PROPSETID_VIDCAP_CAMERACONTROL, id, description))
    return info;
  info.published = true;
  info.get = description.get;
  info.set = description.set_supported;
  info.has_range = description.has_range;
  info.minimum = description.minimum;
  info.maximum = description.maximum;
  info.step = description.step;
  info.has_default = description.has_default;
  info.default_value = description.default_value;
  return info;
}

namespace {

// How long a request may take before the tool gives up on the camera: the driver
// ends a silent command itself (0.5 s per reply, 10 s for the end of a focus), so
// this is a backstop. A focus runs a whole focusing cycle (a slow one
// takes 5 s), the zoom only one exchange.
std::chrono::milliseconds request_limit(ULONG id) {
  return std::chrono::milliseconds(id == KSPROPERTY_CAMERACONTROL_FOCUS ? 15000 : 5000);
}

} // namespace

NTSTATUS ControlGuard::get(ULONG id, KSPROPERTY_CAMERACONTROL_S &value) {
  KSPROPERTY_CAMERACONTROL_S result{};
  streamclass::Adapter &adapter = session_.adapter();
  const NTSTATUS status = call(id, [&] { return streamclass::get_camera_control(adapter, id, result); });
  value = result;
  return status;
}

NTSTATUS ControlGuard::set(ULONG id, LONG value, ULONG flags) {
  streamclass::Adapter &adapter = session_.adapter();
  return call(id, [&] { return streamclass::set_camera_control(adapter, id, value, flags); });
}

// Runs the request on a helper thread and waits for it, for a signal or for
// the limit; the last two unplug the camera so that the request returns.
NTSTATUS ControlGuard::call(ULONG id, const std::function<NTSTATUS()> &request) {
  std::mutex mutex; // protects done and status
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  std::thread helper([&] {
    const NTSTATUS result = request();
    {
      std::lock_guard lock(mutex);
      done = true;
      status = result;
    }
    wakeup_.ring();
  });
  const auto deadline = std::chrono::steady_clock::now() + request_limit(id);
  end_ = End::Done;
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (done)
        break;
    }
    if (signals_.caught() != 0 || std::chrono::steady_clock::now() >= deadline) {
      end_ = signals_.caught() != 0 ? End::Interrupted : End::Stuck;
      session_.unplug();
      break;
    }
    wakeup_.wait(std::chrono::milliseconds(50));
  }
  helper.join();
  return status;
}

std::string ControlGuard::failure(const std::string &what, NTSTATUS status) const {
  if (end_ == End::Stuck)
    return "the camera stopped answering: " + what + " did not return";
  if (end_ == End::Interrupted)
    return "interrupted";
  return what + " failed: " + status_text(status);
}

std::string zoom_check(streamclass::Adapter &adapter, long value) {
  const ControlInfo info = control_describe(adapter, KSPROPERTY_CAMERACONTROL_ZOOM);
  if (!info.published || !info.set)
    return "the device offers no zoom setting";
  if (info.has_range && (value < info.minimum || value > info.maximum))
    return "zoom " + std::to_string(value) + " is outside " + std::to_string(info.minimum) + ".." +
           std::to_string(info.maximum);
  return {};
}

NTSTATUS zoom_set_and_confirm(ControlGuard &guard, const SignalWatch &signals, long value,
                              std::chrono::milliseconds limit, long *reading) {
  NTSTATUS status = guard.set(KSPROPERTY_CAMERACONTROL_ZOOM, static_cast<LONG>(value),
                              KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
  if (!NT_SUCCESS(status))
    return status;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // The driver applies a zoom once no further set has come for half a second:
  // a first reading before that shows the old position.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  for (;;) {
    KSPROPERTY_CAMERACONTROL_S current{};
    status = guard.get(KSPROPERTY_CAMERACONTROL_ZOOM, current);
    if (NT_SUCCESS(status))
      *reading = current.Value;
    if (!NT_SUCCESS(status) || current.Value == value || signals.caught() != 0 ||
        std::chrono::steady_clock::now() >= deadline)
      return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
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
