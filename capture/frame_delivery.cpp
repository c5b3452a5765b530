// Frame delivery: a decoded picture becomes a numbered, time-stamped frame in a
// read request, with the stream's dropped-frame count in its KS_FRAME_INFO; and
// the completion of a read request that gets no frame.
//
// FrameCount, LastFrameTime and FrameInfo belong to the transfer thread (one
// thread at a time: a restarted thread follows the stopped one). The dropped-
// frames property reads FrameInfo.PictureNumber and FrameInfo.DropCount from
// another thread, so those two are stored atomically.
#include <atomic>
#include <climits>

#include "capture/capture.h"
#include "diag/debug_msg.h"
#include "image/image.h"
#include "stream/stream.h"

namespace {

// The KS_FRAME_INFO behind the request's stream header, when the header says it
// carries one (its Size covers the header and the frame information); NULL
// otherwise.
PKS_FRAME_INFO CaptureFrameInfo(PKSSTREAM_HEADER pHeader) {
  if (pHeader == NULL || pHeader->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO))
    return NULL;
  return reinterpret_cast<PKS_FRAME_INFO>(pHeader + 1);
}

// a + b for b >= 0, held at the largest time instead of overflowing.
LONGLONG CaptureAddTime(LONGLONG a, LONGLONG b) {
  LONGLONG Sum;
  return __builtin_add_overflow(a, b, &Sum) ? LLONG_MAX : Sum;
}

// Stores one of the two counters that the dropped-frames property reads.
VOID CaptureStoreCounter(LONGLONG *pCounter, LONGLONG Value) {
  std::atomic_ref<LONGLONG>(*pCounter).store(Value, std::memory_order_relaxed);
}

// The presentation time of frame FrameNumber: the master clock's time, unless it
// is not later than the previous frame's, which then is followed one Duration
// later; frame 1 takes the clock as it is. Times never go back (a Duration below
// 0 counts as 0). Updates LastFrameTime. Transfer thread.
LONGLONG CapturePresentationTime(PHW_STREAM_REQUEST_BLOCK pSrb, PSTREAMEX pStrmEx, ULONG FrameNumber,
                                 LONGLONG Duration) {
  LONGLONG Time = GetStreamTime(pSrb, pStrmEx);

  if (FrameNumber != 1 && Time <= pStrmEx->LastFrameTime)
    Time = CaptureAddTime(pStrmEx->LastFrameTime, Duration > 0 ? Duration : 0);
  pStrmEx->LastFrameTime = Time;
  return Time;
}

// Frames that should have come by Time at one per Interval and did not: the
// frame count the clock implies less the frames delivered, never below 0. An
// Interval of 0 or less says nothing about missed frames: 0, with no division.
LONGLONG CaptureDropCount(LONGLONG Time, LONGLONG Interval, ULONG FrameNumber) {
  if (Interval <= 0 || Time < Interval)
    return 0;
  LONGLONG Dropped = Time / Interval - static_cast<LONGLONG>(FrameNumber);
  return Dropped > 0 ? Dropped : 0;
}

} // namespace

