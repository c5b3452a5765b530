// Spin locks with owner checks and IRQL bookkeeping.
#include "platform/kernel/spinlock.h"

#include <atomic>
#include <thread>

#include "platform/kernel/internal.h"
#include "platform/kernel/misuse.h"

namespace {

using platform::misuse_reportf;
using platform::MisuseCategory;

constexpr int kSpinsBeforeYield = 64;

std::atomic_ref<ULONG_PTR> lock_word(PKSPIN_LOCK lock) {
  return std::atomic_ref<ULONG_PTR>(lock->Lock);
}
std::atomic_ref<ULONG_PTR> owner_word(PKSPIN_LOCK lock) {
  return std::atomic_ref<ULONG_PTR>(lock->Owner);
}

// Takes the lock for the calling thread (IRQL untouched). A recursive
// acquire is reported and counted instead of deadlocking.
void acquire(PKSPIN_LOCK lock) {
  uintptr_t self = platform::kernel::current_thread_id();
  if (owner_word(lock).load(std::memory_order_relaxed) == self) {
    misuse_reportf(MisuseCategory::SpinLock, "spin lock %p acquired again by its holder",
                   static_cast<void *>(lock));
    lock->Depth++;
    return;
  }
  for (int spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (lock_word(lock).load(std::memory_order_relaxed) == 0 &&
        lock_word(lock).compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed))
      break;
    if (spins >= kSpinsBeforeYield)
      std::this_thread::yield();
  }
  owner_word(lock).store(self, std::memory_order_relaxed);
}

// Releases the lock. A release by a non-owner is reported and still
// releases (so the real holder is not left spinning forever); a release of a
// free lock is reported and ignored.
void release(PKSPIN_LOCK lock) {
  uintptr_t self = platform::kernel::current_thread_id();
  ULONG_PTR owner = owner_word(lock).load(std::memory_order_relaxed);
  if (lock_word(lock).load(std::memory_order_relaxed) == 0) {
    misuse_reportf(MisuseCategory::SpinLock, "spin lock %p released while not held",
                   static_cast<void *>(lock));
    return;
  }
  if (owner != self) {
    misuse_reportf(MisuseCategory::SpinLock, "spin lock %p released by a thread that does not hold it",
                   static_cast<void *>(lock));
  } else if (lock->Depth > 0) {
    lock->Depth--;
    return;
  }
  owner_word(lock).store(0, std::memory_order_relaxed);
  lock_word(lock).store(0, std::memory_order_release);
}

} // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  owner_word(SpinLock).store(0, std::memory_order_relaxed);
  SpinLock->Depth = 0;
  SpinLock->Reserved = 0;
  lock_word(SpinLock).store(0, std::memory_order_release);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  acquire(SpinLock);
  return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  release(SpinLock);
  KeLowerIrql(NewIrql);
}
