// The zoom and focus commands: the camera side of the two camera controls. The
// camera has one command channel, which the transfer thread uses without pause
// while the stream is open, so every command takes the camera in the same
// frame: the camera lock, the transfer thread stopped, one exchange, the thread
// started again, the lock released.
#include <atomic>

#include "capture/capture.h"
#include "controls/controls.h"
#include "diag/debug_msg.h"
#include "protocol/packet_exchange.h"
#include "protocol/packet_format.h"
#include "stream/stream_tables.h"

namespace {

// Command types of the control commands.
constexpr UCHAR kTypeOneByte = 2;   // one argument byte
constexpr UCHAR kTypeDataBlock = 3; // DataLength and Data
constexpr UCHAR kTypeRead = 4;      // a read request without argument

// The one stream of the adapter, whose transfer thread the commands stop.
constexpr ULONG kStream = 0;

// The open stream, or NULL. Stream open and close publish it under
// CameraLockEvent, which the caller holds.
PSTREAMEX ControlsOpenStream(PHW_DEVICE_EXTENSION pHwDevExt) {
  return std::atomic_ref<PSTREAMEX>(pHwDevExt->pStrmEx[kStream]).load(std::memory_order_acquire);
}

// Takes the camera for one command: waits for CameraLockEvent without a limit,
// then stops the transfer thread if it runs. TRUE when the camera is free for
// the exchange, whose transfers are then bounded by CAM_REPLY_LIMIT; FALSE when
// a running thread could not be stopped (the caller skips its exchange, and
// still releases the camera). Passive level; blocks.
BOOLEAN ControlsTakeCamera(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pSavedTransferMode) {
  PSTREAMEX pStrmEx;

  (void)KeWaitForSingleObject(&pHwDevExt->CameraLockEvent, Executive, KernelMode, FALSE, NULL);
  KeClearEvent(&pHwDevExt->CameraLockEvent);
  VELTRA_PushStopTransferMode(pHwDevExt, pSavedTransferMode);
  pStrmEx = ControlsOpenStream(pHwDevExt);
  if (pStrmEx != NULL && pStrmEx->pTransferThread != NULL)
    return FALSE;
  pHwDevExt->CommandReplyLimit = CAM_REPLY_LIMIT;
  return TRUE;
}

// Ends the command's hold on the camera's transfers: the command's limit goes
// (the transfer thread's exchanges have the stream's), then the thread
// the command stopped starts again. Under CameraLockEvent; passive level;
// blocks until the thread runs.
VOID ControlsEndExchange(PHW_DEVICE_EXTENSION pHwDevExt, ULONG SavedTransferMode) {
  pHwDevExt->CommandReplyLimit = 0;
  VELTRA_PopStartTransferMode(pHwDevExt, SavedTransferMode);
}

// Gives the camera back: ends the exchange, then releases CameraLockEvent.
// Passive level; blocks until the thread runs.
VOID ControlsReleaseCamera(PHW_DEVICE_EXTENSION pHwDevExt, ULONG SavedTransferMode) {
  ControlsEndExchange(pHwDevExt, SavedTransferMode);
  KeSetEvent(&pHwDevExt->CameraLockEvent, 0, FALSE);
}

} // namespace

// Stops the open stream's transfer thread if it is started. Under CameraLockEvent.
VOID VELTRA_PushStopTransferMode(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pSavedTransferMode) {
  PSTREAMEX pStrmEx = ControlsOpenStream(pHwDevExt);

  *pSavedTransferMode = 0;
  if (pStrmEx != NULL && pStrmEx->pTransferThread != NULL) {
    *pSavedTransferMode = 1;
    (void)VELTRA_StopTransferThread(pStrmEx);
  }
}

// Restarts the thread the matching push stopped. The stream is looked up again:
// a stream that is no longer open gets no thread (under CameraLockEvent the close
// cannot come between push and pop; the check keeps it so whoever calls).
VOID VELTRA_PopStartTransferMode(PHW_DEVICE_EXTENSION pHwDevExt, ULONG SavedTransferMode) {
  PSTREAMEX pStrmEx = ControlsOpenStream(pHwDevExt);

  if (SavedTransferMode == 1 && pStrmEx != NULL)
    (void)VELTRA_StartTransferThread(pStrmEx);
}

// The set-zoom exchange. The write's result is not looked at: the reply decides.
BOOLEAN VELTRA_SetCamRelativeZoomAddr(PHW_DEVICE_EXTENSION pHwDevExt, LONG Value) {
  PAPI_COMMAND pCommand = &pHwDevExt->ApiCommand;
  const ULONG Zoom = (ULONG)Value;

  DubugMsg(4, "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (%X)\n", Value);
  pCommand->CommandType = kTypeDataBlock;
  pCommand->Address = CAM_RELATIVE_ZOOM_ADDR;
  pCommand->Argument.Block.DataLength = CAM_ZOOM_RECORD_SIZE;
  RtlZeroMemory(pCommand->Argument.Block.Data, CAM_ZOOM_RECORD_SIZE);
  for (ULONG i = 0; i < 4; i++)
    pCommand->Argument.Block.Data[i] = (UCHAR)(Zoom >> (8 * i));
  (void)VELTRA_writeUSB(pHwDevExt, pCommand);
  if (!VELTRA_ReceiveCAMPacket(pHwDevExt, 1, &pHwDevExt->CamPacket))
    return FALSE;
  return pHwDevExt->CamPacket.PacketType == CAM_PACKET_ACK;
}

