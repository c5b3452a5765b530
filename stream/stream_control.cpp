// Stream control requests: state changes, format proposals and changes, property
// reads and the master clock. The control requests of a stream are processed one
// at a time, in arrival order, on the thread of whichever caller found the stream
// idle; everyone else queues behind it and returns at once.
#include <atomic>

#include "diag/debug_msg.h"
#include "stream/stream.h"

// The stream state and the master clock handle are single words: written here
// (and by open and close) and read without a lock by the data path and the
// transfer thread.
KSSTATE StreamGetState(PSTREAMEX pStrmEx) {
  return std::atomic_ref<KSSTATE>(pStrmEx->KSState).load(std::memory_order_acquire);
}

HANDLE StreamGetMasterClock(PSTREAMEX pStrmEx) {
  return std::atomic_ref<HANDLE>(pStrmEx->hMasterClock).load(std::memory_order_acquire);
}

// SRB_SET_STREAM_STATE. Only the state is stored: queued reads stay queued, the
// transfer thread runs on, the frame counters are kept. Control path.
BOOLEAN SetStreamState(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber = pSrb->StreamObject->StreamNumber;
  KSSTATE NewState = pSrb->CommandData.StreamState;

  DubugMsg(2, "SetStreamState (%d) %08X\n", StreamNumber, NewState);
  DubugMsg(3, "QueueCount %08X\n", std::atomic_ref<LONG>(pHwDevExt->StreamSRBListSize[StreamNumber]).load());
  switch (NewState) {
  case KSSTATE_STOP:
  case KSSTATE_ACQUIRE:
  case KSSTATE_PAUSE:
  case KSSTATE_RUN:
    std::atomic_ref<KSSTATE>(pStrmEx->KSState).store(NewState, std::memory_order_release);
    break;
  default:
    // Not a state: the stream keeps the one it has.
    break;
  }
  return TRUE;
}

// SRB_GET_STREAM_STATE. A paused capture stream answers STATUS_NO_DATA_DETECTED,
// telling the graph not to wait for data before it runs. Control path.
VOID GetStreamState(PHW_STREAM_REQUEST_BLOCK pSrb) {
  KSSTATE State = StreamGetState((PSTREAMEX)pSrb->StreamObject->HwStreamExtension);

  pSrb->CommandData.StreamState = State;
  pSrb->ActualBytesTransferred = sizeof(KSSTATE);
  DubugMsg(3, "GetStreamState %08X\n", State);
  if (State == KSSTATE_PAUSE)
    pSrb->Status = STATUS_NO_DATA_DETECTED;
}

// SRB_INDICATE_MASTER_CLOCK: frame delivery stamps frames by this clock; NULL
// removes it. Control path.
VOID IndicateMasterClock(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;

  std::atomic_ref<HANDLE>(pStrmEx->hMasterClock)
      .store(pSrb->CommandData.MasterClockHandle, std::memory_order_release);
}

// SRB_PROPOSE_DATA_FORMAT: the proposal is verified (which logs it) but always
// refused: the stream takes a new format only through SRB_SET_DATA_FORMAT.
static VOID StreamProposeDataFormat(PHW_STREAM_REQUEST_BLOCK pSrb) {
  (void)AdapterVerifyFormat(pSrb->CommandData.OpenFormat, pSrb->StreamObject->StreamNumber);
  pSrb->Status = STATUS_NO_MATCH;
}

// SRB_SET_DATA_FORMAT: a format of the stream's list replaces the stored one.
static VOID StreamSetDataFormat(PHW_STREAM_REQUEST_BLOCK pSrb) {
  if (!AdapterVerifyFormat(pSrb->CommandData.OpenFormat, pSrb->StreamObject->StreamNumber)) {
    DubugMsg(3, "SRB_SET_DATA_FORMAT NO MATCH\n");
    pSrb->Status = STATUS_NO_MATCH;
    return;
  }
  // On failure AdapterSetFormat leaves its status in the request.
  (void)AdapterSetFormat(pSrb);
}

// Runs one control request by its command; the request's Status is preset to
// STATUS_SUCCESS and left as the command's handler sets it.
static VOID StreamDispatchCtrlCommand(PHW_STREAM_REQUEST_BLOCK pSrb) {
  switch (pSrb->Command) {
  case SRB_GET_STREAM_STATE:
    DubugMsg(3, "SRB_GET_STREAM_STATE\n");
    GetStreamState(pSrb);
    break;
  case SRB_SET_STREAM_STATE:
    DubugMsg(3, "SRB_SET_STREAM_STATE\n");
    (void)SetStreamState(pSrb);
    break;
  case SRB_SET_STREAM_PROPERTY:
    // No stream property can be set.
    DubugMsg(3, "SRB_SET_STREAM_PROPERTY\n");
    pSrb->Status = STATUS_NOT_IMPLEMENTED;
    break;
  case SRB_GET_STREAM_PROPERTY:
    DubugMsg(4, "SRB_GET_STREAM_PROPERTY\n");
    (void)GetStreamProperty(pSrb);
    break;
  case SRB_INDICATE_MASTER_CLOCK:
    DubugMsg(3, "SRB_INDICATE_MASTER_CLOCK\n");
    IndicateMasterClock(pSrb);
    break;
  case SRB_PROPOSE_DATA_FORMAT:
    DubugMsg(3, "SRB_PROPOSE_DATA_FORMAT\n");
    StreamProposeDataFormat(pSrb);
    break;
  case SRB_SET_DATA_FORMAT:
    DubugMsg(3, "SRB_SET_DATA_FORMAT\n");
    StreamSetDataFormat(pSrb);
    break;
  case SRB_GET_DATA_FORMAT:
    DubugMsg(3, "SRB_GET_DATA_FORMAT\n");
    pSrb->Status = STATUS_NOT_IMPLEMENTED;
    break;
  default:
    // Master clock open and close, rates, flushes and unknown commands.
    DubugMsg(3, "\n");
    pSrb->Status = STATUS_NOT_IMPLEMENTED;
    break;
  }
}

// The stream's ReceiveControlPacket entry. The stream's busy flag and control
// list are guarded by the adapter's AdapterSpinLock. Any thread; passive level.
VOID StreamReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber = pSrb->StreamObject->StreamNumber;

  DubugMsg(4, "StreamReceiveCtrlPacket %08X %08X\n", pSrb, pSrb->Command);
  if (AddToListIfBusy(pSrb, &pHwDevExt->AdapterSpinLock, &pHwDevExt->ProcessingControlSRB[StreamNumber],
                      &pHwDevExt->StreamControlSRBList[StreamNumber]))
    return;
  StreamReceiveCtrlPacketProcess(pSrb);
}

// Processes pSrb, then each control request of the stream queued meanwhile, in
// arrival order, completing each once, until the list is found empty (which ends
// the busy section under the same hold of the lock). The device extension and
// stream number are taken before the first completion: a completed request is no
// longer the driver's. Passive level; no lock held while processing.
VOID StreamReceiveCtrlPacketProcess(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG StreamNumber = pSrb->StreamObject->StreamNumber;

  do {
    pSrb->Status = STATUS_SUCCESS;
    StreamDispatchCtrlCommand(pSrb);
    DubugMsg(4, "CompleteCtrlPacket 0 %08X\n", pSrb);
    CompleteStreamSRB(pSrb);
  } while (RemoveFromListIfAvailable(&pSrb, &pHwDevExt->AdapterSpinLock,
                                     &pHwDevExt->ProcessingControlSRB[StreamNumber],
                                     &pHwDevExt->StreamControlSRBList[StreamNumber]));
}
