// The promise checker itself: each promise it is given to watch, broken on
// purpose, must be reported with where and what; kept, it must stay quiet.
#include <atomic>
#include <thread>

#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

using PromiseCheckerTest = RigTest;

// A work item that waits until its event is set.
struct BlockedItem {
  WORK_QUEUE_ITEM item{};
  KEVENT release{};
  static VOID run(PVOID context) {
    auto *self = static_cast<BlockedItem *>(context);
    KeWaitForSingleObject(&self->release, Executive, KernelMode, FALSE, nullptr);
  }
};

} // namespace

// Makes sure the end-of-life check names a pool block, a work item and a misuse left behind, and passes a
// clean state. Catches a checker that lets a leak through.
TEST_F(PromiseCheckerTest, EndOfLifeCheckNamesWhatWasLeftBehind) {
  rig::Failures failures;
  rig::Baseline baseline = rig::promises_begin();
  EXPECT_TRUE(rig::promises_check(baseline, "clean", failures, 1000ms)) << failures.text();

  baseline = rig::promises_begin();
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 40, PoolTag("Leak"));
  ASSERT_NE(block, nullptr);
  BlockedItem blocked;
  KeInitializeEvent(&blocked.release, NotificationEvent, FALSE);
  ExInitializeWorkItem(&blocked.item, BlockedItem::run, &blocked);
  ExQueueWorkItem(&blocked.item, DelayedWorkQueue);
  quiet_misuse();
  platform::misuse_report(platform::MisuseCategory::Pool, "a block freed twice");
  EXPECT_FALSE(rig::promises_check(baseline, "N=7", failures, 200ms));
  const std::string text = failures.text();
  for (const char *line : {"N=7: pool tag 'Leak': 1 block(s), 40 bytes still allocated\n",
                           "N=7: 1 work item(s) still queued or running\n", "N=7: platform misuse ["})
    EXPECT_NE(text.find(line), std::string::npos) << text;
  KeSetEvent(&blocked.release, 0, FALSE);
  ExFreePool(block);
  ASSERT_TRUE(platform::work_queues_wait_idle(5000ms));
}

// Makes sure a step over its limit fails once, named, and is rescued, and one that returns late fails too.
// Catches a hang, or a close slower than its limit, reported as success.
TEST_F(PromiseCheckerTest, StepsOverTheirLimitAreNamedAndRescued) {
  rig::Failures failures;
  rig::StepWatch watch(failures, "seed 3, life 2");
  EXPECT_TRUE(watch.run("quick step", 1000ms, [] {}));
  std::atomic<bool> rescued{false};
  EXPECT_FALSE(watch.run(
      "stream close", 50ms, [&] { rig::wait_until([&] { return rescued.load(); }, 5s); },
      [&] { rescued = true; }));
  EXPECT_TRUE(rescued);
  EXPECT_FALSE(watch.run("device removal", 1ms, [] { std::this_thread::sleep_for(20ms); }));
  const std::vector<std::string> lines = failures.lines();
  ASSERT_EQ(lines.size(), 2u) << failures.text();
  EXPECT_EQ(lines[0].rfind("seed 3, life 2: still waiting in stream close after", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("seed 3, life 2: ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("device removal"), std::string::npos) << lines[1];
}
