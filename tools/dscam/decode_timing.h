// How long the driver takes to decode a picture into a frame, measured from
// its own messages: a trace tap on the debug-message channel notes the time of
// "VELTRA_PictureBufferAddr Complete\n" (a whole picture fetched) and of the
// next "Frame Number is %d\n" (the picture decoded into a read request and
// numbered). Pictures dropped for want of a read request are not counted.
#pragma once

#include <cstdint>

namespace dscam {

struct DecodeTiming {
  uint64_t frames = 0;   // pictures decoded while the tap was in place
  uint64_t total_ns = 0; // their decode time
  double ms_per_frame() const { return frames == 0 ? 0.0 : static_cast<double>(total_ns) / 1e6 / frames; }
};

// Puts the tap in place (counts start from 0) / removes it. Call from the main
// thread, not concurrently with each other.
void decode_timing_start();
void decode_timing_stop();

// The counts so far; any thread.
DecodeTiming decode_timing();

} // namespace dscam
