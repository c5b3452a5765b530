// Dispatcher objects (events, and thread objects from thread.h) and waits.
//
// A waitable object starts with a DISPATCHER_HEADER. Its signal state lives in
// the record; the waiting itself happens on the platform's wait channels
// (std::mutex/std::condition_variable, hashed by object address), so a record
// needs no construction beyond its Ke initialiser, may sit in zero-filled
// memory or on the stack, may be initialised again while nobody waits on it,
// and may be freed as soon as its last waiter has returned.
//
// Event semantics:
// - NotificationEvent (manual reset): a set releases every waiter and the
//   event stays signalled until it is cleared or reset.
// - SynchronizationEvent (auto reset): a set releases exactly one waiter
//   (the longest-waiting one) and the event returns to not-signalled; with
//   no waiter it stays signalled until one wait consumes it.
// Thread objects are signalled (for good) when the thread's routine returns.
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"

// Dispatcher object types (DISPATCHER_HEADER::Type).
enum KOBJECTS : UCHAR {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  ThreadObject = 6,
};

// Common head of every waitable object.
struct DISPATCHER_HEADER {
  UCHAR Type;        // KOBJECTS value
  UCHAR Absolute;    // unused
  UCHAR Size;        // record size in 32-bit words, informational
  UCHAR Inserted;    // unused
  LONG SignalState;  // > 0 signalled; guarded by the object's wait channel
  ULONG Initialized; // set by the Ke initialiser; catches waits on raw memory
  ULONG Reserved;
};
using PDISPATCHER_HEADER = DISPATCHER_HEADER *;

enum EVENT_TYPE : int { NotificationEvent = 0, SynchronizationEvent = 1 };

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT *;
using PRKEVENT = KEVENT *;

enum KWAIT_REASON : int {
  Executive = 0,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  MaximumWaitReason,
};

// Initialises an event of the given type, signalled when State is TRUE.
// Legal on zero-filled, stack or previously used memory, and again on an
// event nobody is waiting on; re-initialising an event with waiters is
// misuse (reported). Never blocks; any IRQL.
VOID KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);

// Signals the event (see the semantics above) and returns its previous
// state (non-zero = was signalled). Increment and Wait are accepted and have
// no effect. Never blocks; any IRQL <= DISPATCH_LEVEL. The event may be
// freed by a released waiter as soon as this call has released it.
LONG KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Makes the event not signalled. Never blocks; any IRQL <= DISPATCH_LEVEL.
VOID KeClearEvent(PKEVENT Event);

// Makes the event not signalled and returns its previous state.
LONG KeResetEvent(PKEVENT Event);

// Returns the current state (non-zero = signalled) without changing it.
LONG KeReadStateEvent(PKEVENT Event);

// Waits until Object (a KEVENT or a thread object) is signalled.
// Timeout: NULL waits forever; negative = relative, in 100 ns units; zero =
// test the state without waiting; positive = absolute system time (100 ns
// since 1601, see time.h). Timeouts run on a monotonic clock.
// Returns STATUS_SUCCESS when the object was signalled (a synchronization
// event is then reset by this wait), STATUS_TIMEOUT when the time ran out; a
// timed-out wait leaves no trace on the object. Alertable is accepted; nothing
// alerts in this platform. STATUS_INVALID_PARAMETER for an object that is not
// waitable (reported as misuse).
// Blocks. Only at IRQL < DISPATCH_LEVEL, except with a zero timeout; a
// blocking wait at DISPATCH_LEVEL is reported as misuse (and still performed).
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
