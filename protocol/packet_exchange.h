// The packet exchange: blocking sends and receives of camera packets over the
// bulk pipes, built on the asynchronous bulk transfers of the USB transport.
// Every call blocks its caller until its transfer has ended, so it may only be
// called at passive level where waiting is allowed: the transfer thread, or a
// camera control that stopped it. Each transfer's wait is bounded: a camera
// command's and a picture's packets by the device extension's CommandReplyLimit,
// the transfer thread's size exchange by CAM_STREAM_REPLY_LIMIT; a transfer that outlasts its limit is ended with a
// port reset and counts as failed. At most one exchange runs at a time per device:
// the send record, RecvBuffer and CamPacket of the device extension are single.
#pragma once

#include "adapter/adapter.h"
#include "platform/kernel/ntdef.h"
#include "protocol/packet.h"

// The limit of each transfer outside a camera command and a picture's packets
// (the transfer thread's size exchange; 100 ns units, relative): 2 s. The
// camera answers the size command within one picture interval (cameras of at
// least one picture every 2 s), so a reply that has not come by then never will (a lost packet, an ACK that did
// not reach the camera, a camera that stopped answering): the port reset ends
// the wait and the camera's reply in progress, and the exchange fails as a
// device error instead of holding the stream for ever.
inline constexpr LONGLONG CAM_STREAM_REPLY_LIMIT = -20000000LL;

// The read's completion context: lives on the stack of USBSyncRead while its
// transfer runs.
struct USB_READ_CONTEXT {
  KEVENT Event;    // notification: set by USBreadComplete
  ULONG BytesRead; // bytes moved, as the completion reported them
  NTSTATUS Status; // the transfer's status, as the completion reported it
};
using PUSB_READ_CONTEXT = USB_READ_CONTEXT *;

// Reads one bulk IN transfer of Length bytes into Buffer and waits for it, at
// most the exchange's limit. Returns the bytes read; 0 when the
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
// sent and STATUS_SUCCESS returned. Waits at most the exchange's limit; a
// write that outlasts it is logged at level 2 and ended with a port
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
