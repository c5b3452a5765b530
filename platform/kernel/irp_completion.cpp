// IRP completion and cancellation: IofCompleteRequest's walk up the stack
// locations with the completion routines and their verdicts, the I/O
// manager's part at the top, cancel routines, IoCancelIrp and the cancel
// spin lock.
#include <atomic>
#include <mutex>

#include "platform/kernel/internal.h"
#include "platform/kernel/io.h"
#include "platform/kernel/irp_table.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/spinlock.h"

namespace platform::kernel {
namespace {

// The cancel spin lock (zero-filled static storage is a free lock).
KSPIN_LOCK cancel_lock;

// What a completion routine's return means for the walk.
enum class WalkStep { Continue, Stop };

// Calls one completion routine and settles the IRP's record by its verdict.
WalkStep call_completion_routine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device,
                                 PVOID context, uint64_t sends) {
  IrpTable &t = irp_table();
  uintptr_t outer;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto found = t.irps.find(irp);
    if (found == t.irps.end())
      return WalkStep::Stop; // cannot happen: freeing waits while Completing
    outer = found->second.routine_thread;
    found->second.routine_thread = current_thread_id();
  }
  NTSTATUS verdict = routine(device, irp, context);
  std::unique_lock<std::mutex> hold(t.lock);
  auto found = t.irps.find(irp);
  if (found == t.irps.end())
    return WalkStep::Stop; // freed by a nested completion the routine started
  IrpRecord &record = found->second;
  record.routine_thread = outer;
  t.routine_done.notify_all();
  const char *problem = nullptr;
  if (verdict == STATUS_MORE_PROCESSING_REQUIRED) {
    if (record.sends == sends && record.state == IrpState::Completing)
      record.state = IrpState::Idle;
    if (!record.free_requested)
      return WalkStep::Stop;
  } else if (record.free_requested) {
    problem = "freed by a completion routine that did not return STATUS_MORE_PROCESSING_REQUIRED";
  } else if (record.sends != sends) {
    problem = "sent again by a completion routine that did not return STATUS_MORE_PROCESSING_REQUIRED";
    hold.unlock();
    misuse_reportf(MisuseCategory::Irp, "IRP %p %s", static_cast<void *>(irp), problem);
    return WalkStep::Stop;
  } else {
    return WalkStep::Continue;
  }
  bool owned = record.allocated;
  t.irps.erase(found);
  hold.unlock();
  if (problem != nullptr)
    misuse_reportf(MisuseCategory::Irp, "IRP %p %s", static_cast<void *>(irp), problem);
  if (owned)
    ExFreePool(irp);
  return WalkStep::Stop;
}

// Walks the stack locations from the current one up (the kernel's
// completion loop). Returns true when the walk reached the top.
bool walk_completion(PIRP irp, uint64_t sends) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  for (IoSkipCurrentIrpStackLocation(irp); irp->CurrentLocation <= irp->StackCount + 1;
       ++stack, IoSkipCurrentIrpStackLocation(irp)) {
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0 ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    NTSTATUS status = irp->IoStatus.Status;
    bool cancelled = std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                         (cancelled && (control & SL_INVOKE_ON_CANCEL) != 0));
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    if (invoke) {
      // The routine belongs to the driver above, whose location is now current.
      PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      if (call_completion_routine(irp, routine, device, context, sends) == WalkStep::Stop)
        return false;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  return true;
}

// After the walk reached the top: the I/O manager's part.
void finish_completion(PIRP irp) {
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  auto found = t.irps.find(irp);
  if (found == t.irps.end())
    return;
  IrpRecord &record = found->second;
  if (record.free_requested || record.io_manager) {
    bool misused = record.free_requested;
    bool io_manager = record.io_manager;
    t.irps.erase(found);
    hold.unlock();
    if (misused)
      misuse_reportf(MisuseCategory::Irp, "IRP %p was freed while it was being completed",
                     static_cast<void *>(irp));
    if (io_manager)
      finish_io_manager_request(irp);
    else
      ExFreePool(irp);
    return;
  }
  record.state = IrpState::Completed;
  hold.unlock();
  misuse_reportf(MisuseCategory::Irp,
                 "IRP %p completed to the top: no completion routine of its owner took it back with "
                 "STATUS_MORE_PROCESSING_REQUIRED",
                 static_cast<void *>(irp));
}

// Checks that `irp` may be completed and marks it Completing. Returns false
// (after reporting) when it may not.
bool begin_completion(PIRP irp, uint64_t *sends) {
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  IrpRecord *record = irp_find_settled(t, hold, irp);
  const char *problem = nullptr;
  if (record == nullptr)
    problem = "is not a live IRP (completed after it was freed?)";
  else if (record->state == IrpState::Completed)
    problem = "was completed twice";
  else if (record->state == IrpState::Completing)
    problem = "was completed again while its completion was running";
  else if (irp->CurrentLocation > irp->StackCount + 1)
    problem = "has a stack location beyond its stack";
  if (problem != nullptr) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Irp, "IofCompleteRequest: IRP %p %s", static_cast<void *>(irp), problem);
    return false;
  }
  record->state = IrpState::Completing;
  *sends = record->sends;
  return true;
}

} // namespace
} // namespace platform::kernel

using namespace platform;
using namespace platform::kernel;

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  if (Irp == nullptr) {
    misuse_report(MisuseCategory::Irp, "IofCompleteRequest(NULL)");
    return;
  }
  uint64_t sends = 0;
  if (!begin_completion(Irp, &sends))
    return;
  if (Irp->IoStatus.Status == STATUS_PENDING)
    misuse_reportf(MisuseCategory::Irp, "IofCompleteRequest: IRP %p completed with STATUS_PENDING",
                   static_cast<void *>(Irp));
  if (IoSetCancelRoutine(Irp, nullptr) != nullptr)
    misuse_reportf(MisuseCategory::Irp,
                   "IofCompleteRequest: IRP %p completed with its cancel routine still set",
                   static_cast<void *>(Irp));
  if (walk_completion(Irp, sends))
    finish_completion(Irp);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return std::atomic_ref<PDRIVER_CANCEL>(Irp->CancelRoutine).exchange(CancelRoutine);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(&cancel_lock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(&cancel_lock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  bool live;
  {
    IrpTable &t = irp_table();
    std::lock_guard<std::mutex> hold(t.lock);
    live = Irp != nullptr && t.irps.count(Irp) != 0;
  }
  if (!live) {
    misuse_reportf(MisuseCategory::Irp, "IoCancelIrp(%p): not a live IRP", static_cast<void *>(Irp));
    return FALSE;
  }
  std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  // A parked IRP: its current location names the device that parked it.
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);
  return TRUE;
}
