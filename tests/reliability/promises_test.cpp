// The promise checker itself: each promise it is given to watch, broken on
// purpose, must be reported with where and what; kept, it must stay quiet.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/control.h"
#include "platform/kernel/event.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/workitem.h"
#include "tests/support/promises.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

using PromiseCheckerTest = RigTest;

bool contains(const rig::Failures &failures, const std::string &fragment) {
  for (const std::string &line : failures.lines())
    if (line.find(fragment) != std::string::npos)
      return true;
  return false;
}

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
  EXPECT_TRUE(contains(failures, "N=7: pool tag 'Leak': 1 block(s), 40 bytes still allocated"))
      << failures.text();
  EXPECT_TRUE(contains(failures, "N=7: 1 work item(s) still queued or running")) << failures.text();
  EXPECT_TRUE(contains(failures, "N=7: platform misuse [")) << failures.text();
  KeSetEvent(&blocked.release, 0, FALSE);
  ExFreePool(block);
  ASSERT_TRUE(platform::work_queues_wait_idle(5000ms));
}

// Makes sure a step over its limit fails once, named, and is rescued. Catches a hang reported as success.
TEST_F(PromiseCheckerTest, StepsOverTheirLimitAreNamedAndRescued) {
  rig::Failures failures;
  rig::StepWatch watch(failures, "seed 3, life 2");
  EXPECT_TRUE(watch.run("quick step", 1000ms, [] {}));
  EXPECT_TRUE(failures.empty()) << failures.text();

  std::mutex mutex;
  std::condition_variable cv;
  bool rescued = false;
  const bool in_time = watch.run(
      "stream close", 50ms,
      [&] {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, 5s, [&] { return rescued; });
      },
      [&] {
        std::lock_guard lock(mutex);
        rescued = true;
        cv.notify_all();
      });
  EXPECT_FALSE(in_time);
  EXPECT_TRUE(rescued);
  ASSERT_EQ(failures.size(), 1u) << failures.text();
  EXPECT_NE(failures.lines()[0].find("seed 3, life 2: still waiting in stream close after"),
            std::string::npos)
      << failures.text();

  // A step over its limit is reported once, whether the watchdog saw it
  // running or the step itself found how long it took.
  rig::Failures late;
  rig::StepWatch quick(late, "N=4");
  EXPECT_FALSE(quick.run("device removal", 1ms, [] { std::this_thread::sleep_for(20ms); }));
  EXPECT_EQ(late.size(), 1u) << late.text();
  EXPECT_TRUE(contains(late, "N=4: ")) << late.text();
  EXPECT_TRUE(contains(late, "device removal")) << late.text();
}
