// The process's debug device, counted by the sessions that use it.
#include "tools/session/shared_debug_device.h"

#include <mutex>

#include "platform/debugdev/debug_device.h"
#include "platform/kernel/ntstatus.h"

namespace dscam {
namespace {

struct SharedDebugDevice {
  std::mutex lock;   // guards the fields below, and the device's creation and removal by sessions
  int users = 0;     // sessions joined
  bool ours = false; // the sessions created the device (and remove it)
};

SharedDebugDevice &shared() {
  static SharedDebugDevice device;
  return device;
}

} // namespace

NTSTATUS shared_debug_device_join(std::shared_ptr<platform::DebugSink> sink, bool *sink_used) {
  SharedDebugDevice &device = shared();
  std::lock_guard guard(device.lock);
  *sink_used = false;
  if (device.users == 0 && !platform::debug_device_present()) {
    const NTSTATUS status = platform::debug_device_create(std::move(sink));
    if (!NT_SUCCESS(status))
      return status;
    device.ours = true;
    *sink_used = true;
  }
  device.users++;
  return STATUS_SUCCESS;
}

void shared_debug_device_leave() {
  SharedDebugDevice &device = shared();
  std::lock_guard guard(device.lock);
  if (device.users == 0 || --device.users > 0)
    return;
  if (device.ours)
    platform::debug_device_remove();
  device.ours = false;
}

} // namespace dscam
