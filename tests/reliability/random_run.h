// The random-fault run: device lives one after another on freshly plugged
// cameras with faults at random (per transfer, per picture, per camera
// command), pool allocations failing at random, surprise removals every few
// hundred frames (then a new plug and a new start), camera controls every few
// dozen frames, reads cancelled now and then, and stalls (a camera that went
// silent, a transfer thread that gave up) recovered by a control, a stream
// reopen or a removal. Every device life ends with the promises checked.
//
// A seed decides the faults, the pool failures and every choice of the run;
// thread timing still varies, so a replay with the same seed takes the same
// decisions but not necessarily the same path.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emulator/camera/faults.h"
#include "tests/support/promises.h"

namespace reliability {

// What a run has seen so far: counts by name ("frames", "lives", "failed
// starts", "opens", "failed opens", "surprise removals", "disconnects",
// "stalls", "controls", "cancels tried", "cancels", "pool failed", "pool peak
// bytes", "failures", each camera fault by its name, "slowest STEP (ms)" for
// each step: stream close, device removal, ...), and the statuses of
// completed reads and of blocking requests (controls, close, ...).
struct RandomRunStats {
  uint64_t seed = 0;
  double seconds = 0;
  std::map<std::string, uint64_t> counts;
  std::map<NTSTATUS, uint64_t> reads_by_status;
  std::map<NTSTATUS, uint64_t> requests_by_status;
  uint64_t count(const std::string &name) const {
    const auto it = counts.find(name);
    return it == counts.end() ? 0 : it->second;
  }
};

struct RandomRunOptions {
  uint64_t seed = 1;
  std::chrono::milliseconds duration{60000};
  // The run goes on past `duration`, by at most `duration` twice more, until at
  // least this many frames came: a busy machine slows a run down, and a run
  // without frames has not exercised streaming.
  uint64_t min_frames = 0;
  // Camera faults left out of the run (none by default).
  std::vector<emu::Fault> excluded_faults;
  // Reports: `report` is called on the run's thread every `report_every`
  // (never when 0 or empty) and once at the end.
  std::chrono::milliseconds report_every{0};
  std::function<void(const RandomRunStats &)> report;
};

// Runs for options.duration (finishing the device life under way; longer when
// fewer than options.min_frames frames came), adding every broken promise to
// `failures`, each line beginning with "seed S, life L". Blocks; call from a
// thread with no device of its own.
RandomRunStats random_run(const RandomRunOptions &options, rig::Failures &failures);

// The seed from the environment variable DSCAM_SEED when set, else one made
// from the clock.
uint64_t random_run_seed();

// The stats as a few lines of text (for reports).
std::string random_run_text(const RandomRunStats &stats);

} // namespace reliability
