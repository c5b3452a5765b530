// Spin locks: short mutual exclusion that raises the holder to DISPATCH_LEVEL.
//
// A KSPIN_LOCK holds a real lock word and its owner. Acquiring spins (then
// yields) until the lock is free, records the owner and raises the caller's
// IRQL to DISPATCH_LEVEL; releasing restores the IRQL given. While a spin
// lock is held the holder must not wait (see event.h). Owner checks: a
// release by a thread that does not hold the lock, a release of a free lock
// and a recursive acquire are reported as misuse; a recursive acquire does
// not deadlock (it is counted, and the matching release undoes it).
//
// The lock word is accessed with atomic operations (std::atomic_ref), so
// ThreadSanitizer sees acquire/release ordering.
#pragma once

#include "platform/kernel/irql.h"
#include "platform/kernel/ntdef.h"

struct KSPIN_LOCK {
  ULONG_PTR Lock;  // 0 free, 1 held (atomic)
  ULONG_PTR Owner; // platform thread id of the holder, 0 when free (atomic)
  ULONG Depth;     // extra (misused) recursive acquires, written by the owner only
  ULONG Reserved;
};
using PKSPIN_LOCK = KSPIN_LOCK *;

// Makes the lock free. Any IRQL; the lock must not be held.
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);

// Acquires the lock, raising to DISPATCH_LEVEL; returns the previous IRQL.
// Spins while another thread holds it. Callable at IRQL <= DISPATCH_LEVEL.
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);

// Releases the lock and lowers the IRQL to NewIrql (the value returned by the
// matching acquire). Must be called by the holder.
VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

// Conveniences with the kernel's classic shapes.
inline VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  *OldIrql = KfAcquireSpinLock(SpinLock);
}
inline VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KfReleaseSpinLock(SpinLock, NewIrql);
}
