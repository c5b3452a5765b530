// The transfer thread: from stream open to close it asks the camera for a
// picture, fetches it and hands it to the oldest waiting read request, cycle
// after cycle, without pause. Started and stopped by stream open and close, and
// around the camera controls' own exchanges.
//
// The thread's life: VELTRA_StartTransferThread creates it and keeps a
// reference to its thread object (pTransferThread) until VELTRA_StopTransferThread
// has waited for that object, which is signalled when the routine has returned.
// So the stream record outlives the thread however the thread ended: stopped,
// or given up on its own after a device error.
#include <atomic>

#include "capture/capture.h"
#include "controls/controls.h"
#include "diag/debug_msg.h"
#include "protocol/picture_commands.h"
#include "stream/stream.h"

namespace {

// The stop request: set by the stopper or by the thread itself, cleared by the
// thread when it starts, read by the thread after each cycle.
std::atomic_ref<BOOLEAN> CaptureStopFlag(PSTREAMEX pStrmEx) {
  return std::atomic_ref<BOOLEAN>(pStrmEx->bStopTransferThread);
}

// A picture of PictureSize bytes, all the camera sent, is in PictureBuffer: it
// becomes the frame of the oldest waiting read request, which is completed, or
// it is dropped when no request waits. Transfer thread.
VOID CaptureDeliverPicture(PSTREAMEX pStrmEx, ULONG PictureSize) {
  PHW_DEVICE_EXTENSION pHwDevExt = pStrmEx->pHwDevExt;
  PHW_STREAM_REQUEST_BLOCK pSrb;

  DubugMsg(4, "VELTRA_PictureBufferAddr Complete\n");
  pSrb = QueueRemoveSRB(pHwDevExt, pStrmEx->StreamNumber);
  if (pSrb == NULL) {
    DubugMsg(4, "SRB_READ_DATA is not Queued, Dispose Picture\n");
    return;
  }
  VELTRA_ProcessFrame(pSrb, pHwDevExt->PictureBuffer, PictureSize);
  CompleteStreamSRB(pSrb);
  DubugMsg(4, "VELTRA_PictureBufferAddr Complete SRB %X\n", pSrb);
}

// The camera gave no picture size: the device has failed. The failed fetch is
// counted, the oldest two waiting reads are failed with STATUS_IO_DEVICE_ERROR
// and the thread gives up (sets the stop flag). A size exchange that a stop
// ended (its transfers cancelled by a pipe reset, see
// VELTRA_WaitEndingStalledTransfers) is no device error: nothing is counted and
// the waiting reads stay queued for the next thread or for the close.
// Transfer thread.
VOID CaptureSizeFailure(PSTREAMEX pStrmEx) {
  PHW_DEVICE_EXTENSION pHwDevExt = pStrmEx->pHwDevExt;
  const BOOLEAN bStopping = CaptureStopFlag(pStrmEx).load();

  if (!bStopping) {
    CaptureCountRefusal(pStrmEx, VELTRA_REFUSAL_FETCH_FAILED, 0);
    StreamSRBComplete(QueueRemoveSRB(pHwDevExt, pStrmEx->StreamNumber), STATUS_IO_DEVICE_ERROR);
  }
  DubugMsg(4, "VELTRA_PictureSizeAddr Fail to Receive PictureSize\n");
  CaptureStopFlag(pStrmEx).store(TRUE);
  if (!bStopping)
    StreamSRBComplete(QueueRemoveSRB(pHwDevExt, pStrmEx->StreamNumber), STATUS_IO_DEVICE_ERROR);
}

// The picture announced with PictureSize bytes was not fetched (Received: the
// bytes the camera sent of it): it is counted by why. A fetch that a stop ended
// is not the camera's failure and is not counted. Transfer thread.
VOID CaptureFetchFailure(PSTREAMEX pStrmEx, ULONG PictureSize, ULONG Received) {
  DubugMsg(4, "**VELTRA_PictureBufferAddr Fail to Receive Picture\n");
  if (PictureSize > CAM_BUFFER_SIZE)
    CaptureCountRefusal(pStrmEx, VELTRA_REFUSAL_TOO_LARGE, PictureSize);
  else if (Received > PictureSize)
    CaptureCountRefusal(pStrmEx, VELTRA_REFUSAL_LONGER_THAN_ANNOUNCED, PictureSize);
  else if (!CaptureStopFlag(pStrmEx).load())
    CaptureCountRefusal(pStrmEx, VELTRA_REFUSAL_FETCH_FAILED, PictureSize);
}

// One cycle: picture size, picture fetch into PictureBuffer, delivery of the
// bytes the camera sent (fewer than announced when the picture came short: the
// rest of the buffer holds an earlier picture). A failed fetch is counted; the
// next cycle asks for a new picture. Transfer thread; blocks on the camera.
VOID CaptureTransferCycle(PSTREAMEX pStrmEx) {
  PHW_DEVICE_EXTENSION pHwDevExt = pStrmEx->pHwDevExt;
  ULONG PictureSize = VELTRA_PictureSizeAddr(pHwDevExt);
  ULONG Received = 0;

  if (PictureSize == 0) {
    CaptureSizeFailure(pStrmEx);
    return;
  }
  // A picture's packets follow one another without waiting for the camera's
  // next picture: each may take only a command reply's time.
  pHwDevExt->CommandReplyLimit = CAM_REPLY_LIMIT;
  const ULONG Fetched = VELTRA_PictureBufferAddr(pHwDevExt, pHwDevExt->PictureBuffer, PictureSize, &Received);
  pHwDevExt->CommandReplyLimit = 0;
  if (Fetched == 1)
    CaptureDeliverPicture(pStrmEx, Received);
  else
    CaptureFetchFailure(pStrmEx, PictureSize, Received);
}

} // namespace

