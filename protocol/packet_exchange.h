// The packet exchange: blocking sends and receives of camera packets over the
// bulk pipes, built on the asynchronous bulk transfers of the USB transport.
// Every call blocks its caller until its transfer has ended, so it may only be
// called at passive level where waiting is allowed: the transfer thread, or a
// camera control that stopped it. The transfer thread's waits have no time
// limit (the bus ends every pending transfer on removal, a pipe or a port
// reset); a camera command's wait at most the device extension's
// CommandReplyLimit per transfer, after which the transfer is ended with a port
// reset and counts as failed. At most one exchange runs at a time per device:
// the send record, RecvBuffer and CamPacket of the device extension are single.
#pragma once

#include "adapter/adapter.h"
#include "platform/kernel/ntdef.h"
#include "protocol/packet.h"

// The read's completion context: lives on the stack of USBSyncRead while its
// transfer runs.
struct USB_READ_CONTEXT {
  KEVENT Event;    // notification: set by USBreadComplete
  ULONG BytesRead; // bytes moved, as the completion reported them
  NTSTATUS Status; // the transfer's status, as the completion reported it
};
using PUSB_READ_CONTEXT = USB_READ_CONTEXT *;

// Reads one bulk IN transfer of Length bytes into Buffer and waits for it, at
// most CommandReplyLimit when that is set. Returns the bytes read; 0 when the
// read could not be handed over, ended with a negative status, moved nothing,
// or outlasted the limit (logged at level 2; the port is reset, which ends the
// read and drops the camera's reply in progress, and the call returns once the
// read's completion has run). Passive level; blocks.
ULONG USBSyncRead(PHW_DEVICE_EXTENSION pHwDevExt, PVOID Buffer, ULONG Length);

// Completion callback of USBSyncRead's transfer: stores the count and the
// status in the USB_READ_CONTEXT and sets its event. Any context, dispatch
// level included; does not wait.
NTSTATUS USBreadComplete(PVOID Context, ULONG BytesMoved, NTSTATUS Status);

// Sends SendLength bytes of SendBuffer on the bulk OUT pipe and waits for the
// transfer to end; the send record is the device extension's SendBuffer,
// SendLength, WriteDoneEvent and WriteStatus. With SendLength 0 nothing is
// sent and STATUS_SUCCESS returned. Waits at most CommandReplyLimit when that
// is set; a write that outlasts it is logged at level 2 and ended with a port
// reset, and the call returns once its completion has run. Returns the wait's
// status (STATUS_TIMEOUT for such a write); the transfer's own status goes to
// WriteStatus. Passive level; blocks.
NTSTATUS USBSyncWrite(PHW_DEVICE_EXTENSION pHwDevExt);

// Completion callback of USBSyncWrite's transfer (context: the device
// extension, whose send record it completes): logs, stores the status in
// WriteStatus and sets WriteDoneEvent. Any context; does not wait.
NTSTATUS USBwriteComplete(PVOID Context, ULONG BytesMoved, NTSTATUS Status);

// Builds the command of pApiCommand into the send record and sends it.
// STATUS_INSUFFICIENT_RESOURCES when no packet could be built, else the
// result of USBSyncWrite. Passive level; blocks.
NTSTATUS VELTRA_writeUSB(PHW_DEVICE_EXTENSION pHwDevExt, PAPI_COMMAND pApiCommand);

// Sends one control byte (the host only ever sends ACK, 0x06); overwrites the
// send record. Returns the result of USBSyncWrite. Passive level; blocks.
NTSTATUS VELTRA_writeUSB1Byte(PHW_DEVICE_EXTENSION pHwDevExt, UCHAR Byte);

// Reads one packet (one bulk IN transfer of up to CAM_BUFFER_SIZE bytes into
// RecvBuffer) and parses it into pCamPacket. 1 when a packet was read and
// accepted, else 0. Passive level; blocks.
ULONG VELTRA_ReceiveCAMPacket(PHW_DEVICE_EXTENSION pHwDevExt, ULONG VerifyChecksum, PCAM_PACKET pCamPacket);

// Receives a reply of STX data packets ending with an ETX packet into
// Destination (Capacity bytes), acknowledging every data packet received. 1
// when the whole reply fitted; 0 when a packet is missing or of another type
// (no ACK for it), or when the reply overflowed (it is then read to its end,
// every packet acknowledged; Destination keeps what fitted). *pReceived (when
// not NULL) gets the data bytes of the reply's packets read, those past the
// capacity included: with 1 the bytes in Destination; with 0 more than
// Capacity exactly when the reply overflowed. Parses into the device
// extension's CamPacket. Passive level; blocks.
ULONG VELTRA_GetVarLenReceive(PHW_DEVICE_EXTENSION pHwDevExt, ULONG VerifyChecksum, PUCHAR Destination,
                              ULONG Capacity, PULONG pReceived);
