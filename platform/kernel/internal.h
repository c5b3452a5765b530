// Private interfaces between the kernel service files. Not for driver code,
// tests or other platform parts.
#pragma once

#include <cstdint>

#include "platform/kernel/event.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/thread.h"

namespace platform::kernel {

// --- per-thread state (irql.cpp) -------------------------------------------

// A non-zero number that identifies the calling thread for its lifetime and
// is never reused. Any context.
uintptr_t current_thread_id();

// --- dispatcher (event.cpp) ------------------------------------------------

// Prepares a thread object's header: not signalled, waitable.
void dispatcher_init_thread(PKTHREAD thread);

// Signals a thread object for good and releases all its waiters.
void dispatcher_signal_thread(PKTHREAD thread);

// --- object manager (object.cpp) -------------------------------------------

enum class ObjectKind { Thread, File, Device };

// Called with no lock held when an object's last reference goes.
using ObjectDestroy = void (*)(void *object);

// Registers `object` with `references` references. Never blocks.
void object_insert(void *object, ObjectKind kind, LONG references, ObjectDestroy destroy);

// Creates a handle to `object`, taking one reference (the object must be
// registered). Returns NULL for an unknown object.
HANDLE handle_create(void *object);

// Number of registered objects of `kind`.
size_t objects_live(ObjectKind kind);

// --- I/O manager (device.cpp, irp.cpp, mdl.cpp) ---------------------------

// The dispatch routine of every MajorFunction a driver leaves unset: fails
// the IRP with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS dispatch_invalid_request(struct DEVICE_OBJECT *device, struct IRP *irp);

// --- threads (thread.cpp) --------------------------------------------------

// Makes sure the calling thread's IRQL is PASSIVE_LEVEL after a routine the
// platform called returned; reports `what` as misuse otherwise.
void check_passive_after(const char *what);

} // namespace platform::kernel
