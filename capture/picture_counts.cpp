// The stream's picture counts: every picture the transfer thread did not
// deliver whole, by what became of it, for the picture-counts property.
//
// The transfer thread is the only writer (a restarted thread follows the
// stopped one), so an increment is a plain load and store; the property path
// reads from another thread, hence every field goes through atomic_ref.
#include <atomic>

#include "capture/capture.h"

namespace {

VOID CaptureIncrement(PULONG pCount) {
  std::atomic_ref<ULONG> Count(*pCount);
  const ULONG Value = Count.load(std::memory_order_relaxed);
  if (Value != 0xFFFFFFFFu) // held at the largest count
    Count.store(Value + 1, std::memory_order_relaxed);
}

ULONG CaptureLoad(PULONG pCount) {
  return std::atomic_ref<ULONG>(*pCount).load(std::memory_order_relaxed);
}

} // namespace

VOID CaptureCountDamagedFrame(PSTREAMEX pStrmEx) {
  CaptureIncrement(&pStrmEx->PictureCounts.DamagedFrames);
}

// The reason and the size go into LastRefusal with one store.
VOID CaptureCountRefusal(PSTREAMEX pStrmEx, VELTRA_PICTURE_REFUSAL Reason, ULONG AnnouncedSize) {
  PSTREAM_PICTURE_COUNTS pCounts = &pStrmEx->PictureCounts;

  switch (Reason) {
  case VELTRA_REFUSAL_TOO_LARGE:
    CaptureIncrement(&pCounts->TooLarge);
    break;
  case VELTRA_REFUSAL_LONGER_THAN_ANNOUNCED:
    CaptureIncrement(&pCounts->LongerThanAnnounced);
    break;
  case VELTRA_REFUSAL_FETCH_FAILED:
    CaptureIncrement(&pCounts->FailedFetches);
    break;
  case VELTRA_REFUSAL_NONE:
    return;
  }
  std::atomic_ref<ULONGLONG>(pCounts->LastRefusal)
      .store((static_cast<ULONGLONG>(Reason) << 32) | AnnouncedSize, std::memory_order_relaxed);
}

VOID CaptureGetPictureCounts(PSTREAMEX pStrmEx, PKSPROPERTY_VELTRA_PICTURE_COUNTS_S pCounts) {
  PSTREAM_PICTURE_COUNTS pRecords = &pStrmEx->PictureCounts;
  const ULONGLONG LastRefusal =
      std::atomic_ref<ULONGLONG>(pRecords->LastRefusal).load(std::memory_order_relaxed);

  pCounts->DamagedFrames = CaptureLoad(&pRecords->DamagedFrames);
  pCounts->TooLarge = CaptureLoad(&pRecords->TooLarge);
  pCounts->LongerThanAnnounced = CaptureLoad(&pRecords->LongerThanAnnounced);
  pCounts->FailedFetches = CaptureLoad(&pRecords->FailedFetches);
  pCounts->LastRefusal = static_cast<ULONG>(LastRefusal >> 32);
  pCounts->LastAnnouncedSize = static_cast<ULONG>(LastRefusal);
  pCounts->PictureBufferSize = CAM_BUFFER_SIZE;
  pCounts->Reserved = 0;
}
