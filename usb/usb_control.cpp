// The synchronous half of the USB transport: control requests sent to the bus driver and
// waited for at most 3 seconds, and the descriptor and configuration requests built on them.
#include "diag/debug_msg.h"
#include "usb/qrnusb.h"

#include <atomic>
#include <thread>

namespace {

// Where a control request stands, as its sender and its completion routine see it.
enum QRNUSB_REQUEST_STATE : LONG {
  QRNUSB_REQUEST_SENT = 0,       // with the bus driver
  QRNUSB_REQUEST_COMPLETED = 1,  // the completion routine ran first: the packet is going away
  QRNUSB_REQUEST_CANCELLING = 2, // the sender is inside IoCancelIrp: the packet must stay
  QRNUSB_REQUEST_CANCEL_DONE = 3,
};

// Shared by QRNUSB_InternalRequest (on its stack) and the completion routine of its request.
// State decides who goes first when the 3-second wait has ended: the sender may cancel the
// packet only while it cannot be freed, and the completion routine holds the packet back until
// IoCancelIrp has returned.
struct QRNUSB_REQUEST_GUARD {
  std::atomic<LONG> State;
  PKTHREAD CancelThread; // the sender's thread; written before State leaves SENT
};

// Completion routine of a control request: lets the I/O manager finish the packet (status
// block, event, free), unless the sender is cancelling it on another thread, in which case it
// first waits for IoCancelIrp to return. Bus driver's completion context, possibly
// DISPATCH_LEVEL: it only spins, for the length of one IoCancelIrp.
NTSTATUS QRNUSB_InternalRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  auto guard = static_cast<QRNUSB_REQUEST_GUARD *>(Context);
  LONG expected = QRNUSB_REQUEST_SENT;
  if (!guard->State.compare_exchange_strong(expected, QRNUSB_REQUEST_COMPLETED) &&
      guard->CancelThread != KeGetCurrentThread()) {
    while (guard->State.load() != QRNUSB_REQUEST_CANCEL_DONE)
      std::this_thread::yield();
  }
  return STATUS_SUCCESS;
}

// Ends a request that did not complete within the limit: cancels it if it has not completed
// yet and waits (without limit) until the I/O manager has finished it, so that no completion
// touches this call's event, status block or URB after it returned. The bus driver completes a
// cancelled request at once. Passive level.
VOID QRNUSB_CancelAndWait(PIRP Irp, PKEVENT Event, QRNUSB_REQUEST_GUARD *Guard) {
  Guard->CancelThread = KeGetCurrentThread();
  LONG expected = QRNUSB_REQUEST_SENT;
  if (Guard->State.compare_exchange_strong(expected, QRNUSB_REQUEST_CANCELLING)) {
    IoCancelIrp(Irp);
    Guard->State.store(QRNUSB_REQUEST_CANCEL_DONE);
  }
  KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
}

} // namespace

// Sends one internal device-control request and waits for it at most 3 s (see qrnusb.h).
// Blocks; passive level.
NTSTATUS QRNUSB_InternalRequest(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument) {
  KEVENT event;               // set by the I/O manager when the request is finished
  IO_STATUS_BLOCK ioStatus;   // its final status
  QRNUSB_REQUEST_GUARD guard; // see QRNUSB_InternalRequestComplete
  guard.State.store(QRNUSB_REQUEST_SENT);
  guard.CancelThread = nullptr;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceObject, nullptr, 0, nullptr, 0, TRUE, &event,
                                           &ioStatus);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.Others.Argument1 = Argument;
  IoSetCompletionRoutine(irp, QRNUSB_InternalRequestComplete, &guard, TRUE, TRUE, TRUE);

  LARGE_INTEGER startTime;
  KeQuerySystemTime(&startTime);
  NTSTATUS status = IofCallDriver(DeviceObject, irp);
  if (!NT_SUCCESS(status))
    DubugMsg(3, "IoCallDriver status=0x%08X\n", status);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = QRNUSB_REQUEST_TIMEOUT;
    const NTSTATUS waitStatus = KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, &timeout);
    if (waitStatus != STATUS_SUCCESS) {
      LARGE_INTEGER time;
      KeQuerySystemTime(&time);
      DubugMsg(2, "InternalRequest StartTime=0x%08X Time=%08X %dmsec\n", startTime.u.LowPart, time.u.LowPart,
               (time.u.LowPart - startTime.u.LowPart) / 10000);
      DubugMsg(2, "Invalid status=0x%08X\n", waitStatus);
      QRNUSB_CancelAndWait(irp, &event, &guard);
      status = STATUS_TIMEOUT;
    } else {
      // The request completed within the limit: its own status says how.
      status = ioStatus.Status;
    }
  }
  DubugMsg(3, "status 0x%08X\n", status);
  DubugMsg(3, "exit  QRNUSB_InternalRequest\n");
  return status;
}

