// The read-request queue: empty frame buffers (SRB_READ_DATA) wait here, oldest
// first, until the transfer thread has a decoded picture for them, a cancel takes
// them, or stream close cancels them all. And the one completion path of every
// stream request.
//
// A queued request needs no memory of its own: it is linked through the I/O
// request packet that carries it (Tail.Overlay.ListEntry), whose
// Tail.Overlay.DriverContext[0] points back at the request. StreamSRBSpinLock[n]
// guards StreamSRBList[n] and StreamSRBListSize[n] together; the count is also
// read without the lock (for logs and the close-time test), so it is written and
// read atomically.
#include <atomic>

#include "diag/debug_msg.h"
#include "stream/stream.h"

// The stream's queued-request count, for reading outside the lock and for
// changing under it.
static std::atomic_ref<LONG> StreamQueueCount(PHW_DEVICE_EXTENSION pHwDevExt, ULONG StreamNumber) {
  return std::atomic_ref<LONG>(pHwDevExt->StreamSRBListSize[StreamNumber]);
}

// The request a queue link belongs to.
static PHW_STREAM_REQUEST_BLOCK QueueEntrySrb(PLIST_ENTRY pEntry) {
  return (PHW_STREAM_REQUEST_BLOCK)CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry)
      ->Tail.Overlay.DriverContext[0];
}

// Marks a read request cancelled, with no data, for its completion.
static VOID QueueMarkCancelled(PHW_STREAM_REQUEST_BLOCK pSrb) {
  if (pSrb->CommandData.DataBufferArray != NULL)
    pSrb->CommandData.DataBufferArray->DataUsed = 0;
  pSrb->Status = STATUS_CANCELLED;
}

// The stream's ReceiveDataPacket entry. A stopped stream takes no new reads; in
// the three other states a read waits in the queue (pending, its Status already
// STATUS_SUCCESS) and may be completed by another thread as soon as it is queued.
// Any thread; passive level.
VOID StreamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber = pSrb->StreamObject->StreamNumber;

  DubugMsg(4, "StreamReceiveDataPacket %08X %08X %08X\n", pSrb, StreamNumber,
           StreamQueueCount(pHwDevExt, StreamNumber).load(std::memory_order_relaxed));
  pSrb->Status = STATUS_SUCCESS;
  if (pSrb->Command != SRB_READ_DATA) {
    // Writes and anything else: the capture pin only produces data.
    pSrb->Status = STATUS_NOT_IMPLEMENTED;
    CompleteStreamSRB(pSrb);
    return;
  }

  DubugMsg(4, "SRB_READ_DATA %08x\n", pSrb);
  if (StreamGetState(pStrmEx) == KSSTATE_STOP) {
    DubugMsg(3, "BadState DataReqest\n");
    QueueMarkCancelled(pSrb);
    CompleteStreamSRB(pSrb);
    return;
  }
  QueueAddSRB(pSrb);
}

// Appends the request at the tail of its stream's queue. Allocates nothing and
// logs nothing. Any thread, IRQL <= DISPATCH_LEVEL.
VOID QueueAddSRB(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber = pSrb->StreamObject->StreamNumber;
  PIRP pIrp = pSrb->Irp;
  KIRQL Irql = KfAcquireSpinLock(&pHwDevExt->StreamSRBSpinLock[StreamNumber]);

  pIrp->Tail.Overlay.DriverContext[0] = pSrb;
  InsertTailList(&pHwDevExt->StreamSRBList[StreamNumber], &pIrp->Tail.Overlay.ListEntry);
  StreamQueueCount(pHwDevExt, StreamNumber).fetch_add(1, std::memory_order_relaxed);
  KfReleaseSpinLock(&pHwDevExt->StreamSRBSpinLock[StreamNumber], Irql);
}

