// Adapter request dispatch: every adapter (device) request enters through
// AdapterReceivePacket and is processed one at a time, in arrival order, on the
// thread of whichever caller found the adapter idle. Also the cancel and time-out
// callbacks of the stream class.
#include <atomic>

#include "adapter/adapter.h"
#include "controls/controls.h"
#include "diag/debug_msg.h"
#include "stream/stream.h"

// One row of the command table: the command, the line logged when it is
// dispatched (level 3), and its handler.
struct ADAPTER_COMMAND {
  SRB_COMMAND Command;
  PCSTR LogLine;
  PADAPTER_COMMAND_HANDLER Handler;
};

// Answers a command the adapter does not serve with STATUS_NOT_IMPLEMENTED.
static BOOLEAN AdapterNotImplemented(PHW_STREAM_REQUEST_BLOCK pSrb) {
  pSrb->Status = STATUS_NOT_IMPLEMENTED;
  return TRUE;
}

// The adapter commands. SRB_PAGING_OUT_DRIVER is never served: it is answered with
// STATUS_NOT_IMPLEMENTED after its log line.
static const ADAPTER_COMMAND AdapterCommands[] = {
    {SRB_GET_STREAM_INFO, "SRB_GET_STREAM_INFO\n", AdapterGetStreamInfo},
    // AdapterOpenStream: format check, stream set-up, transfer thread start.
    {SRB_OPEN_STREAM, "SRB_OPEN_STREAM\n", AdapterOpenStream},
    // AdapterCloseStream: cancel queued reads, stop the thread, free the formats.
    {SRB_CLOSE_STREAM, "SRB_CLOSE_STREAM\n", AdapterCloseStream},
    // Camera-control properties: zoom and focus.
    {SRB_GET_DEVICE_PROPERTY, "SRB_GET_DEVICE_PROPERTY\n", AdapterGetDeviceProperty},
    {SRB_SET_DEVICE_PROPERTY, "SRB_SET_DEVICE_PROPERTY\n", AdapterSetDeviceProperty},
    {SRB_INITIALIZE_DEVICE, "SRB_INITIALIZE_DEVICE\n", AdapterInitializeDevice},
    {SRB_CHANGE_POWER_STATE, "SRB_CHANGE_POWER_STATE\n", AdapterChangePowerState},
    {SRB_UNINITIALIZE_DEVICE, "SRB_UNINITIALIZE_DEVICE\n", AdapterUnInitializeDevice},
    {SRB_PAGING_OUT_DRIVER, "SRB_PAGING_OUT_DRIVER\n", AdapterNotImplemented},
    {SRB_GET_DATA_INTERSECTION, "SRB_GET_DATA_INTERSECTION\n", AdapterGetDataInterSection},
    {SRB_INITIALIZATION_COMPLETE, "SRB_INITIALIZATION_COMPLETE\n", AdapterInitializeComplete},
    {SRB_SURPRISE_REMOVAL, "SRB_SURPRISE_REMOVAL\n", AdapterSurpriseRemoval},
};

// Logs the request's command and runs its handler; a command not in the table
// logs the unknown-command line and gets STATUS_NOT_IMPLEMENTED. Returns the
// handler's result. Passive level; the handler may block.
static BOOLEAN AdapterDispatchCommand(PHW_STREAM_REQUEST_BLOCK pSrb) {
  for (const ADAPTER_COMMAND &Entry : AdapterCommands) {
    if (Entry.Command == pSrb->Command) {
      DubugMsg(3, Entry.LogLine);
      return Entry.Handler(pSrb);
    }
  }
  DubugMsg(3, "SRB_UNKNOWN_DEVICE_COMMAND 0x%08X\n", pSrb->Command);
  pSrb->Status = STATUS_NOT_IMPLEMENTED;
  return TRUE;
}

// HwReceivePacket. Sets up the adapter queue on the first request (which the stream
// class sends alone, so no lock is needed for that), then queues the request if the
// adapter is busy or processes it (and all that queue meanwhile) on this thread.
// Any thread; passive level.
VOID AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  if (pHwDevExt->AdapterQueueInitialized == 0) {
    DubugMsg(3, "AdapterQueue not Initialized\n");
    InitializeListHead(&pHwDevExt->AdapterSRBList);
    KeInitializeSpinLock(&pHwDevExt->AdapterSpinLock);
    pHwDevExt->AdapterQueueInitialized = 1;
    pHwDevExt->AdapterSRBInProcess = 0;
  }

  if (AddToListIfBusy(pSrb, &pHwDevExt->AdapterSpinLock, &pHwDevExt->AdapterSRBInProcess,
                      &pHwDevExt->AdapterSRBList)) {
    DubugMsg(3, "AdapterReceivePacket Busy\n");
    return;
  }
  AdapterReceivePacketProcess(pSrb);
}

// Processes pSrb, then each queued request in arrival order, completing each once,
// until the queue is found empty (which ends the busy section). A handler that
// fails without completing (device initialization) gets its request completed
// here with a failure status: the one it left in Status if it set one, otherwise
// STATUS_IO_DEVICE_ERROR; the queue goes on either way. The device extension is
// read before each completion, since a completed request is no longer the
// driver's. The caller owns the busy section; passive level; handlers may block.
VOID AdapterReceivePacketProcess(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  DubugMsg(4, "AdapterReceivePacketProcess pSrb=0x%08X \n", pSrb);
  do {
    pSrb->Status = STATUS_SUCCESS;
    if (!AdapterDispatchCommand(pSrb) && NT_SUCCESS(pSrb->Status))
      pSrb->Status = STATUS_IO_DEVICE_ERROR;
    CompleteDeviceSRB(pSrb);
  } while (RemoveFromListIfAvailable(&pSrb, &pHwDevExt->AdapterSpinLock, &pHwDevExt->AdapterSRBInProcess,
                                     &pHwDevExt->AdapterSRBList));
}

// Hands an adapter request back to the stream class. Any thread; no lock held.
VOID CompleteDeviceSRB(PHW_STREAM_REQUEST_BLOCK pSrb) {
  StreamClassDeviceNotification(DeviceRequestComplete, pSrb->HwDeviceExtension, pSrb);
}

// HwCancelPacket. Only queued read requests can be cancelled: the read queue of each
// open stream is asked in turn until one has found, removed and completed the request. A request waiting in
// the adapter or a control list is left alone. pStrmEx changes under stream open and close, which may run on
// another thread, so each entry is read atomically. Any thread; no lock held.
VOID AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  BOOLEAN bClaimed = FALSE;

  DubugMsg(3, "AdapterCancelPacket pSrb=0x%08X \n", pSrb);
  for (ULONG n = 0; n < ADAPTER_STREAM_COUNT && !bClaimed; n++) {
    PSTREAMEX pStrmEx = std::atomic_ref<PSTREAMEX>(pHwDevExt->pStrmEx[n]).load();
    if (pStrmEx != NULL)
      bClaimed = QueueCancelOneSRB(pStrmEx, pSrb);
  }
  DubugMsg(3, "AdapterCancelPacket Done! pSrb=0x%08X \n", pSrb);
}

// HwRequestTimeoutHandler: the request stays where it is and is completed in the
// ordinary way. Any thread; no lock held.
VOID AdapterRequestTimeoutHandler(PHW_STREAM_REQUEST_BLOCK pSrb) {
  DubugMsg(2, "AdapterRequestTimeoutHandler pSrb=0x%08X \n", pSrb);
}