// Submits a URB and waits for it. Blocks; passive level.
NTSTATUS QRNUSB_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  DubugMsg(3, "enter QRNUSB_CallUSBD\n");
  return QRNUSB_InternalRequest(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

// Resets the device's upstream port. Blocks; passive level.
NTSTATUS QRNUSB_ResetPort(PDEVICE_OBJECT DeviceObject) {
  DubugMsg(2, "enter QRNUSB_ResetPort\n");
  return QRNUSB_InternalRequest(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

// Sends a pipe request on PipeHandle. Blocks; passive level.
NTSTATUS QRNUSB_PipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE PipeHandle) {
  DubugMsg(3, "enter QRNUSB_PipeRequest\n");
  auto urb =
      static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), QRNUSB_POOL_TAG));
  if (urb == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
  urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbHeader.Function = Function;
  urb->UrbPipeRequest.PipeHandle = PipeHandle;
  const NTSTATUS status = QRNUSB_CallUSBD(DeviceObject, urb);
  ExFreePool(urb);
  DubugMsg(3, "exit  QRNUSB_PipeRequest\n");
  return status;
}

// Resets one pipe by its handle. Blocks; passive level.
NTSTATUS QRNUSB_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation) {
  DubugMsg(2, "enter QRNUSB_ResetPipe\n");
  return QRNUSB_PipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, PipeInformation->PipeHandle);
}

// Reads one descriptor into the caller's buffer. Blocks; passive level.
NTSTATUS QRNUSB_GetDescriptorRequest(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorType, UCHAR Index,
                                     USHORT LanguageId, USHORT BufferLength, PVOID Buffer,
                                     PULONG ReturnedLength) {
  DubugMsg(3, "enter QRNUSB_GetDescriptorRequest\n");
  auto urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), QRNUSB_POOL_TAG));
  if (urb == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  urb->UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbControlDescriptorRequest.TransferBufferLength = BufferLength;
  urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
  urb->UrbControlDescriptorRequest.TransferBufferMDL = nullptr;
  urb->UrbControlDescriptorRequest.DescriptorType = DescriptorType;
  urb->UrbControlDescriptorRequest.Index = Index;
  urb->UrbControlDescriptorRequest.LanguageId = LanguageId;
  urb->UrbControlDescriptorRequest.UrbLink = nullptr;
  const NTSTATUS status = QRNUSB_CallUSBD(DeviceObject, urb);
  *ReturnedLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
  ExFreePool(urb);
  DubugMsg(3, "exit  QRNUSB_GetDescriptorRequest RetLen=0x%x\n", *ReturnedLength);
  return status;
}

// Reads the device descriptor into a new 18-byte block. A device descriptor that is short or
// of another type is refused with STATUS_INVALID_PARAMETER. Blocks; passive level.
NTSTATUS QRNUSB_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR *DeviceDescriptor) {
  DubugMsg(3, "enter QRNUSB_GetDeviceDescriptor\n");
  auto descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), QRNUSB_POOL_TAG));
  *DeviceDescriptor = descriptor;
  if (descriptor == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  ULONG returned = 0;
  NTSTATUS status = QRNUSB_GetDescriptorRequest(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                                sizeof(USB_DEVICE_DESCRIPTOR), descriptor, &returned);
  if (!QRNUSB_FAILED(status) &&
      (returned < sizeof(USB_DEVICE_DESCRIPTOR) || descriptor->bLength < sizeof(USB_DEVICE_DESCRIPTOR) ||
       descriptor->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE)) {
    DubugMsg(2, "QRNUSB_GetDeviceDescriptor:ERROR bad descriptor RetLen=0x%x\n", returned);
    status = STATUS_INVALID_PARAMETER;
  }
  DubugMsg(3, "exit  QRNUSB_GetDeviceDescriptor\n");
  return status;
}

// Reads the whole configuration descriptor: a first pass of 9 + 512 bytes, and while the
// device reports a longer wTotalLength, another of wTotalLength + 512 (see qrnusb.h).
// Blocks; passive level.
NTSTATUS QRNUSB_GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR ConfigurationIndex,
                                           PUSB_CONFIGURATION_DESCRIPTOR *ConfigurationDescriptor,
                                           PULONG ReturnedLength) {
  DubugMsg(3, "enter QRNUSB_GetConfigurationDescriptor\n");
  ULONG size = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  ULONG returned = 0;
  NTSTATUS status;
  for (;;) {
    size += QRNUSB_CONFIGURATION_SLACK;
    auto descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, size, QRNUSB_POOL_TAG));
    *ConfigurationDescriptor = descriptor;
    if (descriptor == nullptr)
      return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(descriptor, size);
    status = QRNUSB_GetDescriptorRequest(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, ConfigurationIndex,
                                         0, static_cast<USHORT>(size), descriptor, &returned);
    // wTotalLength is only there when the device returned the first four bytes.
    if (returned < offsetof(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces) || descriptor->wTotalLength <= size)
      break;
    if (descriptor->wTotalLength > QRNUSB_MAX_CONFIGURATION_LENGTH) {
      // wTotalLength + 512 no longer fits the request's 16-bit buffer length.
      DubugMsg(2, "QRNUSB_GetConfigurationDescriptor:ERROR wTotalLength=0x%x too long\n",
               descriptor->wTotalLength);
      status = STATUS_BUFFER_TOO_SMALL;
      break;
    }
    size = descriptor->wTotalLength;
    ExFreePool(descriptor);
    *ConfigurationDescriptor = nullptr;
  }
  if (ReturnedLength != nullptr)
    *ReturnedLength = returned;
  DubugMsg(2, "GetConfigurationDescriptor %08X %08X \n", returned, size);
  DubugMsg(2, "exit  QRNUSB_GetConfigurationDescriptor\n");
  return status;
}
