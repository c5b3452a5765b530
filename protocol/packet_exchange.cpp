// The packet exchange over the bulk pipes.
#include "protocol/packet_exchange.h"

#include <cstring>

#include "diag/debug_msg.h"
#include "protocol/packet_format.h"
#include "usb/qrnusb.h"

namespace {

// Direction argument of QRNUSB_ReadWrite.
constexpr ULONG kDirectionWrite = 0;
constexpr ULONG kDirectionRead = 1;

// After a timed-out transfer, how long a port reset is given to end it before
// it is reset again: 1 s, relative, in 100 ns units.
constexpr LONGLONG kEndTransferRetry = -10000000LL;

PUSBD_PIPE_INFORMATION in_pipe(PHW_DEVICE_EXTENSION pHwDevExt) {
  return pHwDevExt->pInterfaceInformation->Pipes + pHwDevExt->InPipeIndex;
}

PUSBD_PIPE_INFORMATION out_pipe(PHW_DEVICE_EXTENSION pHwDevExt) {
  return pHwDevExt->pInterfaceInformation->Pipes + pHwDevExt->OutPipeIndex;
}

bool is_data_packet(UCHAR type) {
  return type == CAM_PACKET_STX || type == CAM_PACKET_ETX;
}

// total + count, held at the largest count instead of wrapping (a camera may
// send any number of packets).
ULONG add_count(ULONG total, ULONG count) {
  return count > 0xFFFFFFFFu - total ? 0xFFFFFFFFu : total + count;
}

// Reads the rest of a reply that no longer fits, acknowledging each packet,
// after the packet in hand (already known to be a data packet, its bytes
// counted in *pTotal) overflowed; adds the data bytes of each further data
// packet to *pTotal. Always 0: the reply failed. Passive level; blocks.
ULONG drain_reply(PHW_DEVICE_EXTENSION pHwDevExt, ULONG VerifyChecksum, PULONG pTotal) {
  PCAM_PACKET packet = &pHwDevExt->CamPacket;
  DubugMsg(4, "## VELTRA_GetVarLenReceive() Not Enough Buffer\n");
  DubugMsg(4, "** VELTRA_GetVarLenReceive() Read until ETX\n");
  VELTRA_writeUSB1Byte(pHwDevExt, CAM_PACKET_ACK);
  while (packet->PacketType != CAM_PACKET_ETX) {
    if (!VELTRA_ReceiveCAMPacket(pHwDevExt, VerifyChecksum, packet)) {
      DubugMsg(4, "** VELTRA_GetVarLenReceive() Receive ERROR!!\n");
      return 0;
    }
    // The camera gets its ACK before the packet's type is looked at.
    VELTRA_writeUSB1Byte(pHwDevExt, CAM_PACKET_ACK);
    if (!is_data_packet(packet->PacketType)) {
      DubugMsg(4, "** VELTRA_GetVarLenReceive() Illegal Packet Type!! Type=%x\n", packet->PacketType);
      return 0;
    }
    *pTotal = add_count(*pTotal, packet->Length);
  }
  DubugMsg(4, "** VELTRA_GetVarLenReceive() Received ETX\n");
  return 0;
}

// The wait limit of the exchange in progress: the camera command's reply
// limit, or outside a command (the transfer thread's exchanges) the stream's.
PLARGE_INTEGER exchange_limit(PHW_DEVICE_EXTENSION pHwDevExt, PLARGE_INTEGER pLimit) {
  pLimit->QuadPart = pHwDevExt->CommandReplyLimit != 0 ? pHwDevExt->CommandReplyLimit : CAM_STREAM_REPLY_LIMIT;
  return pLimit;
}

// Ends a transfer that its time limit gave up on, and returns once its
// completion has run (signalling pDone): the completion writes into the
// waiting caller's records. Resets the camera's port: the bus ends every
// pending transfer as cancelled, this one included, and the camera restarts its
// USB interface, dropping a reply it still has in hand, so that a late answer
// is not taken for the reply of the next command (a pipe reset clears the
// endpoint's halt, which a camera need not take as the end of its reply).
// Nothing else is pending: one exchange runs at a time (a camera command
// stops the transfer thread first). The reset is repeated while the completion does not come (a reset
// that failed). Passive level; blocks.
VOID end_timed_out_transfer(PHW_DEVICE_EXTENSION pHwDevExt, PKEVENT pDone) {
  LARGE_INTEGER retry;
  retry.QuadPart = kEndTransferRetry;
  do {
    (void)QRNUSB_ResetPort(pHwDevExt->pRealPhysicalDeviceObject);
  } while (KeWaitForSingleObject(pDone, Executive, KernelMode, FALSE, &retry) == STATUS_TIMEOUT);
}

} // namespace

