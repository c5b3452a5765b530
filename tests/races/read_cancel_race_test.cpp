// Races between cancelling a read and the transfer thread completing it.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/races/race_test.h"

using namespace std::chrono_literals;

namespace {

constexpr ULONG kFrameBytes = 320 * 240 * 3;

// What one read ended as.
struct Outcome {
  bool finished = false;
  int completions = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG data_used = 0;
};

Outcome outcome_of(const streamclass::FrameBuffer &buffer) {
  Outcome outcome;
  outcome.finished = buffer.completed();
  outcome.completions = buffer.request().completions();
  outcome.status = buffer.status();
  if (outcome.finished)
    outcome.data_used = buffer.frame().header().DataUsed;
  return outcome;
}

} // namespace

// Makes sure a read cancelled while the transfer thread fills it ends exactly
// once, either as a whole frame with success or cancelled with no data, and
// that the stream goes on afterwards. Catches a read completed by both the
// cancel and the thread (host: completed twice), a cancelled read reported
// with the frame's byte count or a filled one with STATUS_CANCELLED, and a
// queue left inconsistent (a later read never completes).
TEST_F(RaceTest, CancelRacingCompletionOfTheSameRead) {
  ASSERT_NO_FATAL_FAILURE(start_stepped());

  // The time one read takes from submission to its frame, to spread the
  // cancels over the whole of it.
  auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    ASSERT_EQ(rig_.pin().submit(kFrameBytes, buffer), STATUS_PENDING);
    ASSERT_TRUE(buffer->wait(10s));
    ASSERT_EQ(buffer->status(), STATUS_SUCCESS);
  }
  const auto per_read =
      std::chrono::duration_cast<std::chrono::microseconds>((std::chrono::steady_clock::now() - begin) / 5);

  std::mt19937 random(7);
  std::uniform_int_distribution<int64_t> delay(0, 2 * per_read.count() + 1);
  size_t filled = 0;
  size_t cancelled = 0;
  RaceBudget budget(3000, 4s);
  while (budget.next()) {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    ASSERT_EQ(rig_.pin().submit(kFrameBytes, buffer), STATUS_PENDING);
    // One round in four cancels at once, so that cancels win even when the
    // machine is slower than when the read time was measured.
    const int64_t wait_us = budget.done() % 4 == 0 ? 0 : delay(random);
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(wait_us);
    while (std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    buffer->cancel();
    ASSERT_TRUE(buffer->wait(10s)) << "round " << budget.done() << ": the read never completed";
    const Outcome outcome = outcome_of(*buffer);
    ASSERT_EQ(outcome.completions, 1) << "round " << budget.done();
    if (outcome.status == STATUS_SUCCESS) {
      ASSERT_EQ(outcome.data_used, kFrameBytes) << "round " << budget.done();
      ++filled;
    } else {
      ASSERT_EQ(outcome.status, STATUS_CANCELLED) << "round " << budget.done();
      ASSERT_EQ(outcome.data_used, 0u) << "round " << budget.done();
      ++cancelled;
    }
  }
  EXPECT_GT(filled, 0u);
  EXPECT_GT(cancelled, 0u);

  // The stream still delivers.
  std::unique_ptr<streamclass::FrameBuffer> last;
  ASSERT_EQ(rig_.pin().submit(kFrameBytes, last), STATUS_PENDING);
  ASSERT_TRUE(last->wait(10s));
  EXPECT_EQ(last->status(), STATUS_SUCCESS);
}

// Makes sure reads cancelled from several threads at once, while the transfer
// thread takes the oldest, each end once with a truthful status. Catches a
// read lost between two cancels or between a cancel and the thread, and a
// double completion (host accounting).
TEST_F(RaceTest, CancelsFromSeveralThreadsRaceTheTransferThread) {
  ASSERT_NO_FATAL_FAILURE(start_stepped());

  std::atomic<bool> failed{false};
  std::atomic<size_t> filled{0};
  std::atomic<size_t> cancelled{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    RaceBudget budget(1000, 3s);
    while (budget.next() && !failed) {
      std::unique_ptr<streamclass::FrameBuffer> buffers[3];
      for (auto &buffer : buffers)
        if (rig_.pin().submit(kFrameBytes, buffer) != STATUS_PENDING)
          failed = true;
      if (failed)
        break;
      for (auto &buffer : buffers) {
        if (random() % 4 != 0)
          buffer->cancel();
      }
      for (auto &buffer : buffers) {
        if (!buffer->wait(10s)) {
          failed = true;
          continue;
        }
        const Outcome outcome = outcome_of(*buffer);
        if (outcome.completions != 1)
          failed = true;
        else if (outcome.status == STATUS_SUCCESS && outcome.data_used == kFrameBytes)
          ++filled;
        else if (outcome.status == STATUS_CANCELLED && outcome.data_used == 0)
          ++cancelled;
        else
          failed = true;
      }
    }
  };
  std::thread first(worker, 1u);
  std::thread second(worker, 2u);
  first.join();
  second.join();
  EXPECT_FALSE(failed.load());
  EXPECT_GT(filled.load(), 0u);
  EXPECT_GT(cancelled.load(), 0u);
}
