// I/O request packets: allocation, sending, completion, cancellation, and
// the I/O manager's own device-control requests.
//
// The I/O manager keeps a record of each IRP outside its memory (so a freed
// or foreign IRP is never read to diagnose it): whether the pool block is
// the I/O manager's to free, and where the IRP is in its life:
//   Idle       allocated or initialised, or taken back by a completion
//              routine that returned STATUS_MORE_PROCESSING_REQUIRED
//   Sent       handed to a driver by IofCallDriver, not yet completed
//   Completing IofCompleteRequest is walking its stack locations
//   Completed  the walk reached the top; only freeing is left
// While a completion routine runs, other threads that free, send or
// complete the same IRP wait for that routine to return (a routine never
// waits), so that the routine's verdict decides whether they were legal.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/control.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/io.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/spinlock.h"

namespace platform::kernel {
namespace {

constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kBufferTag = PoolTag("IoBf");

enum class IrpState { Idle, Sent, Completing, Completed };

struct IrpRecord {
  bool allocated = false;  // from IoAllocateIrp: IoFreeIrp frees the block
  bool io_manager = false; // from IoBuildDeviceIoControlRequest: finished and freed on completion
  size_t bytes = 0;        // size of the allocated block
  ULONG output_length = 0; // buffered output to copy back (I/O-manager requests)
  IrpState state = IrpState::Idle;
  uint64_t sends = 0;           // IofCallDriver calls so far
  uintptr_t routine_thread = 0; // thread running one of its completion routines, 0 if none
  bool free_requested = false;  // IoFreeIrp came while the IRP was being processed
};

// `lock` guards `irps`; only the misuse reporter's lock is taken under it
// (pool calls and routines run after releasing it). `routine_done` is
// signalled whenever a completion routine returns.
struct IrpTable {
  std::mutex lock;
  std::condition_variable routine_done;
  std::unordered_map<PIRP, IrpRecord> irps;
};

// Never destroyed.
IrpTable &irp_table() {
  static IrpTable *instance = new IrpTable;
  return *instance;
}

// The cancel spin lock (zero-filled static storage is a free lock).
KSPIN_LOCK cancel_lock;

// The record of `irp`, after any completion routine of it running on
// another thread has returned; NULL for an IRP that is not live. Lock held.
IrpRecord *find_settled(IrpTable &t, std::unique_lock<std::mutex> &hold, PIRP irp) {
  uintptr_t self = current_thread_id();
  for (;;) {
    auto found = t.irps.find(irp);
    if (found == t.irps.end())
      return nullptr;
    if (found->second.routine_thread == 0 || found->second.routine_thread == self)
      return &found->second;
    t.routine_done.wait(hold);
  }
}

// Writes a fresh IRP header: zeroes `zero_bytes`, sets the empty stack.
void init_irp(PIRP irp, USHORT packet_size, CCHAR stack_size, size_t zero_bytes) {
  std::memset(irp, 0, zero_bytes);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packet_size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

PIRP irp_allocate(CCHAR stack_size) {
  USHORT bytes = IoSizeOfIrp(stack_size);
  auto *irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, bytes, kIrpTag));
  if (irp == nullptr)
    return nullptr;
  init_irp(irp, bytes, stack_size, bytes);
  IrpTable &t = irp_table();
  std::lock_guard<std::mutex> hold(t.lock);
  IrpRecord record;
  record.allocated = true;
  record.bytes = bytes;
  t.irps[irp] = record;
  return irp;
}

bool nt_error(NTSTATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 3;
}

// Finishes a request built by IoBuildDeviceIoControlRequest: copies the
// buffered output, frees the buffers and the IRP, then stores the status and
// sets the event (last, since the waiter may then free both).
void finish_io_manager_request(PIRP irp, ULONG output_length) {
  IO_STATUS_BLOCK status = irp->IoStatus;
  PIO_STATUS_BLOCK user_iosb = irp->UserIosb;
  PKEVENT user_event = irp->UserEvent;
  PVOID system_buffer = irp->AssociatedIrp.SystemBuffer;
  if ((irp->Flags & IRP_BUFFERED_IO) != 0 && system_buffer != nullptr) {
    if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !nt_error(status.Status) && irp->UserBuffer != nullptr)
      std::memcpy(irp->UserBuffer, system_buffer, std::min<ULONG_PTR>(status.Information, output_length));
  }
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && system_buffer != nullptr)
    ExFreePool(system_buffer);
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    IoFreeMdl(mdl);
    mdl = next;
  }
  ExFreePool(irp);
  if (user_iosb != nullptr)
    *user_iosb = status;
  if (user_event != nullptr)
    KeSetEvent(user_event, IO_NO_INCREMENT, FALSE);
}

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
    ULONG output_length = record.output_length;
    t.irps.erase(found);
    hold.unlock();
    if (misused)
      misuse_reportf(MisuseCategory::Irp, "IRP %p was freed while it was being completed",
                     static_cast<void *>(irp));
    if (io_manager)
      finish_io_manager_request(irp, output_length);
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
  IrpRecord *record = find_settled(t, hold, irp);
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

