// Per-thread IRQL bookkeeping and thread identities.
#include "platform/kernel/irql.h"

#include <atomic>

#include "platform/kernel/control.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/misuse.h"

namespace platform::kernel {
namespace {

// The calling thread's IRQL; only the thread itself reads or writes it.
thread_local KIRQL current_irql = PASSIVE_LEVEL;

// Source of thread identities; never reused.
std::atomic<uintptr_t> next_thread_id{1};
thread_local uintptr_t this_thread_id = 0;

} // namespace

uintptr_t current_thread_id() {
  if (this_thread_id == 0)
    this_thread_id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
  return this_thread_id;
}

void check_passive_after(const char *what) {
  if (current_irql != PASSIVE_LEVEL) {
    misuse_reportf(MisuseCategory::Irql, "%s returned at IRQL %u (a spin lock still held?)", what,
                   static_cast<unsigned>(current_irql));
    current_irql = PASSIVE_LEVEL;
  }
}

} // namespace platform::kernel

namespace platform {

KIRQL irql_reset_current() {
  KIRQL old = KeGetCurrentIrql();
  KeLowerIrql(PASSIVE_LEVEL);
  return old;
}

} // namespace platform

KIRQL KeGetCurrentIrql() {
  return platform::kernel::current_irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL old = platform::kernel::current_irql;
  if (NewIrql < old)
    platform::misuse_reportf(platform::MisuseCategory::Irql, "KeRaiseIrql from %u to the lower IRQL %u",
                             static_cast<unsigned>(old), static_cast<unsigned>(NewIrql));
  platform::kernel::current_irql = NewIrql;
  *OldIrql = old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL old = platform::kernel::current_irql;
  if (NewIrql > old)
    platform::misuse_reportf(platform::MisuseCategory::Irql, "KeLowerIrql from %u to the higher IRQL %u",
                             static_cast<unsigned>(old), static_cast<unsigned>(NewIrql));
  platform::kernel::current_irql = NewIrql;
}
