// I/O request packets: their records, allocation, initialisation, reuse and
// freeing, and sending one to the driver of the next stack location.
// The record of each IRP and its states are described in irp_table.h.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/kernel/control.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/io.h"
#include "platform/kernel/irp_table.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"

namespace platform::kernel {
namespace {

constexpr ULONG kIrpTag = PoolTag("Irp ");

} // namespace

// Leaked on purpose: a static object would be destroyed at exit while other
// threads may still use it.
IrpTable &irp_table() {
  static IrpTable *instance = new IrpTable;
  return *instance;
}

// A completion routine running on this very thread (a nested call from the
// routine itself) is not waited for: that would wait for ourselves.
IrpRecord *irp_find_settled(IrpTable &t, std::unique_lock<std::mutex> &hold, PIRP irp) {
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

void irp_init_header(PIRP irp, USHORT packet_size, CCHAR stack_size, size_t zero_bytes) {
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
  irp_init_header(irp, bytes, stack_size, bytes);
  IrpTable &t = irp_table();
  std::lock_guard<std::mutex> hold(t.lock);
  IrpRecord record;
  record.allocated = true;
  record.bytes = bytes;
  t.irps[irp] = record;
  return irp;
}

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
  IrpRecord *record = irp_find_settled(t, hold, Irp);
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
  irp_init_header(Irp, PacketSize, StackSize, record->allocated ? record->bytes : PacketSize);
  record->state = IrpState::Idle;
  record->sends = 0;
}

VOID IoFreeIrp(PIRP Irp) {
  IrpTable &t = irp_table();
  std::unique_lock<std::mutex> hold(t.lock);
  IrpRecord *record = Irp != nullptr ? irp_find_settled(t, hold, Irp) : nullptr;
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
  IrpRecord *record = Irp != nullptr ? irp_find_settled(t, hold, Irp) : nullptr;
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
