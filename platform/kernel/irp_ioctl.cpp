// Device-control requests the I/O manager builds (IoBuildDeviceIoControlRequest):
// their buffers by transfer method (buffered, direct, neither), and their end
// when completed: output copied back, buffers freed, the caller's event set.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/kernel/io.h"
#include "platform/kernel/irp_table.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"

namespace platform::kernel {
namespace {

constexpr ULONG kBufferTag = PoolTag("IoBf");

bool nt_error(NTSTATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 3;
}

} // namespace

// The status block and the event come last: once the event is set, the
// waiter may free both.
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

} // namespace platform::kernel

using namespace platform;
using namespace platform::kernel;

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