// Creates the thread, keeps a reference to its object and waits until it runs.
// Passive level; blocks until the thread has set ThreadStartEvent.
NTSTATUS VELTRA_StartTransferThread(PSTREAMEX pStrmEx) {
  HANDLE hThread = NULL;
  PVOID pThread = NULL;
  NTSTATUS Status;

  if (pStrmEx->pTransferThread != NULL)
    return STATUS_SUCCESS; // started and not stopped: one thread per stream
  KeResetEvent(&pStrmEx->ThreadStartEvent);
  KeResetEvent(&pStrmEx->ThreadStopEvent);
  Status = PsCreateSystemThread(&hThread, 0, NULL, NULL, NULL, VELTRA_ProcessTransferThread, pStrmEx);
  if (!NT_SUCCESS(Status)) {
    DubugMsg(3, "VELTRA_StartTransferThread Creation Failed\n");
    return Status;
  }
  Status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, NULL, KernelMode, &pThread, NULL);
  ZwClose(hThread);
  if (!NT_SUCCESS(Status)) {
    // A thread that cannot be waited for by its object is stopped at once; it
    // touches the stream no more once it has set ThreadStopEvent.
    (void)KeWaitForSingleObject(&pStrmEx->ThreadStartEvent, Executive, KernelMode, FALSE, NULL);
    CaptureStopFlag(pStrmEx).store(TRUE);
    (void)VELTRA_WaitEndingStalledTransfers(pStrmEx->pHwDevExt, &pStrmEx->ThreadStopEvent);
    return Status;
  }
  pStrmEx->pTransferThread = (PKTHREAD)pThread;
  return KeWaitForSingleObject(&pStrmEx->ThreadStartEvent, Executive, KernelMode, FALSE, NULL);
}

// The thread's routine (start context: the stream extension). Cycles until the
// stop flag is set, by a stop request or by a size failure. Its own system
// thread at priority 16; passive level; blocks on the camera.
VOID VELTRA_ProcessTransferThread(PVOID StartContext) {
  PSTREAMEX pStrmEx = (PSTREAMEX)StartContext;

  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  DubugMsg(1, "VELTRA_ProcessTransferThread Started\n");
  CaptureStopFlag(pStrmEx).store(FALSE);
  KeSetEvent(&pStrmEx->ThreadStartEvent, 0, FALSE);

  do {
    CaptureTransferCycle(pStrmEx);
  } while (!CaptureStopFlag(pStrmEx).load());

  DubugMsg(1, "VELTRA_ProcessTransferThread Stopped\n");
  KeSetEvent(&pStrmEx->ThreadStopEvent, 0, FALSE);
}

// Sets the stop flag and waits for the thread object (its routine has returned),
// ending stalled camera transfers if the current cycle does not end by itself.
// A thread that gave up on its own is waited for the same way. Passive level;
// blocks.
BOOLEAN VELTRA_StopTransferThread(PSTREAMEX pStrmEx) {
  PKTHREAD pThread = pStrmEx->pTransferThread;
  NTSTATUS Status;

  if (pThread == NULL)
    return TRUE; // no thread: never started, creation failed, or stopped already
  CaptureStopFlag(pStrmEx).store(TRUE);
  Status = VELTRA_WaitEndingStalledTransfers(pStrmEx->pHwDevExt, pThread);
  if (Status != STATUS_SUCCESS)
    return FALSE;
  ObDereferenceObject(pThread);
  pStrmEx->pTransferThread = NULL;
  return TRUE;
}
