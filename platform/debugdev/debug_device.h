// The debug device "\Device\QrnDebug": a component outside the driver that
// offers a message procedure. The driver finds the device by name with
// IoGetDeviceObjectPointer and reads the procedure's address from the first
// word of the device extension; every message it logs then reaches the sink
// chosen here (stderr, a file, nowhere, or a LineRecorder in tests).
//
// Lifetime: the device exists from debug_device_create until
// debug_device_remove; its driver object is its own ("\Driver\QrnDebug").
// Remove it only after the driver is stopped (the tool and the tests remove it
// last). The driver keeps the procedure's address without a reference on the
// device, so the procedure is a function of this process that stays valid
// forever: a message arriving after removal finds no sink and is dropped; it
// never reaches a sink that is gone (a sink lives while a message is being
// written to it).
//
// Create and remove at PASSIVE_LEVEL, from one thread at a time, not
// concurrently with a lookup of the device (as a real system loads the debug
// driver before the drivers that use it). The procedure itself runs on any
// thread and context, any number at once.
#pragma once

#include <memory>

#include "platform/debugdev/debug_sink.h"
#include "platform/kernel/io.h"
#include "platform/kernel/ntdef.h"

namespace platform {

inline constexpr const char16_t *kDebugDeviceName = u"\\Device\\QrnDebug";
inline constexpr const char16_t *kDebugDriverName = u"\\Driver\\QrnDebug";

// The message procedure: one NUL-terminated 8-bit text per call.
using PQRNDEBUG_MESSAGE_PROC = VOID (*)(const CHAR *text);

// The debug device's extension: its first word is the message procedure.
struct QRNDEBUG_DEVICE_EXTENSION {
  PQRNDEBUG_MESSAGE_PROC MessageProc;
};
using PQRNDEBUG_DEVICE_EXTENSION = QRNDEBUG_DEVICE_EXTENSION *;

// Creates the debug device with its driver object; messages go to sink (NULL:
// nowhere). STATUS_SUCCESS; STATUS_OBJECT_NAME_COLLISION when a device of that
// name exists already; STATUS_INSUFFICIENT_RESOURCES when the pool fails.
NTSTATUS debug_device_create(std::shared_ptr<DebugSink> sink);

// Removes the device and its driver object and detaches the sink. Nothing
// when there is no device.
void debug_device_remove();

// Whether the device exists now.
bool debug_device_present();

// Sends further messages to sink (NULL: nowhere). A message being written to
// the previous sink finishes there.
void debug_device_set_sink(std::shared_ptr<DebugSink> sink);

// The message procedure that the device offers: passes text to the current
// sink. Any thread, any context; holds a leaf lock only to take the sink.
VOID debug_device_message(const CHAR *text);

// Creates the device for a scope and removes it at the end of the scope.
class DebugDeviceScope {
public:
  explicit DebugDeviceScope(std::shared_ptr<DebugSink> sink)
      : status_(debug_device_create(std::move(sink))) {}
  ~DebugDeviceScope() {
    if (NT_SUCCESS(status_))
      debug_device_remove();
  }
  DebugDeviceScope(const DebugDeviceScope &) = delete;
  DebugDeviceScope &operator=(const DebugDeviceScope &) = delete;

  NTSTATUS status() const { return status_; }

private:
  NTSTATUS status_;
};

} // namespace platform
