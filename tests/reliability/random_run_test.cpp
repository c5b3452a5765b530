// The random-fault run: camera faults, pool failures, surprise removals,
// controls and cancels at random for DSCAM_RANDOM_SECONDS (60 by default),
// with the promises checked at the end of every device life. The seed is
// printed; DSCAM_SEED replays it.
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/reliability/random_run.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

using RandomFaultRun = RigTest;

std::chrono::milliseconds run_duration() {
  const char *text = std::getenv("DSCAM_RANDOM_SECONDS");
  const double seconds = text != nullptr ? std::strtod(text, nullptr) : 60.0;
  return std::chrono::milliseconds(static_cast<long long>((seconds > 0 ? seconds : 60.0) * 1000));
}

} // namespace

// Makes sure the promises hold whatever the camera, the pool and the user do
// at random: every request completed once with a truthful status, nothing left
// behind at the end of any device life, no step over its time. Catches a
// failure path that only a combination of faults reaches (a fault during a
// control, a removal during a stall, an allocation failing while pipes are
// reset).
TEST_F(RandomFaultRun, PromisesHoldUnderRandomFaults) {
  reliability::RandomRunOptions options;
  options.seed = reliability::random_run_seed();
  options.duration = run_duration();
  options.min_frames = 1;
  options.report_every = 15s;
  options.report = [](const reliability::RandomRunStats &stats) {
    std::printf("%s", reliability::random_run_text(stats).c_str());
    std::fflush(stdout);
  };
  std::printf("random-fault run: seed %llu (DSCAM_SEED=%llu replays it), %.0f s\n",
              static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(options.seed),
              std::chrono::duration<double>(options.duration).count());
  std::fflush(stdout);
  rig::Failures failures;
  const reliability::RandomRunStats stats = reliability::random_run(options, failures);
  EXPECT_TRUE(failures.empty()) << "seed " << options.seed << ": " << failures.size() << " failure(s):\n"
                                << failures.text();
  // The run did what it is for: frames flowed, faults struck, devices came and went.
  EXPECT_GT(stats.frames, 0u);
  EXPECT_GT(stats.lives, 1u);
  EXPECT_GT(stats.pool_failed, 0u);
}
