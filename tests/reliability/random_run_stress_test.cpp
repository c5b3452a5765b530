// A short random-fault run among the concurrency stress tests, so that it also
// runs under ThreadSanitizer: the transfer thread, the zoom work item, the
// bus's completions, cancels from the test thread and removals meet at random.
// Faults that silence the camera during a command are left out (a command then
// waits out its limit, which only slows the run); the rest strike as in the
// full run.
#include <cstdio>

#include <gtest/gtest.h>

#include "tests/reliability/random_run.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

using RandomFaultStress = RigTest;

// Makes sure the promises hold while every thread of the system runs at once
// under faults; under ThreadSanitizer, that none of them races another.
TEST_F(RandomFaultStress, ShortRandomRunKeepsThePromises) {
  reliability::RandomRunOptions options;
  options.seed = reliability::random_run_seed();
  options.duration = 8s;
  options.min_frames = 1;
  options.excluded_faults = {emu::Fault::LostPacket, emu::Fault::StopAnswering, emu::Fault::WriteError};
  std::printf("random-fault stress: seed %llu (DSCAM_SEED replays it)\n",
              static_cast<unsigned long long>(options.seed));
  rig::Failures failures;
  const reliability::RandomRunStats stats = reliability::random_run(options, failures);
  std::printf("%s", reliability::random_run_text(stats).c_str());
  EXPECT_TRUE(failures.empty()) << "seed " << options.seed << ":\n" << failures.text();
  EXPECT_GT(stats.frames, 0u);
}