namespace platform {

size_t irps_live() {
  kernel::IrpTable &t = kernel::irp_table();
  std::lock_guard<std::mutex> hold(t.lock);
  return static_cast<size_t>(
      std::count_if(t.irps.begin(), t.irps.end(), [](const auto &entry) { return entry.second.allocated; }));
}

size_t irps_in_flight() {
  kernel::IrpTable &t = kernel::irp_table();
  std::lock_guard<std::mutex> hold(t.lock);
  return static_cast<size_t>(std::count_if(t.irps.begin(), t.irps.end(), [](const auto &entry) {
    return entry.second.state == kernel::IrpState::Sent || entry.second.state == kernel::IrpState::Completing;
  }));
}

} // namespace platform

using namespace platform;
using namespace platform::kernel;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (StackSize < 1) {
    misuse_reportf(MisuseCategory::Irp, "IoAllocateIrp with stack size %d", static_cast<int>(StackSize));
    return nullptr;
  }
  return irp_allocate(StackSize);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (Irp == nullptr || StackSize < 1 || PacketSize < sizeof(IRP)) {
    misuse_reportf(MisuseCategory::Irp, "IoInitializeIrp(%p, %u, %d): packet smaller than an IRP or no stack",
                   static_cast<void *>(Irp), static_cast<unsigned>(PacketSize), static_cast<int>(StackSize));
    return;
  }
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  IrpRecord *record = find_settled(t, hold, Irp);
  const char *problem = nullptr;
  if (record != nullptr && (record->state == IrpState::Sent || record->state == IrpState::Completing))
    problem = "is still being processed";
  else if (record != nullptr && record->allocated &&
           (IoSizeOfIrp(StackSize) > record->bytes || PacketSize > record->bytes))
    problem = "was allocated smaller than the packet or stack given";
  if (problem != nullptr) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Irp, "IoInitializeIrp: IRP %p %s", static_cast<void *>(Irp), problem);
    return;
  }
  if (record == nullptr)
    record = &t.irps[Irp];
  init_irp(Irp, PacketSize, StackSize, record->allocated ? record->bytes : PacketSize);
  record->state = IrpState::Idle;
  record->sends = 0;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  IrpRecord *record = find_settled(t, hold, Irp);
  if (record == nullptr || record->state == IrpState::Sent || record->state == IrpState::Completing) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Irp, "IoReuseIrp: IRP %p is not live or still being processed",
                   static_cast<void *>(Irp));
    return;
  }
  init_irp(Irp, Irp->Size, Irp->StackCount, record->allocated ? record->bytes : Irp->Size);
  Irp->IoStatus.Status = Status;
  record->state = IrpState::Idle;
  record->sends = 0;
}