// Decodes, numbers and stamps one frame. The frame interval (Duration) and the
// drop-count interval (of the open-time video info header) are read from a
// snapshot of the stream's format, since SRB_SET_DATA_FORMAT may replace the
// format meanwhile. PictureNumber adds the drop count the frame's KS_FRAME_INFO
// holds after the first copy, which is that of the previous frame. The damaged
// mark goes into the frame's own copy only: the stream's FrameInfo is copied
// into every frame. Transfer thread only; passive level.
VOID VELTRA_ProcessFrame(PHW_STREAM_REQUEST_BLOCK pSrb, PUCHAR pPicture, ULONG PictureSize) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  PSRB_EXTENSION pSrbExt = (PSRB_EXTENSION)pSrb->SRBExtension;
  PKSSTREAM_HEADER pHeader = pSrb->CommandData.DataBufferArray;
  PKS_FRAME_INFO pFrameInfo = CaptureFrameInfo(pHeader);
  STREAM_FORMAT_SNAPSHOT Format;
  LONGLONG PreviousDropCount;
  LONGLONG Interval;
  LONGLONG Time;
  ULONG FrameNumber;
  BOOLEAN bWhole;

  bWhole = ImageSynth2(pSrb, pPicture, PictureSize);
  if (pHeader == NULL)
    return; // no stream header: nothing to stamp
  (void)StreamGetFormatSnapshot(pStrmEx, &Format);
  Interval = Format.bVideoInfoHeader ? Format.VideoInfoHeader.AvgTimePerFrame : 0;

  if (pFrameInfo != NULL) {
    pStrmEx->FrameInfo.ExtendedHeaderSize = pFrameInfo->ExtendedHeaderSize;
    *pFrameInfo = pStrmEx->FrameInfo;
  }
  PreviousDropCount = pStrmEx->FrameInfo.DropCount;

  pHeader->PresentationTime.Numerator = 1;
  pHeader->PresentationTime.Denominator = 1;
  pHeader->Duration = Format.AvgTimePerFrame;
  pHeader->OptionsFlags = 0;

  FrameNumber = ++pStrmEx->FrameCount;
  if (pSrbExt != NULL)
    pSrbExt->FrameNumber = FrameNumber;
  DubugMsg(3, "Frame Number is %d\n", FrameNumber);
  if (!bWhole) {
    DubugMsg(2, "Frame Number %d is damaged\n", FrameNumber);
    CaptureCountDamagedFrame(pStrmEx);
  }

  Time = CapturePresentationTime(pSrb, pStrmEx, FrameNumber, pHeader->Duration);
  pHeader->PresentationTime.Time = Time;

  CaptureStoreCounter(&pStrmEx->FrameInfo.DropCount, CaptureDropCount(Time, Interval, FrameNumber));
  CaptureStoreCounter(&pStrmEx->FrameInfo.PictureNumber,
                      CaptureAddTime(static_cast<LONGLONG>(FrameNumber), PreviousDropCount));

  pHeader->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  if (pFrameInfo != NULL) {
    *pFrameInfo = pStrmEx->FrameInfo;
    if (!bWhole)
      pFrameInfo->dwFrameFlags |= VELTRA_FRAMEF_DAMAGED;
  }
}

// Reads the stream's master clock through the stream class (synchronously).
// Without a clock the time is 0. Any thread; passive level.
LONGLONG GetStreamTime(PHW_STREAM_REQUEST_BLOCK pSrb, PSTREAMEX pStrmEx) {
  HW_TIME_CONTEXT TimeContext;
  HANDLE hMasterClock = StreamGetMasterClock(pStrmEx);

  TimeContext.HwDeviceExtension = pStrmEx->pHwDevExt;
  TimeContext.HwStreamObject = pSrb->StreamObject;
  TimeContext.Function = TIME_GET_STREAM_TIME;
  TimeContext.Time = 0;
  TimeContext.SystemTime = 0;
  if (hMasterClock != NULL)
    StreamClassQueryMasterClockSync(hMasterClock, &TimeContext);
  return static_cast<LONGLONG>(TimeContext.Time);
}

// Completes a read request with Status and no data; NULL does nothing. Any
// thread; no lock held.
VOID StreamSRBComplete(PHW_STREAM_REQUEST_BLOCK pSrb, NTSTATUS Status) {
  if (pSrb == NULL)
    return;
  pSrb->Status = Status;
  if (pSrb->CommandData.DataBufferArray != NULL)
    pSrb->CommandData.DataBufferArray->DataUsed = 0;
  DubugMsg(3, "StreamSRBComplete SRB %X STATUS %X\n", pSrb, Status);
  CompleteStreamSRB(pSrb);
}
