// System threads and thread objects.
//
// PsCreateSystemThread runs the start routine on a real thread. Its thread
// object (an ETHREAD, whose first member is a KTHREAD whose first member is a
// DISPATCHER_HEADER) is waitable: KeWaitForSingleObject on it returns once
// the routine has returned. The object is reference counted (handle,
// references, and the running thread itself) and freed with the last
// reference, whichever order the creator and the thread finish in.
// KeGetCurrentThread works on any thread; threads that were not created by
// PsCreateSystemThread get an object of their own, signalled when they end.
#pragma once

#include "platform/kernel/event.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/object.h"

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

using PKSTART_ROUTINE = VOID (*)(PVOID StartContext);

struct KTHREAD {
  DISPATCHER_HEADER Header; // Type ThreadObject; signalled when the thread has ended
  KPRIORITY Priority;       // last priority set (8 by default); guarded by the object manager lock
  KPRIORITY BasePriority;
  BOOLEAN SystemThread; // created by PsCreateSystemThread
  BOOLEAN Terminated;   // the routine has returned (written once, before the signal)
  USHORT Reserved;
  LONG HostThreadId; // Linux thread id, for real priority changes
  PKSTART_ROUTINE StartRoutine;
  PVOID StartContext;
};
using PKTHREAD = KTHREAD *;
using PRKTHREAD = KTHREAD *;

struct ETHREAD {
  KTHREAD Tcb;
};
using PETHREAD = ETHREAD *;

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID *;

// Creates a system thread that runs StartRoutine(StartContext) and returns a
// handle to its object in *ThreadHandle (close it with ZwClose). The routine
// starts at PASSIVE_LEVEL and ends the thread by returning; it must return
// at PASSIVE_LEVEL with no spin lock held (checked, reported as misuse).
// DesiredAccess, ObjectAttributes and ProcessHandle are accepted; ClientId,
// when given, receives made-up process and thread ids.
// Returns STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when no object or
// thread can be created (fault injection on the object's pool tag "Thrd"
// fails it). Never waits for the thread. IRQL PASSIVE_LEVEL.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, PVOID ObjectAttributes,
                              HANDLE ProcessHandle, PVOID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);

// The calling thread's object (created on first use for threads that the
// platform did not create). Valid while the thread runs; take a reference to
// keep it longer. Any context.
PKTHREAD KeGetCurrentThread();
inline PETHREAD PsGetCurrentThread() {
  return reinterpret_cast<PETHREAD>(KeGetCurrentThread());
}

// Records Priority (0..31) for Thread and returns the previous one. Where the
// host permits it the thread's scheduling weight follows (a higher priority
// gets a lower nice value); a refusal is ignored, never an error. A priority
// outside 0..31 is reported as misuse and clamped. Any IRQL <= DISPATCH_LEVEL.
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
