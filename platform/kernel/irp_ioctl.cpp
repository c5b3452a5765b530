// Device-control requests the I/O manager builds (IoBuildDeviceIoControlRequest):
// their buffers passed through unbuffered, and their end when completed: the
// IRP freed, the final status stored, the caller's event set.
#include <algorithm>
#include <mutex>

#include "platform/kernel/io.h"
#include "platform/kernel/irp_table.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"

namespace platform::kernel {

// The status block and the event come last: once the event is set, the
// waiter may free both.
void finish_io_manager_request(PIRP irp) {
  IO_STATUS_BLOCK status = irp->IoStatus;
  PIO_STATUS_BLOCK user_iosb = irp->UserIosb;
  PKEVENT user_event = irp->UserEvent;
  ExFreePool(irp);
  if (user_iosb != nullptr)
    *user_iosb = status;
  if (user_event != nullptr)
    KeSetEvent(user_event, IO_NO_INCREMENT, FALSE);
}

} // namespace platform::kernel

using namespace platform;
using namespace platform::kernel;

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr) {
    misuse_report(MisuseCategory::Irp, "IoBuildDeviceIoControlRequest without a device object");
    return nullptr;
  }
  bool buffers =
      InputBuffer != nullptr || InputBufferLength != 0 || OutputBuffer != nullptr || OutputBufferLength != 0;
  if (buffers && METHOD_FROM_CTL_CODE(IoControlCode) != METHOD_NEITHER) {
    misuse_reportf(MisuseCategory::Irp,
                   "IoBuildDeviceIoControlRequest(0x%08X): buffers for a buffered or direct control code "
                   "(this I/O manager passes buffers of METHOD_NEITHER codes only)",
                   static_cast<unsigned>(IoControlCode));
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
  stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  irp->UserBuffer = OutputBuffer;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  IrpTable &t = irp_table();
  std::lock_guard<std::mutex> hold(t.lock);
  t.irps.at(irp).io_manager = true;
  return irp;
}
