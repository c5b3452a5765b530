// Concurrency of the debug channel: many threads log at once through the
// device's procedure while the sink is switched and the device is restarted.
#include "diag/debug_msg.h"
#include "tests/support/rig_test.h"

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

class DebugMsgStress : public RigTest {};

// Makes sure messages arrive whole and once while sinks change. Catches torn messages, writes to dead sinks.
TEST_F(DebugMsgStress, ConcurrentMessagesArriveWholeWhileSinksChange) {
  constexpr int kThreads = 6, kMessages = 2000;
  std::atomic<bool> stop{true}; // first a single batch per thread
  auto log_messages = [&](int thread) {
    do {
      for (int i = 0; i < kMessages; ++i)
        DubugMsg(1 + i % 4, "thread %d message %d %s\n", thread, i, "payload");
    } while (!stop.load());
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(log_messages, t);
  for (std::thread &thread : threads)
    thread.join();
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kMessages; ++i)
      if (1 + i % 4 <= 3)
        expected.insert("thread " + std::to_string(t) + " message " + std::to_string(i) + " payload\n");
  const std::vector<std::string> lines = log();
  EXPECT_EQ(lines.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);

  stop = false;
  threads.clear();
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(log_messages, t);
  for (int round = 0; round < 60; ++round) { // each sink sees messages before the next switch
    auto sink = std::make_shared<platform::LineRecorder>();
    if (round % 6 == 5) { // a restart: the threads keep the procedure they found
      platform::debug_device_remove();
      EXPECT_EQ(platform::debug_device_create(sink), STATUS_SUCCESS);
      StartDebugMsg();
    } else {
      platform::debug_device_set_sink(sink);
    }
    EXPECT_TRUE(sink->wait_for("payload", std::chrono::seconds(10)));
  }
  stop = true;
  for (std::thread &thread : threads)
    thread.join();
}

} // namespace
