// The asynchronous half of the USB transport: one bulk transfer per call, reported through the
// caller's callback exactly once.
//
// A transfer's records (context, MDL, URB, request packet) are allocated by QRNUSB_ReadWrite
// and belong to it until the packet is handed to the bus driver; from then on they belong to
// the completion routine alone, which releases them before calling the callback.
#include "diag/debug_msg.h"
#include "usb/qrnusb.h"

namespace {

// Reports a transfer that could not be started: 0 bytes, STATUS_INSUFFICIENT_RESOURCES.
VOID QRNUSB_ReportNoRoom(QRNUSB_RW_CALLBACK Callback, PVOID CallbackContext) {
  if (Callback != nullptr)
    Callback(CallbackContext, 0, STATUS_INSUFFICIENT_RESOURCES);
}

} // namespace

// Starts one bulk transfer (see qrnusb.h). Does not wait; passive or dispatch level.
NTSTATUS QRNUSB_ReadWrite(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, ULONG Direction,
                          PUSBD_PIPE_INFORMATION PipeInformation, QRNUSB_RW_CALLBACK Callback,
                          PVOID CallbackContext) {
  auto context = static_cast<PQRNUSB_RW_CONTEXT>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(QRNUSB_RW_CONTEXT), QRNUSB_POOL_TAG));
  if (context == nullptr) {
    QRNUSB_ReportNoRoom(Callback, CallbackContext);
    DubugMsg(2, "QRNUSB_ReadWrite no room context\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(context, sizeof(QRNUSB_RW_CONTEXT));
  context->Callback = Callback;
  context->CallbackContext = CallbackContext;
  context->Length = Length;
  context->DeviceObject = DeviceObject;
  context->PipeInformation = PipeInformation;

  PCSTR noRoom = nullptr;
  context->Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, nullptr);
  if (context->Mdl == nullptr) {
    noRoom = "QRNUSB_ReadWrite no room Mdl\n";
  } else {
    MmBuildMdlForNonPagedPool(context->Mdl);
    context->Urb = QRNUSB_BuildAsyncReadWriteRequest(context->Mdl, PipeInformation->PipeHandle, Direction);
    if (context->Urb == nullptr)
      noRoom = "QRNUSB_ReadWrite no room URB\n";
    else if ((context->Irp = QRNUSB_BuildAsyncInternalDeviceControlRequest(
                  DeviceObject, context->Urb, IOCTL_INTERNAL_USB_SUBMIT_URB)) == nullptr)
      noRoom = "QRNUSB_ReadWrite no room IRP\n";
  }
  if (noRoom != nullptr) {
    DubugMsg(2, noRoom);
    QRNUSB_ReadWriteFreeResources(context);
    QRNUSB_ReportNoRoom(Callback, CallbackContext);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  IoSetCompletionRoutine(context->Irp, QRNUSB_AsyncReadWriteComplete, context, TRUE, TRUE, TRUE);
  // From here on the completion routine owns the transfer's records and may already have
  // released them when IofCallDriver returns.
  const NTSTATUS status = IofCallDriver(DeviceObject, context->Irp);
  if (status != STATUS_SUCCESS && status != STATUS_PENDING)
    DubugMsg(2, "error QRNUSB_ReadWrite status=0x%08X\n", status);
  return status;
}

// Builds the bulk-transfer URB: the MDL's bytes, in or out, short transfers allowed.
// Any level <= DISPATCH_LEVEL.
PURB QRNUSB_BuildAsyncReadWriteRequest(PMDL Mdl, USBD_PIPE_HANDLE PipeHandle, ULONG Direction) {
  auto urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), QRNUSB_POOL_TAG));
  if (urb == nullptr)
    return nullptr;
  RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = PipeHandle;
  urb->UrbBulkOrInterruptTransfer.TransferFlags =
      (Direction != 0 ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) | USBD_SHORT_TRANSFER_OK;
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = Mdl;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = MmGetMdlByteCount(Mdl);
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
  urb->UrbBulkOrInterruptTransfer.UrbLink = nullptr;
  return urb;
}

// Builds the request packet for the bus driver. Any level <= DISPATCH_LEVEL.
PIRP QRNUSB_BuildAsyncInternalDeviceControlRequest(PDEVICE_OBJECT DeviceObject, PVOID Argument,
                                                   ULONG IoControlCode) {
  const CCHAR stackSize = static_cast<CCHAR>(DeviceObject->StackSize + 1);
  PIRP irp = IoAllocateIrp(stackSize, FALSE);
  if (irp == nullptr)
    return nullptr;
  IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = Argument;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  return irp;
}

// The transfer's completion routine (see qrnusb.h). The callback comes last, after every record
// of the transfer has been released. Bus driver's completion context, possibly DISPATCH_LEVEL.
NTSTATUS QRNUSB_AsyncReadWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  auto context = static_cast<PQRNUSB_RW_CONTEXT>(Context);
  const QRNUSB_RW_CALLBACK callback = context->Callback;
  const PVOID callbackContext = context->CallbackContext;
  context->Completed = 1;
  const NTSTATUS urbStatus = context->Urb->UrbHeader.Status;
  if (!NT_SUCCESS(urbStatus))
    DubugMsg(2, "QRNUSB_AsyncReadComp Error status=0x%08X,Len=0x%08X retLen=0x%08X\n", urbStatus,
             context->Length, context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
  const ULONG moved = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  QRNUSB_ReadWriteFreeResources(context);
  if (callback != nullptr)
    callback(callbackContext, moved, urbStatus);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Releases a transfer's records, each when present: packet, MDL, URB, then the context.
VOID QRNUSB_ReadWriteFreeResources(PQRNUSB_RW_CONTEXT Context) {
  if (Context->Irp != nullptr)
    IoFreeIrp(Context->Irp);
  if (Context->Mdl != nullptr)
    IoFreeMdl(Context->Mdl);
  if (Context->Urb != nullptr)
    ExFreePool(Context->Urb);
  ExFreePool(Context);
}
