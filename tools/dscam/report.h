// What a run shows the user: a progress bar while it runs (on stderr, only
// when it is a terminal), a line per frame on request, and a summary at the
// end, as text (one "name: count what-it-counts" line each) or as one JSON
// object for scripts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/dscam/picture_counts.h"

namespace dscam {

struct RunSummary {
  uint64_t frames = 0;        // frames written (damaged ones included unless skipped)
  uint64_t damaged = 0;       // frames written or skipped that the driver marked damaged
  bool skip_damaged = false;  // the damaged frames were skipped rather than written
  uint64_t driver_drops = 0;  // pictures the driver dropped: no read was waiting for them
  uint64_t tool_drops = 0;    // frames the tool dropped: its queue was full
  uint64_t failed_reads = 0;  // reads the driver failed (the camera's exchange failed)
  uint64_t short_frames = 0;  // reads completed with less than a whole frame
  uint64_t failed_writes = 0; // frames the output did not take
  PictureTotals pictures;     // pictures the driver refused, by reason
  uint64_t retries = 0;       // capture pin reopenings after failed reads
  long retry_limit = 0;       // reopenings allowed in a row (--retries)
  double elapsed = 0;         // seconds from the first buffer to the end
  uint64_t decoded = 0;       // pictures the driver decoded into frames during the run
  double decode_seconds = 0;  // the time the driver spent decoding them
  // Refused pictures, failed reads, short frames and failed writes.
  uint64_t errors() const { return pictures.refused() + failed_reads + short_frames + failed_writes; }
};

// The summary block, one "name: count (what it counts)" line each.
void print_summary(std::FILE *out, const RunSummary &summary);

// The summary as one JSON object on a line, with the run's exit status and
// its one-line reason (empty: none).
void print_summary_json(std::FILE *out, const RunSummary &summary, int exit_code, const std::string &error);

// One frame as --frames-info shows it.
struct FrameLine {
  uint64_t number = 0; // its number in the output; 0 when it was skipped
  LONGLONG sequence = 0;
  bool time_valid = false;
  LONGLONG time = 0;      // presentation time on the run's clock, 100 ns
  LONGLONG interval = -1; // since the frame before, 100 ns; negative: none
  size_t bytes = 0;
  uint64_t dropped = 0; // pictures or frames lost since the frame before
  bool damaged = false;
};

// "frame 000012 seq 12 time 0.733333 s bytes 230400 interval 66.667 ms dropped 2 damaged".
void print_frame_line(std::FILE *out, const FrameLine &line);

class Progress {
public:
  // `total` frames or `duration` seconds (0: open-ended); shown only when
  // `enabled` and stderr is a terminal.
  Progress(bool enabled, uint64_t total, double duration);
  // Redraws the bar, at most ten times a second.
  void update(uint64_t frames, double elapsed);
  // Clears the bar's line (before a message or the summary).
  void clear();

private:
  bool shown_;
  uint64_t total_;
  double duration_;
  double drawn_at_ = -1;
  bool on_screen_ = false;
};

} // namespace dscam
