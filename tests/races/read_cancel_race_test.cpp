// Races between cancelling a read and the transfer thread completing it.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/races/race_test.h"

using namespace std::chrono_literals;

// Makes sure reads cancelled from two threads while the thread fills them end once, as a whole frame or
// cancelled with no data. Catches a read completed twice or lost, a status and data that disagree.
TEST_F(RaceTest, CancelsFromSeveralThreadsRaceTheTransferThread) {
  ASSERT_NO_FATAL_FAILURE(start_stepped());
  const ULONG bytes = rig_.image_bytes();
  auto read_once = [&] {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    EXPECT_EQ(rig_.pin().submit(bytes, buffer), STATUS_PENDING);
    return buffer && buffer->wait(10s) && buffer->status() == STATUS_SUCCESS;
  };
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(read_once());
  const auto per_read =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began) / 5;

  std::atomic<size_t> filled{0}, cancelled{0}, wrong{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    RaceBudget budget(1500, 3s);
    while (budget.next()) {
      std::unique_ptr<streamclass::FrameBuffer> reads[3];
      for (auto &read : reads)
        if (rig_.pin().submit(bytes, read) != STATUS_PENDING)
          wrong++;
      for (auto &read : reads) {
        if (!read || random() % 4 == 0)
          continue; // left to the transfer thread
        const auto wait = std::chrono::microseconds(
            budget.done() % 4 == 0 ? 0 : per_read.count() * 2 * (random() % 1000) / 1000);
        for (const auto until = std::chrono::steady_clock::now() + wait;
             std::chrono::steady_clock::now() < until;)
          std::this_thread::yield();
        read->cancel();
      }
      for (auto &read : reads) {
        if (!read || !read->wait(10s) || read->request().completions() != 1)
          wrong++;
        else if (read->status() == STATUS_SUCCESS && read->frame().header().DataUsed == bytes)
          filled++;
        else if (read->status() == STATUS_CANCELLED && read->frame().header().DataUsed == 0)
          cancelled++;
        else
          wrong++;
      }
    }
  };
  std::thread first(worker, 1u);
  std::thread second(worker, 2u);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0u) << "reads lost, completed twice, or with a status and data that disagree";
  EXPECT_GT(filled.load(), 0u);
  EXPECT_GT(cancelled.load(), 0u);
  EXPECT_TRUE(read_once()) << "the stream still delivers";
}
