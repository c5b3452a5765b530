// The serialisation pair: a busy flag and a list of waiting requests under one
// spin lock. Whoever finds the flag clear processes its own request and then
// every request queued meanwhile; everyone else queues and returns. Used for the
// adapter requests and, per stream, for the control requests.
#include "adapter/adapter.h"
#include "diag/debug_msg.h"

// Enters the busy section (sets *pBusy, returns FALSE: the caller processes), or,
// when it is already taken, appends pSrb through its SRB_EXTENSION to ListHead
// (returns TRUE: the request waits). SpinLock protects *pBusy and ListHead and is
// held only for the test and the list operation. Any thread; IRQL <= DISPATCH_LEVEL.
BOOLEAN AddToListIfBusy(PHW_STREAM_REQUEST_BLOCK pSrb, PKSPIN_LOCK SpinLock, PULONG pBusy,
                        PLIST_ENTRY ListHead) {
  PSRB_EXTENSION pSrbExt = (PSRB_EXTENSION)pSrb->SRBExtension;
  KIRQL Irql = KfAcquireSpinLock(SpinLock);

  if (*pBusy != 0) {
    pSrbExt->pSrb = pSrb;
    InsertTailList(ListHead, &pSrbExt->ListEntry);
    KfReleaseSpinLock(SpinLock, Irql);
    DubugMsg(3, "AddToListIfBusy Busy\n");
    return TRUE;
  }

  *pBusy = 1;
  KfReleaseSpinLock(SpinLock, Irql);
  DubugMsg(4, "AddToListIfBusy Empty\n");
  return FALSE;
}

// Takes the oldest waiting request into *ppSrb (returns TRUE: the caller stays in
// the busy section and processes it), or, with the list empty, clears *pBusy
// (returns FALSE: the caller has left the busy section). Finding the list empty
// and clearing the flag happen under one hold of SpinLock, so a request queued by
// another thread is never stranded. Any thread; IRQL <= DISPATCH_LEVEL.
BOOLEAN RemoveFromListIfAvailable(PHW_STREAM_REQUEST_BLOCK *ppSrb, PKSPIN_LOCK SpinLock, PULONG pBusy,
                                  PLIST_ENTRY ListHead) {
  PLIST_ENTRY pEntry;
  KIRQL Irql = KfAcquireSpinLock(SpinLock);

  if (IsListEmpty(ListHead)) {
    *pBusy = 0;
    KfReleaseSpinLock(SpinLock, Irql);
    DubugMsg(4, "RemoveFromListIfAvailable Empty\n");
    return FALSE;
  }

  pEntry = RemoveHeadList(ListHead);
  KfReleaseSpinLock(SpinLock, Irql);
  *ppSrb = CONTAINING_RECORD(pEntry, SRB_EXTENSION, ListEntry)->pSrb;
  DubugMsg(4, "RemoveFromListIfAvailable Busy\n");
  return TRUE;
}
