// The low-resources scenario: device start, a zoom Set (waited for until the
// camera has zoomed), stream open, 30 frames, auto focus, stream close and
// device removal, on a fresh camera, with the Nth pool allocation of the
// driver's life failing. Every step is timed and the run ends with the
// promises checked.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/promises.h"

namespace reliability {

// What one run of the scenario did.
struct ScenarioOutcome {
  bool injected = false; // the failing allocation happened during the run
  NTSTATUS start = STATUS_PENDING;
  NTSTATUS open = STATUS_PENDING;
  size_t frames = 0;
  bool zoom_reached = false; // the camera took the zoom Set
  NTSTATUS focus = STATUS_PENDING;
  uint64_t allocations = 0; // pool allocations tried during the run
};

// Runs the scenario once with allocation `fail_nth` (counted from the driver's
// load; 0: none) failing. Adds to `failures` every broken promise, and, for a
// run that saw no injected failure, every step that did not do its work. Each
// failure line begins with "N=<fail_nth>". Blocks for the run (about a
// second); test thread.
ScenarioOutcome low_resources_run(uint64_t fail_nth, rig::Failures &failures);

} // namespace reliability
