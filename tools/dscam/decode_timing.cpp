// The decode-time tap. The tap is a plain function over static atomics, so a
// call still running after the tap was removed touches nothing that goes away.
#include "tools/dscam/decode_timing.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "diag/debug_msg.h"

namespace dscam {
namespace {

std::atomic<int64_t> gPictureFetchedAt{0}; // steady-clock ns of the last fetched picture; 0: none
std::atomic<uint64_t> gDecodedFrames{0};
std::atomic<uint64_t> gDecodeNanoseconds{0};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The tap: runs on the driver's transfer thread, for every message it formats.
VOID decode_tap(LONG, const CHAR *text) {
  static constexpr char kFetched[] = "VELTRA_PictureBufferAddr Complete\n";
  static constexpr char kNumbered[] = "Frame Number is ";
  if (std::strcmp(text, kFetched) == 0) {
    gPictureFetchedAt.store(now_ns());
  } else if (std::strncmp(text, kNumbered, sizeof(kNumbered) - 1) == 0) {
    const int64_t fetched = gPictureFetchedAt.exchange(0);
    if (fetched == 0)
      return;
    gDecodeNanoseconds.fetch_add(static_cast<uint64_t>(now_ns() - fetched));
    gDecodedFrames.fetch_add(1);
  }
}

} // namespace

void decode_timing_start() {
  gPictureFetchedAt.store(0);
  gDecodedFrames.store(0);
  gDecodeNanoseconds.store(0);
  DubugMsgSetTap(decode_tap);
}

void decode_timing_stop() {
  DubugMsgSetTap(nullptr);
}

DecodeTiming decode_timing() {
  DecodeTiming timing;
  timing.frames = gDecodedFrames.load();
  timing.total_ns = gDecodeNanoseconds.load();
  return timing;
}

} // namespace dscam
