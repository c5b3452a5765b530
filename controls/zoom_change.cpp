// The deferred zoom change: a zoom Set only records its value; a work item
// applies the last recorded value once no further Set has come for half a
// second, so a burst of Sets (a slider being dragged) moves the camera once.
//
// States: idle (pPropChangeWorkItem NULL, PropChangeDoneEvent signalled),
// pending (the item waits for the quiet time; each Set signals PropChangeEvent
// and the wait starts again), applying (the item sends the zoom to the camera).
// Every Set counts PropChangeGeneration up under PropChangeSpinLock; the item
// goes back to idle only under the same lock and only when no Set has come since
// it took the value it applied, so a Set during applying is never lost: the item
// waits the quiet time again and applies the newer value. The item's very last
// act is to signal PropChangeDoneEvent; teardown waits for that event, and so
// does a Set that starts a new change while the old item is on its way out.
#include "capture/capture.h"
#include "controls/controls.h"
#include "diag/debug_msg.h"

namespace {

// TRUE once teardown has begun. Any thread at IRQL <= DISPATCH_LEVEL.
BOOLEAN PropChangeShuttingDown(PHW_DEVICE_EXTENSION pHwDevExt) {
  KIRQL OldIrql;
  BOOLEAN bShutdown;

  KeAcquireSpinLock(&pHwDevExt->PropChangeSpinLock, &OldIrql);
  bShutdown = pHwDevExt->bPropChangeShutdown;
  KeReleaseSpinLock(&pHwDevExt->PropChangeSpinLock, OldIrql);
  return bShutdown;
}

// Waits until no Set has come for the delay: each Set signals PropChangeEvent,
// which starts the wait again. FALSE as soon as teardown has begun: teardown
// marks itself, then signals the event, so the mark is looked at after the event
// is cleared and again after each wait. Work item; passive level; blocks.
BOOLEAN PropChangeWaitQuiet(PHW_DEVICE_EXTENSION pHwDevExt, PLARGE_INTEGER pDelay) {
  NTSTATUS Status;

  for (;;) {
    KeClearEvent(&pHwDevExt->PropChangeEvent);
    if (PropChangeShuttingDown(pHwDevExt))
      return FALSE;
    DubugMsg(3, "** Retry Start PropChangeTiemr **\n");
    Status = KeWaitForSingleObject(&pHwDevExt->PropChangeEvent, Executive, KernelMode, FALSE, pDelay);
    if (PropChangeShuttingDown(pHwDevExt))
      return FALSE;
    if (Status == STATUS_TIMEOUT)
      return TRUE;
  }
}

// Takes the value to apply and the generation it belongs to. FALSE once
// teardown has begun. Any thread at IRQL <= DISPATCH_LEVEL.
BOOLEAN PropChangeTakeValue(PHW_DEVICE_EXTENSION pHwDevExt, PLONG pValue, PULONG pGeneration) {
  KIRQL OldIrql;
  BOOLEAN bShutdown;

  KeAcquireSpinLock(&pHwDevExt->PropChangeSpinLock, &OldIrql);
  *pValue = pHwDevExt->PropChangeZoomValue;
  *pGeneration = pHwDevExt->PropChangeGeneration;
  bShutdown = pHwDevExt->bPropChangeShutdown;
  KeReleaseSpinLock(&pHwDevExt->PropChangeSpinLock, OldIrql);
  return !bShutdown;
}

// Ends the change when no Set has come since Generation (or teardown has
// begun): clears pPropChangeWorkItem and hands the item back in *ppItem. FALSE
// when a newer Set waits to be applied. Any thread at IRQL <= DISPATCH_LEVEL.
BOOLEAN PropChangeTryEnd(PHW_DEVICE_EXTENSION pHwDevExt, ULONG Generation, PWORK_QUEUE_ITEM *ppItem) {
  KIRQL OldIrql;
  BOOLEAN bEnd;

  KeAcquireSpinLock(&pHwDevExt->PropChangeSpinLock, &OldIrql);
  bEnd = pHwDevExt->bPropChangeShutdown || Generation == pHwDevExt->PropChangeGeneration;
  if (bEnd) {
    *ppItem = pHwDevExt->pPropChangeWorkItem;
    pHwDevExt->pPropChangeWorkItem = NULL;
  }
  KeReleaseSpinLock(&pHwDevExt->PropChangeSpinLock, OldIrql);
  return bEnd;
}

} // namespace

