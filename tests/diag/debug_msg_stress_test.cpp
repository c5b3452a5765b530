// Concurrency of the debug channel: many threads log at once through the
// device's procedure while the sink is switched and the device is removed.
#include "diag/debug_msg.h"
#include "platform/debugdev/debug_device.h"
#include "platform/debugdev/line_recorder.h"
#include "tests/support/platform_test.h"

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 6;
constexpr int kMessages = 2000;

class DebugMsgStressTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gDebugMsgProc.store(nullptr);
  }
  void TearDown() override {
    platform::debug_device_remove();
    gDebugMsgProc.store(nullptr);
    PlatformTest::TearDown();
  }
};

// Each thread logs kMessages at levels 1..4 ("thread t message i").
void LogMessages(int thread) {
  for (int i = 0; i < kMessages; ++i)
    DubugMsg(1 + i % 4, "thread %d message %d %s\n", thread, i, "payload");
}

} // namespace

// Every passed message arrives whole and exactly once: catches messages lost,
// torn or interleaved by concurrent callers of the procedure.
TEST_F(DebugMsgStressTest, ConcurrentMessagesArriveWhole) {
  auto recorder = std::make_shared<platform::LineRecorder>();
  ASSERT_EQ(platform::debug_device_create(recorder), STATUS_SUCCESS);
  StartDebugMsg();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(LogMessages, t);
  for (auto &thread : threads)
    thread.join();

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kMessages; ++i)
      if (1 + i % 4 <= 3)
        expected.insert("thread " + std::to_string(t) + " message " + std::to_string(i) + " payload\n");
  auto lines = recorder->lines();
  EXPECT_EQ(lines.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);
}

// Sinks switched and the device removed while threads log: catches a message
// written to a sink that is being destroyed (the sanitizers report it).
TEST_F(DebugMsgStressTest, SinkSwitchAndRemovalWhileLogging) {
  ASSERT_EQ(platform::debug_device_create(std::make_shared<platform::LineRecorder>()), STATUS_SUCCESS);
  StartDebugMsg();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads - 1; ++t)
    threads.emplace_back([t, &stop] {
      while (!stop.load())
        LogMessages(t);
    });
  // Each new sink must see messages before the next switch, so switches
  // really happen while messages are being delivered.
  for (int round = 0; round < 50; ++round) {
    auto sink = std::make_shared<platform::LineRecorder>();
    platform::debug_device_set_sink(sink);
    EXPECT_TRUE(sink->wait_for("payload", std::chrono::seconds(10)));
  }
  // Device removed and created again, as a device restart does, while the
  // threads keep the procedure they found.
  for (int round = 0; round < 10; ++round) {
    platform::debug_device_remove();
    auto sink = std::make_shared<platform::LineRecorder>();
    ASSERT_EQ(platform::debug_device_create(sink), STATUS_SUCCESS);
    StartDebugMsg();
    EXPECT_TRUE(sink->wait_for("payload", std::chrono::seconds(10)));
  }
  stop.store(true);
  for (auto &thread : threads)
    thread.join();
}