ULONG USBSyncRead(PHW_DEVICE_EXTENSION pHwDevExt, PVOID Buffer, ULONG Length) {
  USB_READ_CONTEXT context;
  context.BytesRead = 0;
  context.Status = STATUS_SUCCESS;
  KeInitializeEvent(&context.Event, NotificationEvent, FALSE);
  KeResetEvent(&context.Event);

  const NTSTATUS status = QRNUSB_ReadWrite(pHwDevExt->pRealPhysicalDeviceObject, Buffer, Length,
                                           kDirectionRead, in_pipe(pHwDevExt), USBreadComplete, &context);
  if (status != STATUS_PENDING && status != STATUS_SUCCESS) {
    // The callback has already run: nothing is left to wait for.
    DubugMsg(3, "USBSyncRead Read Error =%0X\n", status);
    return 0;
  }
  LARGE_INTEGER limit;
  const NTSTATUS wait =
      KeWaitForSingleObject(&context.Event, Executive, KernelMode, FALSE, exchange_limit(pHwDevExt, &limit));
  if (wait == STATUS_TIMEOUT) {
    // The camera did not answer in time: a lost reply, a silent camera, or a
    // command (or an ACK) that never reached it.
    DubugMsg(2, "USBSyncRead Reply Timeout\n");
    end_timed_out_transfer(pHwDevExt, &context.Event);
  }
  DubugMsg(3, "USBSyncRead Complete Status=%0X ReadLen=%d ReadData[0]=%x\n", context.Status,
           context.BytesRead, static_cast<PUCHAR>(Buffer)[0]);
  // A reply that came as the limit passed is dropped with the rest of the
  // exchange: the reset may have cut off what followed it.
  if (wait == STATUS_TIMEOUT || !NT_SUCCESS(wait) || !NT_SUCCESS(context.Status))
    return 0;
  return context.BytesRead;
}