// Unlinks the oldest queued request of the stream; NULL when the queue is empty.
// The test for empty and the unlink are one step under the lock. Any thread,
// IRQL <= DISPATCH_LEVEL.
static PHW_STREAM_REQUEST_BLOCK QueueUnlinkHead(PHW_DEVICE_EXTENSION pHwDevExt, ULONG StreamNumber,
                                                PLONG pCount) {
  PHW_STREAM_REQUEST_BLOCK pSrb = NULL;
  KIRQL Irql = KfAcquireSpinLock(&pHwDevExt->StreamSRBSpinLock[StreamNumber]);

  if (!IsListEmpty(&pHwDevExt->StreamSRBList[StreamNumber])) {
    pSrb = QueueEntrySrb(RemoveHeadList(&pHwDevExt->StreamSRBList[StreamNumber]));
    *pCount = StreamQueueCount(pHwDevExt, StreamNumber).fetch_sub(1, std::memory_order_relaxed) - 1;
  }
  KfReleaseSpinLock(&pHwDevExt->StreamSRBSpinLock[StreamNumber], Irql);
  return pSrb;
}

// Hands out the oldest queued read request, which then belongs to the caller (the
// transfer thread). Any thread, IRQL <= DISPATCH_LEVEL.
PHW_STREAM_REQUEST_BLOCK QueueRemoveSRB(PHW_DEVICE_EXTENSION pHwDevExt, ULONG StreamNumber) {
  LONG Count = 0;
  PHW_STREAM_REQUEST_BLOCK pSrb = QueueUnlinkHead(pHwDevExt, StreamNumber, &Count);

  if (pSrb != NULL)
    DubugMsg(4, "Remove Srb form Queue %08X \n", Count);
  return pSrb;
}

// Completes every queued read of the stream as cancelled, oldest first: each is
// unlinked under the lock and completed after it is released. Passive level.
VOID QueueCancelAllSRBs(PSTREAMEX pStrmEx) {
  PHW_DEVICE_EXTENSION pHwDevExt = pStrmEx->pHwDevExt;
  ULONG StreamNumber = pStrmEx->pStreamObject->StreamNumber;
  PHW_STREAM_REQUEST_BLOCK pSrb;
  LONG Count = 0;

  DubugMsg(3, "QueueCancelAllSRBs Called\n");
  while ((pSrb = QueueUnlinkHead(pHwDevExt, StreamNumber, &Count)) != NULL) {
    QueueMarkCancelled(pSrb);
    DubugMsg(3, "QueueCancelAllSRBs %08X\n", pSrb);
    CompleteStreamSRB(pSrb);
  }
}

// Cancels pSrb if it waits in the stream's queue: the first link whose back
// pointer is pSrb is unlinked under the lock, and the request is completed after
// it is released. A request that is not queued (handed out, completed, or never
// a read) is left alone: FALSE. Any thread; passive level.
BOOLEAN QueueCancelOneSRB(PSTREAMEX pStrmEx, PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = pStrmEx->pHwDevExt;
  ULONG StreamNumber = pStrmEx->pStreamObject->StreamNumber;
  PLIST_ENTRY pListHead = &pHwDevExt->StreamSRBList[StreamNumber];
  BOOLEAN bFound = FALSE;
  KIRQL Irql = KfAcquireSpinLock(&pHwDevExt->StreamSRBSpinLock[StreamNumber]);

  for (PLIST_ENTRY pEntry = pListHead->Flink; pEntry != pListHead; pEntry = pEntry->Flink) {
    if (QueueEntrySrb(pEntry) == pSrb) {
      RemoveEntryList(pEntry);
      StreamQueueCount(pHwDevExt, StreamNumber).fetch_sub(1, std::memory_order_relaxed);
      bFound = TRUE;
      break;
    }
  }
  KfReleaseSpinLock(&pHwDevExt->StreamSRBSpinLock[StreamNumber], Irql);

  if (!bFound)
    return FALSE;
  QueueMarkCancelled(pSrb);
  DubugMsg(3, "Cancelled SRB %08X\n", pSrb);
  CompleteStreamSRB(pSrb);
  return TRUE;
}

// Hands a stream request back to the stream class. Any thread; no lock held.
VOID CompleteStreamSRB(PHW_STREAM_REQUEST_BLOCK pSrb) {
  DubugMsg(4, "CompleteStreamSRB pSrb=0x%08X\n", pSrb);
  if (pSrb == NULL) {
    DubugMsg(3, "Error CompleteStreamSRB pSrb=0x%08X\n", pSrb);
    return;
  }
  StreamClassStreamNotification(StreamRequestComplete, pSrb->StreamObject, pSrb);
}