// Records the Set and signals or starts the change. Adapter dispatch.
NTSTATUS PropChangeRequest(PHW_DEVICE_EXTENSION pHwDevExt, LONG Value) {
  PWORK_QUEUE_ITEM pItem;
  KIRQL OldIrql;
  BOOLEAN bPending;
  BOOLEAN bShutdown;

  KeAcquireSpinLock(&pHwDevExt->PropChangeSpinLock, &OldIrql);
  pHwDevExt->PropChangeZoomValue = Value;
  pHwDevExt->PropChangeGeneration++;
  bPending = pHwDevExt->pPropChangeWorkItem != NULL;
  bShutdown = pHwDevExt->bPropChangeShutdown;
  KeReleaseSpinLock(&pHwDevExt->PropChangeSpinLock, OldIrql);
  if (bShutdown)
    return STATUS_SUCCESS; // the device is going away: nothing more is sent
  if (bPending) {
    KeSetEvent(&pHwDevExt->PropChangeEvent, 0, FALSE); // restarts the quiet time
    return STATUS_SUCCESS;
  }

  // An item that has just ended may still be on its way out; it signals
  // PropChangeDoneEvent as its last act, at once.
  (void)KeWaitForSingleObject(&pHwDevExt->PropChangeDoneEvent, Executive, KernelMode, FALSE, NULL);
  pItem = (PWORK_QUEUE_ITEM)ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), PoolTag("Wdm "));
  if (pItem == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  ExInitializeWorkItem(pItem, PropChangeWork, pHwDevExt);
  KeClearEvent(&pHwDevExt->PropChangeDoneEvent);
  KeAcquireSpinLock(&pHwDevExt->PropChangeSpinLock, &OldIrql);
  pHwDevExt->pPropChangeWorkItem = pItem;
  KeReleaseSpinLock(&pHwDevExt->PropChangeSpinLock, OldIrql);
  ExQueueWorkItem(pItem, DelayedWorkQueue);
  return STATUS_SUCCESS;
}

// The work item. The command's result is not looked at: its Set has completed
// long ago, and nobody waits for it.
VOID PropChangeWork(PVOID Context) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)Context;
  LARGE_INTEGER Delay = RtlConvertLongToLargeInteger(PROP_CHANGE_DELAY);
  PWORK_QUEUE_ITEM pItem = NULL;
  ULONG Generation = 0;
  LONG Value = 0;

  DubugMsg(3, "** Start PropChangeTiemr **\n");
  for (;;) {
    if (PropChangeWaitQuiet(pHwDevExt, &Delay) && PropChangeTakeValue(pHwDevExt, &Value, &Generation))
      (void)VELTRA_SetZoomProperty(pHwDevExt, Value);
    if (PropChangeTryEnd(pHwDevExt, Generation, &pItem))
      break;
  }
  if (pItem != NULL)
    ExFreePool(pItem);
  // The last touch of the device extension: teardown may free it from here on.
  KeSetEvent(&pHwDevExt->PropChangeDoneEvent, 0, FALSE);
}

// Marks teardown, cuts a pending delay short and waits for the item's end.
VOID PropChangeShutdown(PHW_DEVICE_EXTENSION pHwDevExt) {
  KIRQL OldIrql;

  if (!pHwDevExt->bPropChangeReady)
    return; // never initialized: no change can exist
  KeAcquireSpinLock(&pHwDevExt->PropChangeSpinLock, &OldIrql);
  pHwDevExt->bPropChangeShutdown = TRUE;
  KeReleaseSpinLock(&pHwDevExt->PropChangeSpinLock, OldIrql);
  KeSetEvent(&pHwDevExt->PropChangeEvent, 0, FALSE);
  (void)VELTRA_WaitEndingStalledTransfers(pHwDevExt, &pHwDevExt->PropChangeDoneEvent);
}
