// The low-resources sweep: the whole scenario (device start, zoom, stream
// open, 30 frames, focus, close, removal) with the Nth pool allocation
// failing, for N = 1, 2, ... until a run sees no injected failure. A run takes
// about a second and the scenario makes about 1,200 allocations, so the sweep
// is cut into shards of kShardRuns values of N, one test each (they run in
// parallel under ctest -j); a shard stops at the first run that sees no
// injected failure, and the last shard fails if the sweep has not ended by then.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/kernel/control.h"
#include "tests/reliability/low_resources.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

constexpr uint64_t kShardRuns = 100;
constexpr int kShards = 24;

class LowResourcesSweep : public RigTest, public ::testing::WithParamInterface<int> {};

// DSCAM_SWEEP_ONLY=N replays one value of N (in shard 0; the others skip).
uint64_t only_n() {
  const char *text = std::getenv("DSCAM_SWEEP_ONLY");
  return text != nullptr ? std::strtoull(text, nullptr, 10) : 0;
}

void print_outcome(uint64_t n, const reliability::ScenarioOutcome &o) {
  std::printf("N=%llu: %llu allocations, start %s, open %s, %zu frames, zoom %s, focus %s%s\n",
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(o.allocations),
              rig::status_text(o.start).c_str(), rig::status_text(o.open).c_str(), o.frames,
              o.zoom_reached ? "reached" : "not reached", rig::status_text(o.focus).c_str(),
              o.injected ? ", failure injected" : "");
}

} // namespace

// Makes sure an allocation failing anywhere in a device's life breaks no promise. Catches an unchecked
// allocation, a leak or a request lost or completed twice on an error path, a hang after a failure.
TEST_P(LowResourcesSweep, EveryAllocationOfTheScenarioMayFail) {
  rig::Failures failures;
  const auto began = std::chrono::steady_clock::now();
  const uint64_t first = static_cast<uint64_t>(GetParam()) * kShardRuns + 1;
  uint64_t runs = 0;
  bool ended = false;
  const uint64_t only = only_n();
  if (only != 0 && GetParam() != 0)
    GTEST_SKIP();
  for (uint64_t n = only != 0 ? only : first; n < (only != 0 ? only + 1 : first + kShardRuns); ++n) {
    const reliability::ScenarioOutcome outcome = reliability::low_resources_run(n, failures);
    ++runs;
    if (!outcome.injected || only != 0) {
      print_outcome(n, outcome);
      ended = true;
      break;
    }
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("low-resources sweep from N=%llu: %llu runs in %.1f s%s\n",
              static_cast<unsigned long long>(first), static_cast<unsigned long long>(runs), took,
              ended ? " (the sweep ends here)" : "");
  EXPECT_TRUE(failures.empty()) << failures.size() << " failure(s):\n" << failures.text();
  if (GetParam() == kShards - 1) {
    EXPECT_TRUE(ended) << "the scenario still reaches the failing allocation at N=" << first + kShardRuns - 1
                       << ": the sweep needs more shards";
  }
}

INSTANTIATE_TEST_SUITE_P(Shard, LowResourcesSweep, ::testing::Range(0, kShards));