NTSTATUS USBreadComplete(PVOID Context, ULONG BytesMoved, NTSTATUS Status) {
  auto *context = static_cast<PUSB_READ_CONTEXT>(Context);
  context->BytesRead = BytesMoved;
  context->Status = Status;
  KeSetEvent(&context->Event, 0, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS USBSyncWrite(PHW_DEVICE_EXTENSION pHwDevExt) {
  if (pHwDevExt->SendLength == 0)
    return STATUS_SUCCESS;
  KeInitializeEvent(&pHwDevExt->WriteDoneEvent, NotificationEvent, FALSE);
  DubugMsg(3, "USBSyncWrite %dBytes SendData[0]=%x\n", pHwDevExt->SendLength, pHwDevExt->SendBuffer[0]);
  QRNUSB_ReadWrite(pHwDevExt->pRealPhysicalDeviceObject, pHwDevExt->SendBuffer, pHwDevExt->SendLength,
                   kDirectionWrite, out_pipe(pHwDevExt), USBwriteComplete, pHwDevExt);
  // The callback runs exactly once whatever QRNUSB_ReadWrite returned; inside
  // a camera command the wait is bounded, and the transfer then ended.
  LARGE_INTEGER limit;
  const NTSTATUS wait = KeWaitForSingleObject(&pHwDevExt->WriteDoneEvent, Executive, KernelMode, FALSE,
                                              exchange_limit(pHwDevExt, &limit));
  if (wait == STATUS_TIMEOUT) {
    DubugMsg(2, "USBSyncWrite Send Timeout\n");
    end_timed_out_transfer(pHwDevExt, &pHwDevExt->WriteDoneEvent);
  }
  DubugMsg(3, "USBSyncWrite::Complete.status = %0X\n", pHwDevExt->WriteStatus);
  return wait;
}

NTSTATUS USBwriteComplete(PVOID Context, ULONG BytesMoved, NTSTATUS Status) {
  (void)BytesMoved;
  auto *pHwDevExt = static_cast<PHW_DEVICE_EXTENSION>(Context);
  DubugMsg(3, "USBwriteComplete Status=%X\n", Status);
  if (Status < 0)
    DubugMsg(3, "USBwriteComplete::ERROR=%Xh\n", Status);
  pHwDevExt->WriteStatus = Status;
  KeSetEvent(&pHwDevExt->WriteDoneEvent, 0, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS VELTRA_writeUSB(PHW_DEVICE_EXTENSION pHwDevExt, PAPI_COMMAND pApiCommand) {
  if (!VELTRA_CreateAPItoCAMPacket(pApiCommand, pHwDevExt->SendBuffer, &pHwDevExt->SendLength)) {
    DubugMsg(3, "Fail to VELTRA_CreateAPItoCAMPacket\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return USBSyncWrite(pHwDevExt);
}

NTSTATUS VELTRA_writeUSB1Byte(PHW_DEVICE_EXTENSION pHwDevExt, UCHAR Byte) {
  pHwDevExt->SendLength = 1;
  pHwDevExt->SendBuffer[0] = Byte;
  return USBSyncWrite(pHwDevExt);
}

ULONG VELTRA_ReceiveCAMPacket(PHW_DEVICE_EXTENSION pHwDevExt, ULONG VerifyChecksum, PCAM_PACKET pCamPacket) {
  const ULONG count = USBSyncRead(pHwDevExt, pHwDevExt->RecvBuffer, CAM_BUFFER_SIZE);
  if (count == 0) {
    DubugMsg(4, "## VELTRA_ReceiveCAMPacket() Can't Read ERROR!!\n");
    return 0;
  }
  // One bulk read is one packet: the camera sends each packet as one transfer.
  return VELTRA_ParseCAMtoAPIPacket(pHwDevExt->RecvBuffer, count, VerifyChecksum, pCamPacket);
}

// The count goes to a local first and to *pReceived on every way out, so that
// the caller's count is never half-way.
ULONG VELTRA_GetVarLenReceive(PHW_DEVICE_EXTENSION pHwDevExt, ULONG VerifyChecksum, PUCHAR Destination,
                              ULONG Capacity, PULONG pReceived) {
  PCAM_PACKET packet = &pHwDevExt->CamPacket;
  ULONG total = 0;
  ULONG result = 0;
  DubugMsg(4, "## Enter VELTRA_GetVarLenReceive() BufferSize = %d\n", Capacity);
  for (;;) {
    if (!VELTRA_ReceiveCAMPacket(pHwDevExt, VerifyChecksum, packet)) {
      DubugMsg(4, "## VELTRA_GetVarLenReceive() Receive ERROR!!\n");
      break;
    }
    if (!is_data_packet(packet->PacketType)) {
      DubugMsg(4, "## VELTRA_GetVarLenReceive() Illegal Packet Type ERROR!! Type=%x\n", packet->PacketType);
      break;
    }
    DubugMsg(4, "## VELTRA_GetVarLenReceive() Received %d Bytes (%d/%d) PacketType=%x.\n", packet->Length,
             total + packet->Length, Capacity, packet->PacketType);
    // Compared as a subtraction so that no sum can wrap past the capacity.
    if (packet->Length > Capacity - total) {
      total = add_count(total, packet->Length);
      result = drain_reply(pHwDevExt, VerifyChecksum, &total);
      break;
    }
    if (packet->Length > 0)
      std::memcpy(Destination + total, packet->Data, packet->Length);
    total += packet->Length;
    VELTRA_writeUSB1Byte(pHwDevExt, CAM_PACKET_ACK);
    if (packet->PacketType == CAM_PACKET_ETX) {
      result = 1;
      break;
    }
  }
  if (pReceived != NULL)
    *pReceived = total;
  return result;
}
