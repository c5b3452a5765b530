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

// The handler of one stream control command. The request's Status is preset to
// STATUS_SUCCESS and left as the handler sets it.
using PSTREAM_CONTROL_HANDLER = VOID (*)(PHW_STREAM_REQUEST_BLOCK pSrb);

// One row of the control command table: the command, the level and line logged
// when it is dispatched, and its handler.
struct STREAM_CONTROL_COMMAND {
  SRB_COMMAND Command;
  LONG LogLevel;
  PCSTR LogLine;
  PSTREAM_CONTROL_HANDLER Handler;
};

// Answers a command the stream does not serve with STATUS_NOT_IMPLEMENTED.
static VOID StreamNotImplemented(PHW_STREAM_REQUEST_BLOCK pSrb) {
  pSrb->Status = STATUS_NOT_IMPLEMENTED;
}

// SetStreamState and GetStreamProperty always return TRUE; their outcome is in
// the request's Status.
static VOID StreamSetState(PHW_STREAM_REQUEST_BLOCK pSrb) {
  (void)SetStreamState(pSrb);
}

static VOID StreamGetProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  (void)GetStreamProperty(pSrb);
}

// The stream control commands. Property reads come often and log at level 4.
static const STREAM_CONTROL_COMMAND StreamControlCommands[] = {
    {SRB_GET_STREAM_STATE, 3, "SRB_GET_STREAM_STATE\n", GetStreamState},
    {SRB_SET_STREAM_STATE, 3, "SRB_SET_STREAM_STATE\n", StreamSetState},
    // No stream property can be set.
    {SRB_SET_STREAM_PROPERTY, 3, "SRB_SET_STREAM_PROPERTY\n", StreamNotImplemented},
    {SRB_GET_STREAM_PROPERTY, 4, "SRB_GET_STREAM_PROPERTY\n", StreamGetProperty},
    {SRB_INDICATE_MASTER_CLOCK, 3, "SRB_INDICATE_MASTER_CLOCK\n", IndicateMasterClock},
    {SRB_PROPOSE_DATA_FORMAT, 3, "SRB_PROPOSE_DATA_FORMAT\n", StreamProposeDataFormat},
    {SRB_SET_DATA_FORMAT, 3, "SRB_SET_DATA_FORMAT\n", StreamSetDataFormat},
    {SRB_GET_DATA_FORMAT, 3, "SRB_GET_DATA_FORMAT\n", StreamNotImplemented},
};

// Logs the request's command and runs its handler. A command not in the table
// (master clock open and close, rates, flushes and unknown commands) logs an
// empty line and gets STATUS_NOT_IMPLEMENTED.
static VOID StreamDispatchCtrlCommand(PHW_STREAM_REQUEST_BLOCK pSrb) {
  for (const STREAM_CONTROL_COMMAND &Entry : StreamControlCommands) {
    if (Entry.Command == pSrb->Command) {
      DubugMsg(Entry.LogLevel, Entry.LogLine);
      Entry.Handler(pSrb);
      return;
    }
  }
  DubugMsg(3, "\n");
  pSrb->Status = STATUS_NOT_IMPLEMENTED;
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
