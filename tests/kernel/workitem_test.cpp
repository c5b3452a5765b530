// Work items: order, routines that free or requeue their item, misuse.
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/support/platform_test.h"

namespace {

using std::chrono::seconds;

// Items record the order their routines ran in.
struct OrderLog {
  std::mutex lock;
  std::vector<int> order;
};

struct OrderedItem {
  WORK_QUEUE_ITEM item;
  OrderLog *log;
  int number;
};

VOID record_order(PVOID parameter) {
  auto *entry = static_cast<OrderedItem *>(parameter);
  std::lock_guard<std::mutex> hold(entry->log->lock);
  entry->log->order.push_back(entry->number);
}

class WorkItemTest : public PlatformTest {};

// Items on one queue start in the order they were queued (the hyper-critical
// queue has a single worker, so start order is run order).
TEST_F(WorkItemTest, RunInQueueOrder) {
  OrderLog log;
  OrderedItem items[8];
  for (int i = 0; i < 8; ++i) {
    items[i].log = &log;
    items[i].number = i;
    ExInitializeWorkItem(&items[i].item, record_order, &items[i]);
    ExQueueWorkItem(&items[i].item, HyperCriticalWorkQueue);
  }
  ASSERT_TRUE(platform::work_queues_wait_idle(seconds(10)));
  EXPECT_EQ(log.order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

// The zoom work item's pattern: a pool item whose routine frees it, on the
// delayed queue; the pool shows nothing left afterwards.
struct SelfFreeing {
  WORK_QUEUE_ITEM item;
  std::atomic<int> *runs;
};

VOID free_own_item(PVOID parameter) {
  auto *entry = static_cast<SelfFreeing *>(parameter);
  (*entry->runs)++;
  ExFreePool(entry);
}

TEST_F(WorkItemTest, RoutineMayFreeItsItem) {
  std::atomic<int> runs{0};
  for (WORK_QUEUE_TYPE queue : {DelayedWorkQueue, CriticalWorkQueue, HyperCriticalWorkQueue}) {
    auto *entry =
        static_cast<SelfFreeing *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SelfFreeing), PoolTag("Wdm ")));
    ASSERT_NE(entry, nullptr);
    entry->runs = &runs;
    ExInitializeWorkItem(&entry->item, free_own_item, entry);
    ExQueueWorkItem(&entry->item, queue);
  }
  ASSERT_TRUE(platform::work_queues_wait_idle(seconds(10)));
  EXPECT_EQ(runs.load(), 3);
  EXPECT_EQ(platform::work_items_pending(), 0u);
}

// A routine may queue its own item again once it runs.
struct Requeuing {
  WORK_QUEUE_ITEM item;
  int remaining;
  KEVENT done;
};

VOID requeue_self(PVOID parameter) {
  auto *entry = static_cast<Requeuing *>(parameter);
  if (--entry->remaining > 0)
    ExQueueWorkItem(&entry->item, DelayedWorkQueue);
  else
    KeSetEvent(&entry->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, RoutineMayRequeueItsItem) {
  Requeuing entry;
  entry.remaining = 5;
  KeInitializeEvent(&entry.done, NotificationEvent, FALSE);
  ExInitializeWorkItem(&entry.item, requeue_self, &entry);
  ExQueueWorkItem(&entry.item, DelayedWorkQueue);
  LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-10 * 10000000);
  EXPECT_EQ(KeWaitForSingleObject(&entry.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  ASSERT_TRUE(platform::work_queues_wait_idle(seconds(10)));
  EXPECT_EQ(entry.remaining, 0);
}

// A blocked item does not hold up another queue, and shutting the queues
// down waits for running items and restarts on demand.
TEST_F(WorkItemTest, QueuesAreIndependentAndRestartable) {
  struct Blocker {
    WORK_QUEUE_ITEM item;
    KEVENT release;
  } blocker;
  KeInitializeEvent(&blocker.release, NotificationEvent, FALSE);
  ExInitializeWorkItem(
      &blocker.item,
      [](PVOID p) {
        KeWaitForSingleObject(&static_cast<Blocker *>(p)->release, Executive, KernelMode, FALSE, nullptr);
      },
      &blocker);
  ExQueueWorkItem(&blocker.item, DelayedWorkQueue);

  OrderLog log;
  OrderedItem other{{}, &log, 7};
  ExInitializeWorkItem(&other.item, record_order, &other);
  ExQueueWorkItem(&other.item, CriticalWorkQueue);
  EXPECT_FALSE(platform::work_queues_wait_idle(std::chrono::milliseconds(100)));
  {
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.order, std::vector<int>{7});
  }
  KeSetEvent(&blocker.release, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(platform::work_queues_shutdown(seconds(10)));
  ExQueueWorkItem(&other.item, CriticalWorkQueue);
  ASSERT_TRUE(platform::work_queues_wait_idle(seconds(10)));
  std::lock_guard<std::mutex> hold(log.lock);
  EXPECT_EQ(log.order, (std::vector<int>{7, 7}));
}

// Queuing an item twice, an item without routine or an unknown queue is
// reported and ignored.
TEST_F(WorkItemTest, MisuseIsReported) {
  quiet_misuse();
  struct Slow {
    WORK_QUEUE_ITEM item;
    KEVENT release;
  } slow;
  KeInitializeEvent(&slow.release, NotificationEvent, FALSE);
  std::atomic<int> runs{0};
  static std::atomic<int> *run_counter;
  run_counter = &runs;
  ExInitializeWorkItem(
      &slow.item, [](PVOID) { (*run_counter)++; }, &slow);
  WORK_QUEUE_ITEM blocker;
  ExInitializeWorkItem(
      &blocker,
      [](PVOID p) { KeWaitForSingleObject(static_cast<PKEVENT>(p), Executive, KernelMode, FALSE, nullptr); },
      &slow.release);
  ExQueueWorkItem(&blocker, HyperCriticalWorkQueue);
  ExQueueWorkItem(&slow.item, HyperCriticalWorkQueue);
  ExQueueWorkItem(&slow.item, HyperCriticalWorkQueue); // still queued behind the blocker
  WORK_QUEUE_ITEM empty;
  ExInitializeWorkItem(&empty, nullptr, nullptr);
  ExQueueWorkItem(&empty, DelayedWorkQueue);
  ExQueueWorkItem(&slow.item, static_cast<WORK_QUEUE_TYPE>(7));
  KeSetEvent(&slow.release, IO_NO_INCREMENT, FALSE);
  ASSERT_TRUE(platform::work_queues_wait_idle(seconds(10)));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::WorkItem), 3u);
}

} // namespace
