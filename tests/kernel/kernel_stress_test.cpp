// Concurrency stress of the kernel services: bounded runs that ThreadSanitizer checks for races, and that
// catch lost wake-ups and leaks (the fixture's end check counts them). (Completions racing cancels, of the
// driver's own IRPs and the I/O manager's: the USB stress test.)
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 4;

template <typename Body> void run_threads(Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back(body, i);
  for (std::thread &t : threads)
    t.join();
}

class KernelStress : public RigTest {};

// Makes sure ping-pongs through events never stall. Catches lost wake-ups and a lock that excludes none.
TEST_F(KernelStress, SpinLockAndSynchronizationEvents) {
  constexpr int kRounds = 3000;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0; // guarded by lock
  KEVENT events[4]; // ping and pong of each pair of threads
  for (KEVENT &event : events)
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  run_threads([&](int t) {
    KEVENT *ping = &events[t & 2], *pong = &events[(t & 2) + 1];
    for (int i = 0; i < kRounds; ++i) {
      if (t % 2 == 0)
        KeSetEvent(ping, IO_NO_INCREMENT, FALSE);
      KEVENT *mine = t % 2 == 0 ? pong : ping;
      // 1 ms waits: a set must survive timed-out waits.
      if (!rig::wait_until([&] { return rig::wait_object(mine, 1ms) == STATUS_SUCCESS; }, 10s)) {
        ADD_FAILURE() << "thread " << t << " stalled in round " << i;
        return;
      }
      if (t % 2 == 1)
        KeSetEvent(pong, IO_NO_INCREMENT, FALSE);
      const KIRQL old = KfAcquireSpinLock(&lock);
      ++counter;
      KfReleaseSpinLock(&lock, old);
    }
  });
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

std::atomic<int> runs{0};

// The routine of a pool work item that frees itself.
VOID run_item(PVOID item) {
  runs++;
  ExFreePool(item);
}

VOID run_thread(PVOID) {
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  runs++;
}

// Makes sure work items and system threads started anywhere run once and end. Catches leftovers.
TEST_F(KernelStress, WorkItemsAndThreadsFromManyThreads) {
  constexpr int kItems = 300, kEvery = 12; // a system thread with every 12th item
  runs = 0;
  run_threads([&](int t) {
    for (int i = 0; i < kItems; ++i) {
      auto *item = static_cast<PWORK_QUEUE_ITEM>(
          ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), PoolTag("Tst1")));
      ExInitializeWorkItem(item, run_item, item);
      ExQueueWorkItem(item, DelayedWorkQueue);
      if (i % kEvery != 0)
        continue;
      HANDLE handle = nullptr;
      ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, run_thread, nullptr),
                STATUS_SUCCESS);
      PVOID object = nullptr;
      EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
                STATUS_SUCCESS);
      ZwClose(handle);
      if ((t + i) % 2 == 0)
        rig::wait_object(object);
      ObDereferenceObject(object); // before or after the thread ended
    }
  });
  ASSERT_TRUE(platform::work_queues_wait_idle(30s));
  ASSERT_TRUE(platform::system_threads_wait_all(30s));
  EXPECT_EQ(runs.load(), kThreads * (kItems + kItems / kEvery));
}

} // namespace
