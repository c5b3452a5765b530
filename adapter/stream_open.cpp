// Stream open and close: SRB_OPEN_STREAM checks and stores the requested format,
// sets up the stream extension and the stream object and starts the transfer
// thread; SRB_CLOSE_STREAM cancels the waiting reads, stops the thread and frees
// the format copies. Both run in the adapter dispatch, one at a time.
#include <atomic>

#include "adapter/adapter.h"
#include "capture/capture.h"
#include "diag/debug_msg.h"
#include "platform/streamclass/ks_guids.h"
#include "stream/stream.h"

namespace {

// pStrmEx[n] is read without a lock by the adapter's cancel entry and the camera
// controls, so it is published and cleared atomically.
VOID AdapterPublishStream(PHW_DEVICE_EXTENSION pHwDevExt, ULONG StreamNumber, PSTREAMEX pStrmEx) {
  std::atomic_ref<PSTREAMEX>(pHwDevExt->pStrmEx[StreamNumber]).store(pStrmEx, std::memory_order_release);
}

// The stored format's video info header, copied whole (its bitmap header is
// biSize bytes; format storage has checked that the copy holds all of it) into
// non-paged pool as pVideoInfoHeader, and logged. STATUS_INSUFFICIENT_RESOURCES
// when pool is short. Open only, before the thread runs; passive level.
NTSTATUS AdapterCopyVideoInfoHeader(PSTREAMEX pStrmEx) {
  const KS_VIDEOINFOHEADER *pHeader =
      &((PKS_DATAFORMAT_VIDEOINFOHEADER)pStrmEx->pKSDataFormat)->VideoInfoHeader;
  const SIZE_T Size = KS_SIZE_VIDEOHEADER(pHeader);
  PKS_VIDEOINFOHEADER pCopy = (PKS_VIDEOINFOHEADER)ExAllocatePoolWithTag(NonPagedPool, Size, PoolTag("Wdm "));

  if (pCopy == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  DubugMsg(3, "VIDEOINFOHEADER: rcSource = (%d,%d) - (%d,%d)\n", pHeader->rcSource.left,
           pHeader->rcSource.top, pHeader->rcSource.right, pHeader->rcSource.bottom);
  DubugMsg(3, "VIDEOINFOHEADER: rcTarget = (%d,%d) - (%d,%d)\n", pHeader->rcTarget.left,
           pHeader->rcTarget.top, pHeader->rcTarget.right, pHeader->rcTarget.bottom);
  DubugMsg(3, "VIDEOINFOHEADER: biWidth,Height = %d, %d\n", pHeader->bmiHeader.biWidth,
           pHeader->bmiHeader.biHeight);
  RtlCopyMemory(pCopy, pHeader, Size);
  pStrmEx->pVideoInfoHeader = pCopy;
  return STATUS_SUCCESS;
}

// Sets the stream object up: the stream's two entry points, programmed I/O, the
// media-specific header behind each stream header (a KS_FRAME_INFO for video
// info formats), no workspace and no clock of its own.
VOID AdapterSetupStreamObject(PHW_STREAM_OBJECT pStreamObject, BOOLEAN bVideoInfo) {
  pStreamObject->ReceiveDataPacket = StreamReceiveDataPacket;
  pStreamObject->ReceiveControlPacket = StreamReceiveCtrlPacket;
  pStreamObject->Dma = FALSE;
  pStreamObject->Pio = TRUE;
  pStreamObject->StreamHeaderMediaSpecific = bVideoInfo ? sizeof(KS_FRAME_INFO) : 0;
  pStreamObject->StreamHeaderWorkspace = 0;
  pStreamObject->HwClockObject.HwClockFunction = NULL;
  pStreamObject->HwClockObject.ClockSupportFlags = 0;
}

// Fills the stream extension of a stream being opened (the format fields are
// set already) and prepares the thread's events.
VOID AdapterSetupStreamExtension(PSTREAMEX pStrmEx, PHW_DEVICE_EXTENSION pHwDevExt,
                                 PHW_STREAM_OBJECT pStreamObject) {
  pStrmEx->pHwDevExt = pHwDevExt;
  pStrmEx->pStreamObject = pStreamObject;
  pStrmEx->FrameInfo.PictureNumber = 0;
  pStrmEx->FrameInfo.DropCount = 0;
  pStrmEx->FrameInfo.dwFrameFlags = 0;
  pStrmEx->StreamNumber = pStreamObject->StreamNumber;
  pStrmEx->FrameCount = 0;
  KeInitializeEvent(&pStrmEx->ThreadStopEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pStrmEx->ThreadStartEvent, SynchronizationEvent, FALSE);
}

// The checks of an open, in order: stream number, format verification, format
// storage (which leaves pKSDataFormat and AvgTimePerFrame set), stream not open
// yet. Each failure is logged (the last one is not) and leaves no format copy
// behind. STATUS_SUCCESS when the open may go on.
NTSTATUS AdapterCheckOpen(PHW_STREAM_REQUEST_BLOCK pSrb, PSTREAMEX pStrmEx, ULONG StreamNumber) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  if (StreamNumber >= ADAPTER_STREAM_COUNT) {
    DubugMsg(3, "Invalid StreamNumber\n");
    return STATUS_INVALID_PARAMETER;
  }
  if (!AdapterVerifyFormat(pSrb->CommandData.OpenFormat, StreamNumber)) {
    DubugMsg(3, "AdapterVerifyFormat Not Match\n");
    return STATUS_INVALID_PARAMETER;
  }
  if (!AdapterSetFormat(pSrb)) {
    DubugMsg(3, "AdapterSetFormat Error\n");
    // Format storage says why: pool short, or a format it cannot hold.
    return NT_SUCCESS(pSrb->Status) ? STATUS_INVALID_PARAMETER : pSrb->Status;
  }
  if (pHwDevExt->pStrmEx[StreamNumber] != NULL) {
    // Already open: the refused stream's own format copy goes again.
    StreamFreeFormats(pStrmEx);
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// Publishes the stream in the device extension and starts its transfer thread,
// under CameraLockEvent, so that a camera command (the zoom work item) finds the
// stream either closed or open with its thread running, never in between. On a
// failed start the stream is taken out again. STATUS_SUCCESS or the start's
// failure. Passive level; blocks until the thread runs.
NTSTATUS AdapterStartStream(PHW_DEVICE_EXTENSION pHwDevExt, PSTREAMEX pStrmEx) {
  NTSTATUS Status;

  (void)VELTRA_WaitEndingStalledTransfers(pHwDevExt, &pHwDevExt->CameraLockEvent);
  AdapterPublishStream(pHwDevExt, pStrmEx->StreamNumber, pStrmEx);
  Status = VELTRA_StartTransferThread(pStrmEx);
  if (!NT_SUCCESS(Status))
    AdapterPublishStream(pHwDevExt, pStrmEx->StreamNumber, NULL);
  KeSetEvent(&pHwDevExt->CameraLockEvent, 0, FALSE);
  return NT_SUCCESS(Status) ? STATUS_SUCCESS : Status;
}

} // namespace

// SRB_OPEN_STREAM. A refused open leaves pStrmEx and any open stream as they
// were and no pool behind; so does a failure to copy the video info header or to
// create the transfer thread (STATUS_INSUFFICIENT_RESOURCES), since a stream
// without its thread would never deliver a frame. The stream is published and
// its thread started under CameraLockEvent. TRUE; the outcome is in Status.
// Adapter dispatch; passive level; blocks until the thread runs.
BOOLEAN AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_STREAM_OBJECT pStreamObject = pSrb->StreamObject;
  PSTREAMEX pStrmEx;
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber;
  BOOLEAN bVideoInfo;
  NTSTATUS Status;

  if (pStreamObject == NULL || pStreamObject->HwStreamExtension == NULL) {
    pSrb->Status = STATUS_INVALID_PARAMETER; // no stream to open
    return TRUE;
  }
  pStrmEx = (PSTREAMEX)pStreamObject->HwStreamExtension;
  StreamNumber = pStreamObject->StreamNumber;
  RtlZeroMemory(pStrmEx, sizeof(STREAMEX));
  Status = AdapterCheckOpen(pSrb, pStrmEx, StreamNumber);
  if (!NT_SUCCESS(Status))
    goto done;

  bVideoInfo = IsEqualGUID(pStrmEx->pKSDataFormat->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
  if (bVideoInfo) {
    Status = AdapterCopyVideoInfoHeader(pStrmEx);
    if (!NT_SUCCESS(Status))
      goto free_formats;
  }
  AdapterSetupStreamObject(pStreamObject, bVideoInfo);
  AdapterSetupStreamExtension(pStrmEx, pHwDevExt, pStreamObject);

  Status = AdapterStartStream(pHwDevExt, pStrmEx);
  if (!NT_SUCCESS(Status))
    goto free_formats;
  goto done;

free_formats:
  StreamFreeFormats(pStrmEx);
done:
  pSrb->Status = Status;
  return TRUE;
}

// SRB_CLOSE_STREAM: the waiting reads are completed as cancelled first, then the
// stream is taken out of the device extension and the transfer thread stopped,
// and only then are the format copies (which the thread reads) freed. Stopping
// happens under CameraLockEvent: a camera command under way finishes first (and
// restarts the thread it stopped), and a later one finds the stream closed. Both
// waits end a camera exchange that the camera leaves unanswered (see
// VELTRA_WaitEndingStalledTransfers). TRUE with STATUS_SUCCESS (a request without
// a stream object: STATUS_INVALID_PARAMETER). Adapter dispatch; passive level;
// blocks until the thread has returned.
BOOLEAN AdapterCloseStream(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx;
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber;

  if (pSrb->StreamObject == NULL || pSrb->StreamObject->HwStreamExtension == NULL) {
    pSrb->Status = STATUS_INVALID_PARAMETER; // no stream to close
    return TRUE;
  }
  pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  StreamNumber = pSrb->StreamObject->StreamNumber;
  DubugMsg(3, "AdapterCloseStream 0x%08X\n", StreamNumber);
  if (StreamNumber >= ADAPTER_STREAM_COUNT)
    return TRUE; // no such stream was ever opened

  if (std::atomic_ref<LONG>(pHwDevExt->StreamSRBListSize[StreamNumber]).load() > 0)
    QueueCancelAllSRBs(pStrmEx);

  (void)VELTRA_WaitEndingStalledTransfers(pHwDevExt, &pHwDevExt->CameraLockEvent);
  if (pHwDevExt->pStrmEx[StreamNumber] == pStrmEx)
    AdapterPublishStream(pHwDevExt, StreamNumber, NULL);
  std::atomic_ref<HANDLE>(pStrmEx->hMasterClock).store(NULL, std::memory_order_release);
  std::atomic_ref<KSSTATE>(pStrmEx->KSState).store(KSSTATE_STOP, std::memory_order_release);
  (void)VELTRA_StopTransferThread(pStrmEx);
  KeSetEvent(&pHwDevExt->CameraLockEvent, 0, FALSE);

  StreamFreeFormats(pStrmEx);
  return TRUE;
}