// The get-zoom exchange. The record is zeroed first, so that a reply of fewer
// than four bytes gives the bytes that came, zero-extended, and never stale
// memory.
BOOLEAN VELTRA_GetCamRelativeZoomAddr(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pZoom) {
  PAPI_COMMAND pCommand = &pHwDevExt->ApiCommand;
  UCHAR Record[CAM_ZOOM_RECORD_SIZE];
  ULONG Zoom;

  RtlZeroMemory(Record, sizeof(Record));
  pCommand->CommandType = kTypeRead;
  pCommand->Address = CAM_RELATIVE_ZOOM_ADDR;
  (void)VELTRA_writeUSB(pHwDevExt, pCommand);
  if (VELTRA_GetVarLenReceive(pHwDevExt, 1, Record, sizeof(Record), NULL) != 1)
    return FALSE;
  Zoom = (ULONG)Record[0] | ((ULONG)Record[1] << 8) | ((ULONG)Record[2] << 16) | ((ULONG)Record[3] << 24);
  DubugMsg(4, "** CAM_RELATIVE_ZOOM_ADDR Received %d\n", Zoom);
  for (ULONG i = 0; i < CAM_ZOOM_RECORD_SIZE; i++)
    DubugMsg(4, "[%d] = %02x\n", i, Record[i]);
  *pZoom = Zoom;
  return TRUE;
}

// The auto-focus exchange: ACK when the camera starts focusing, ENQ when it is
// done. The second reply gets the longer limit of a focus run.
BOOLEAN VELTRA_SendOnetouchAfOpcode(PHW_DEVICE_EXTENSION pHwDevExt) {
  PAPI_COMMAND pCommand = &pHwDevExt->ApiCommand;
  PCAM_PACKET pPacket = &pHwDevExt->CamPacket;

  DubugMsg(4, "** Send CAM_ONETOUCH_AF_OPCODE\n");
  pCommand->CommandType = kTypeOneByte;
  pCommand->Address = CAM_ONETOUCH_AF_OPCODE;
  pCommand->Argument.Byte = 0;
  (void)VELTRA_writeUSB(pHwDevExt, pCommand);
  if (!VELTRA_ReceiveCAMPacket(pHwDevExt, 1, pPacket))
    return FALSE;
  DubugMsg(4, "** CAM_FOCUS_MODE_ADDR Received Type %X\n", pPacket->PacketType);
  if (pPacket->PacketType != CAM_PACKET_ACK)
    return FALSE;
  // The ENQ comes when the lens has focused, which takes longer than an answer.
  pHwDevExt->CommandReplyLimit = CAM_FOCUS_DONE_LIMIT;
  if (!VELTRA_ReceiveCAMPacket(pHwDevExt, 1, pPacket))
    return FALSE;
  DubugMsg(4, "** CAM_FOCUS_MODE_ADDR(2) Received Type %X\n", pPacket->PacketType);
  return pPacket->PacketType == CAM_PACKET_ENQ;
}

// A value outside 0..100 is refused before the camera is taken.
BOOLEAN VELTRA_SetZoomProperty(PHW_DEVICE_EXTENSION pHwDevExt, LONG Value) {
  ULONG SavedTransferMode;
  BOOLEAN bResult = FALSE;

  if (Value < 0 || Value > ZOOM_MAXIMUM)
    return FALSE;
  if (ControlsTakeCamera(pHwDevExt, &SavedTransferMode))
    bResult = VELTRA_SetCamRelativeZoomAddr(pHwDevExt, Value);
  ControlsReleaseCamera(pHwDevExt, SavedTransferMode);
  return bResult;
}

// A reading above 100 (compared unsigned) becomes the default zoom (50); the
// replacement is decided before the camera is released, as the frame has it.
// No reading is no zoom: nothing stands in for it.
BOOLEAN VELTRA_GetZoomProperty(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pValue) {
  ULONG SavedTransferMode;
  ULONG Zoom = 0;
  BOOLEAN bRead = FALSE;

  if (ControlsTakeCamera(pHwDevExt, &SavedTransferMode))
    bRead = VELTRA_GetCamRelativeZoomAddr(pHwDevExt, &Zoom);
  ControlsEndExchange(pHwDevExt, SavedTransferMode);
  if (bRead && Zoom > ZOOM_MAXIMUM) {
    Zoom = (ULONG)ZoomDefault;
    DubugMsg(3, "VELTRA_GetZoomProperty Modified %d\n", Zoom);
  }
  KeSetEvent(&pHwDevExt->CameraLockEvent, 0, FALSE);
  if (bRead)
    *pValue = Zoom;
  return bRead;
}

BOOLEAN VELTRA_SetFocusAuto(PHW_DEVICE_EXTENSION pHwDevExt) {
  ULONG SavedTransferMode;
  BOOLEAN bResult = FALSE;

  if (ControlsTakeCamera(pHwDevExt, &SavedTransferMode))
    bResult = VELTRA_SendOnetouchAfOpcode(pHwDevExt);
  ControlsReleaseCamera(pHwDevExt, SavedTransferMode);
  return bResult;
}
