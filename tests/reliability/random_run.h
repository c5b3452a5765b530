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

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emulator/camera/faults.h"
#include "tests/support/promises.h"

namespace reliability {

struct RandomRunOptions {
  uint64_t seed = 1;
  std::chrono::milliseconds duration{60000};
  // The run goes on past `duration`, by at most `duration` twice more, until at
  // least this many frames came: a busy machine slows a run down, and a run
  // without frames has not exercised streaming.
  uint64_t min_frames = 0;
  // Camera faults: rate per trial of each fault, by the fault's unit.
  double transfer_fault_rate = 0.005; // per transfer
  double picture_fault_rate = 0.01;   // per picture
  double command_fault_rate = 0.05;   // per auto focus or zoom reading
  // Faults left out of the run (none by default).
  std::vector<emu::Fault> excluded_faults;
  // Pool: in every device life, after its first `pool_failure_after`
  // allocations of `pool_failure_tag` (0: of any tag), each one fails with
  // this probability. By default every tag fails: the driver's blocks, the
  // bus's transfers and the host's request IRPs alike (the host makes a
  // stream's close and a device's removal requests in advance, so neither
  // depends on the pool).
  double pool_failure_rate = 0.06;
  uint64_t pool_failure_after = 200;
  ULONG pool_failure_tag = 0;
  // A surprise removal after this many frames of a life (drawn in the range).
  unsigned removal_frames_min = 200;
  unsigned removal_frames_max = 600;
  // A camera control after this many frames (drawn in the range).
  unsigned control_frames_min = 20;
  unsigned control_frames_max = 60;
  // Reports: `report` is called on the run's thread every `report_every`
  // (never when 0 or empty) and once at the end.
  std::chrono::milliseconds report_every{0};
  std::function<void(const struct RandomRunStats &)> report;
};

// What a run has seen so far.
struct RandomRunStats {
  uint64_t seed = 0;
  double seconds = 0;
  uint64_t lives = 0;         // device starts tried
  uint64_t failed_starts = 0; // of those, starts that failed
  uint64_t opens = 0;         // pins opened
  uint64_t failed_opens = 0;
  uint64_t surprise_removals = 0;
  uint64_t disconnects = 0; // lives ended because the camera unplugged itself
  uint64_t stalls = 0;      // times frames stopped coming
  uint64_t controls = 0;
  uint64_t cancels_tried = 0; // extra reads submitted to be cancelled
  uint64_t cancels = 0;       // of those, reads that came back cancelled
  uint64_t frames = 0;
  std::array<uint64_t, emu::kFaultCount> faults{}; // camera faults injected, by kind
  uint64_t pool_failed = 0;                        // allocations refused
  size_t pool_peak_bytes = 0;                      // pool high-water mark of the run
  std::map<NTSTATUS, uint64_t> reads_by_status;    // completed reads
  std::map<NTSTATUS, uint64_t> requests_by_status; // blocking requests of the run (controls, close, ...)
  size_t failures = 0;
};

// Runs for options.duration (finishing the device life under way; longer when
// fewer than options.min_frames frames came), adding
// every broken promise to `failures`, each line beginning with
// "seed S, life L". Blocks; call from a thread with no device of its own.
RandomRunStats random_run(const RandomRunOptions &options, rig::Failures &failures);

// The seed from the environment variable DSCAM_SEED when set, else one made
// from the clock.
uint64_t random_run_seed();

// The stats as a few lines of text (for reports).
std::string random_run_text(const RandomRunStats &stats);

} // namespace reliability
