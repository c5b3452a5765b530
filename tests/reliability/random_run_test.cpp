// The random-fault run: camera faults, pool failures, surprise removals,
// controls and cancels at random, with the promises checked at the end of
// every device life. The seed is printed; DSCAM_SEED replays it. Built twice:
// the full run (DSCAM_RANDOM_SECONDS, 60 by default) in the reliability
// program, and a short run among the concurrency stress tests, so that it also
// runs under ThreadSanitizer. The short run leaves out the faults that silence
// the camera during a command (each only makes a command wait out its limit).
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/reliability/random_run.h"
#include "tests/support/rig_test.h"

using RandomFaultRun = RigTest;    // the full run
using RandomFaultStress = RigTest; // the short one
#ifdef DSCAM_FULL_RANDOM_RUN
#define RANDOM_RUN_SUITE RandomFaultRun
#else
#define RANDOM_RUN_SUITE RandomFaultStress
#endif

// Makes sure the promises hold under random faults, pool failures, removals, controls and cancels with every
// thread running. Catches failure paths only a combination reaches, and (TSan) races.
TEST_F(RANDOM_RUN_SUITE, PromisesHoldUnderRandomFaults) {
  reliability::RandomRunOptions options;
  options.seed = reliability::random_run_seed();
  options.min_frames = 1;
#ifdef DSCAM_FULL_RANDOM_RUN
  const char *seconds = std::getenv("DSCAM_RANDOM_SECONDS");
  options.duration =
      std::chrono::seconds(seconds != nullptr && std::atoi(seconds) > 0 ? std::atoi(seconds) : 60);
  options.report_every = std::chrono::seconds(15);
#else
  options.duration = std::chrono::seconds(8);
  options.excluded_faults = {emu::Fault::LostPacket, emu::Fault::StopAnswering, emu::Fault::WriteError};
#endif
  options.report = [](const reliability::RandomRunStats &stats) {
    std::printf("%s", reliability::random_run_text(stats).c_str());
    std::fflush(stdout);
  };
  std::printf("random-fault run: seed %llu (DSCAM_SEED replays it)\n",
              static_cast<unsigned long long>(options.seed));
  rig::Failures failures;
  const reliability::RandomRunStats stats = reliability::random_run(options, failures);
  EXPECT_TRUE(failures.empty()) << "seed " << options.seed << ": " << failures.size() << " failure(s):\n"
                                << failures.text();
  // The run did what it is for: frames flowed, faults struck, devices came and went.
  EXPECT_GT(stats.count("frames"), 0u);
#ifdef DSCAM_FULL_RANDOM_RUN
  EXPECT_GT(stats.count("lives"), 1u);
  EXPECT_GT(stats.count("pool failed"), 0u);
#endif
}
