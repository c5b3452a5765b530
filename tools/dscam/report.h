// What a run shows the user on stderr: a progress bar while it runs (only when
// stderr is a terminal) and a summary at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace dscam {

struct RunSummary {
  uint64_t frames = 0;       // frames written
  uint64_t dropped = 0;      // pictures the driver dropped, and frames the tool could not keep up with
  uint64_t errors = 0;       // failed reads and failed writes
  double elapsed = 0;        // seconds from the first buffer to the end
  uint64_t decoded = 0;      // pictures the driver decoded into frames during the run
  double decode_seconds = 0; // the time the driver spent decoding them
};

// The summary block, one "name: value" line each.
void print_summary(std::FILE *out, const RunSummary &summary);

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
