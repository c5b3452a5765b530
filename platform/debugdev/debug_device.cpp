// The debug device: a driver object of its own, one named device whose
// extension holds the message procedure, and the sink behind the procedure.
#include "platform/debugdev/debug_device.h"

#include <mutex>
#include <utility>

#include "platform/kernel/control.h"
#include "platform/kernel/rtl.h"

namespace platform {
namespace {

struct DebugDeviceState {
  std::mutex lifecycle; // serialises create and remove; protects driver and device
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  std::mutex sink_lock; // leaf; protects sink (held only to copy or replace it)
  std::shared_ptr<DebugSink> sink;
};

// The one state of the process. Never destroyed, so that a message logged by a
// thread still running at process exit finds a valid (empty or live) sink.
DebugDeviceState &state() {
  static DebugDeviceState *s = new DebugDeviceState;
  return *s;
}

// Opening and closing the device always succeed; it has no other requests.
NTSTATUS debug_device_open_close(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

} // namespace

VOID debug_device_message(const CHAR *text) {
  if (text == nullptr)
    return;
  std::shared_ptr<DebugSink> sink;
  {
    DebugDeviceState &s = state();
    std::lock_guard<std::mutex> guard(s.sink_lock);
    sink = s.sink;
  }
  if (sink)
    sink->write(text);
}

void debug_device_set_sink(std::shared_ptr<DebugSink> sink) {
  DebugDeviceState &s = state();
  std::shared_ptr<DebugSink> previous;
  {
    std::lock_guard<std::mutex> guard(s.sink_lock);
    previous = std::exchange(s.sink, std::move(sink));
  }
  // previous is released here, outside the leaf lock.
}

// The sink is in place before the device can be found, so the first message
// after a successful lookup already reaches it.
NTSTATUS debug_device_create(std::shared_ptr<DebugSink> sink) {
  DebugDeviceState &s = state();
  std::lock_guard<std::mutex> guard(s.lifecycle);
  if (s.device != nullptr)
    return STATUS_OBJECT_NAME_COLLISION;
  PDRIVER_OBJECT driver = driver_create(kDebugDriverName);
  if (driver == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  driver->MajorFunction[IRP_MJ_CREATE] = debug_device_open_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = debug_device_open_close;

  debug_device_set_sink(std::move(sink));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kDebugDeviceName);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(QRNDEBUG_DEVICE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) {
    debug_device_set_sink(nullptr);
    driver_delete(driver);
    return status;
  }
  static_cast<PQRNDEBUG_DEVICE_EXTENSION>(device->DeviceExtension)->MessageProc = debug_device_message;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  s.driver = driver;
  s.device = device;
  return STATUS_SUCCESS;
}

// The device's name goes first (no new lookup finds it), then the sink.
void debug_device_remove() {
  DebugDeviceState &s = state();
  std::lock_guard<std::mutex> guard(s.lifecycle);
  if (s.device == nullptr)
    return;
  driver_delete(s.driver); // deletes the device too
  s.driver = nullptr;
  s.device = nullptr;
  debug_device_set_sink(nullptr);
}

bool debug_device_present() {
  DebugDeviceState &s = state();
  std::lock_guard<std::mutex> guard(s.lifecycle);
  return s.device != nullptr;
}

} // namespace platform
