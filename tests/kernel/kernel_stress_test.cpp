// Concurrency stress of the kernel services: bounded runs that ThreadSanitizer checks for races, and that
// catch lost wake-ups, lost or doubled completions and leaks (the fixture's end check counts them).
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/kernel/test_bus.h"
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

// One request of a submitter: its event and how often its completion routine ran.
struct Sent {
  KEVENT done;
  std::atomic<int> completions{0};
};

NTSTATUS count_completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto *sent = static_cast<Sent *>(context);
  sent->completions++;
  KeSetEvent(&sent->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED; // the sender frees the IRP
}

// Makes sure racing completions and cancels complete each IRP once. Catches lost or double ones.
TEST_F(KernelStress, RequestsCompletedOrCancelledFromOtherThreads) {
  constexpr int kPerSubmitter = 300;
  TestBus bus;
  bus.pend = true;
  std::atomic<int> finished{0};
  std::vector<std::thread> completers;
  for (int c = 0; c < 2; ++c)
    completers.emplace_back([&] {
      while (finished.load() < kThreads * kPerSubmitter)
        if (PIRP irp = bus.take_parked(5ms); irp != nullptr)
          TestBus::complete(irp, STATUS_SUCCESS, 7);
    });
  run_threads([&](int) {
    for (int i = 0; i < kPerSubmitter; ++i, finished++) {
      Sent sent;
      KeInitializeEvent(&sent.done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      const bool own = i % 2 == 0; // else the I/O manager's internal request
      PIRP irp =
          own ? IoAllocateIrp(1, FALSE)
              : IoBuildDeviceIoControlRequest(0, bus.device, nullptr, 0, nullptr, 0, TRUE, &sent.done, &iosb);
      ASSERT_NE(irp, nullptr);
      if (own) {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, count_completion, &sent, TRUE, TRUE, TRUE);
      }
      EXPECT_EQ(IofCallDriver(bus.device, irp), STATUS_PENDING);
      if (i % 4 == 0) { // racing the completers, early or a little later
        if (i % 8 == 4)
          std::this_thread::yield();
        IoCancelIrp(irp);
      }
      EXPECT_EQ(rig::wait_object(&sent.done), STATUS_SUCCESS);
      if (!own) {
        EXPECT_EQ(iosb.Information, 7u);
        continue;
      }
      EXPECT_EQ(sent.completions.load(), 1);
      EXPECT_TRUE(irp->IoStatus.Status == STATUS_SUCCESS || irp->IoStatus.Status == STATUS_CANCELLED);
      IoFreeIrp(irp);
    }
  });
  for (std::thread &t : completers)
    t.join();
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