VOID IoFreeIrp(PIRP Irp) {
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  IrpRecord *record = Irp != nullptr ? find_settled(t, hold, Irp) : nullptr;
  const char *problem = nullptr;
  if (record == nullptr) {
    problem = "is not a live IRP (freed twice?)";
  } else if (!record->allocated) {
    problem = "was not allocated by IoAllocateIrp";
  } else if (record->state == IrpState::Completing) {
    // Legal when the running completion routine returns
    // STATUS_MORE_PROCESSING_REQUIRED; settled when it returns.
    record->free_requested = true;
    return;
  } else if (record->state == IrpState::Sent) {
    problem = "is still being processed by a driver (freed when it completes)";
    record->free_requested = true;
  }
  if (problem == nullptr)
    t.irps.erase(Irp);
  hold.unlock();
  if (problem != nullptr) {
    misuse_reportf(MisuseCategory::Irp, "IoFreeIrp: %p %s", static_cast<void *>(Irp), problem);
    return;
  }
  ExFreePool(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  IrpRecord *record = Irp != nullptr ? find_settled(t, hold, Irp) : nullptr;
  const char *problem = nullptr;
  if (DeviceObject == nullptr)
    problem = "no device object";
  else if (record == nullptr)
    problem = "not a live IRP";
  else if (record->free_requested)
    problem = "an IRP already freed";
  else if (Irp->CurrentLocation <= 1)
    problem = "an IRP with no stack location left";
  if (problem != nullptr) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Irp, "IofCallDriver(%p, %p): %s", static_cast<void *>(DeviceObject),
                   static_cast<void *>(Irp), problem);
    return STATUS_INVALID_PARAMETER;
  }
  record->state = IrpState::Sent;
  record->sends++;
  hold.unlock();

  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  UCHAR major = stack->MajorFunction;
  PDRIVER_DISPATCH dispatch = nullptr;
  if (major <= IRP_MJ_MAXIMUM_FUNCTION && DeviceObject->DriverObject != nullptr)
    dispatch = DeviceObject->DriverObject->MajorFunction[major];
  if (major > IRP_MJ_MAXIMUM_FUNCTION)
    misuse_reportf(MisuseCategory::Irp, "IofCallDriver: IRP %p has major function 0x%02X",
                   static_cast<void *>(Irp), static_cast<unsigned>(major));
  if (dispatch == nullptr)
    dispatch = dispatch_invalid_request;
  return dispatch(DeviceObject, Irp);
}

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

// Lays out the buffers of a device-control request by its method.
static bool attach_ioctl_buffers(PIRP irp, ULONG method, PVOID input, ULONG input_length, PVOID output,
                                 ULONG output_length) {
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  irp->UserBuffer = output;
  if (method == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
    return true;
  }
  ULONG buffered = method == METHOD_BUFFERED ? std::max(input_length, output_length) : input_length;
  if (buffered != 0) {
    PVOID system_buffer = ExAllocatePoolWithTag(NonPagedPool, buffered, kBufferTag);
    if (system_buffer == nullptr)
      return false;
    std::memset(system_buffer, 0, buffered);
    if (input != nullptr && input_length != 0)
      std::memcpy(system_buffer, input, input_length);
    irp->AssociatedIrp.SystemBuffer = system_buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (method == METHOD_BUFFERED && output_length != 0)
      irp->Flags |= IRP_INPUT_OPERATION;
  }
  if (method != METHOD_BUFFERED && output != nullptr && output_length != 0) {
    PMDL mdl = IoAllocateMdl(output, output_length, FALSE, FALSE, irp);
    if (mdl == nullptr)
      return false;
    MmBuildMdlForNonPagedPool(mdl);
  }
  return true;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr) {
    misuse_report(MisuseCategory::Irp, "IoBuildDeviceIoControlRequest without a device object");
    return nullptr;
  }
  PIRP irp = irp_allocate(std::max<CCHAR>(DeviceObject->StackSize, 1));
  if (irp == nullptr)
    return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  {
    IrpTable &t = irp_table();
    std::lock_guard<std::mutex> hold(t.lock);
    IrpRecord &record = t.irps.at(irp);
    record.io_manager = true;
    record.output_length = OutputBufferLength;
  }
  if (!attach_ioctl_buffers(irp, METHOD_FROM_CTL_CODE(IoControlCode), InputBuffer, InputBufferLength,
                            OutputBuffer, OutputBufferLength)) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr)
      ExFreePool(irp->AssociatedIrp.SystemBuffer);
    IoFreeIrp(irp);
    return nullptr;
  }
  return irp;
}
