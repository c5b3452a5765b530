// Concurrency stress of the kernel services: bounded runs that
// ThreadSanitizer checks for races, and that catch lost wake-ups, lost or
// doubled completions and leaks under contention.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/kernel/test_bus.h"
#include "tests/support/platform_test.h"

namespace {

using std::chrono::seconds;

constexpr int kThreads = 4;

template <typename Body> void run_threads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i)
    threads.emplace_back(body, i);
  for (std::thread &t : threads)
    t.join();
}

class KernelStress : public PlatformTest {};

// Many threads push and pop list entries under one spin lock; every entry
// comes out exactly once and the plain counter guarded by the lock is exact.
TEST_F(KernelStress, SpinLockGuardsList) {
  struct Node {
    LIST_ENTRY link;
    int owner;
  };
  constexpr int kRounds = 3000;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY list;
  InitializeListHead(&list);
  long guarded = 0;
  std::vector<std::vector<Node>> nodes(kThreads, std::vector<Node>(kRounds));
  std::atomic<int> popped{0};
  run_threads(kThreads, [&](int t) {
    for (int i = 0; i < kRounds; ++i) {
      nodes[t][i].owner = t;
      KIRQL old = KfAcquireSpinLock(&lock);
      InsertTailList(&list, &nodes[t][i].link);
      ++guarded;
      KfReleaseSpinLock(&lock, old);
      if (i % 2 == 1) {
        old = KfAcquireSpinLock(&lock);
        if (!IsListEmpty(&list)) {
          RemoveHeadList(&list);
          popped++;
        }
        KfReleaseSpinLock(&lock, old);
      }
    }
  });
  int left = 0;
  while (!IsListEmpty(&list)) {
    RemoveHeadList(&list);
    ++left;
  }
  EXPECT_EQ(guarded, long{kThreads} * kRounds);
  EXPECT_EQ(popped.load() + left, kThreads * kRounds);
}

// Producers hand items to consumers through a counter under a spin lock and
// a synchronization event; consumers wait with short timeouts. Every item
// is consumed: no wake-up is lost.
TEST_F(KernelStress, EventsHandOffWithoutLostWakeups) {
  constexpr int kItemsPerProducer = 2000;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT available;
  KeInitializeEvent(&available, SynchronizationEvent, FALSE);
  long items = 0; // guarded by lock
  std::atomic<int> consumed{0};
  std::atomic<bool> producing{true};
  const int total = 2 * kItemsPerProducer;
  std::vector<std::thread> consumers;
  for (int c = 0; c < 2; ++c)
    consumers.emplace_back([&] {
      LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-2 * 10000); // 2 ms
      while (consumed.load() < total) {
        KeWaitForSingleObject(&available, Executive, KernelMode, FALSE, &timeout);
        for (;;) {
          KIRQL old = KfAcquireSpinLock(&lock);
          bool got = items > 0;
          if (got)
            --items;
          KfReleaseSpinLock(&lock, old);
          if (!got)
            break;
          consumed++;
        }
      }
    });
  run_threads(2, [&](int) {
    for (int i = 0; i < kItemsPerProducer; ++i) {
      KIRQL old = KfAcquireSpinLock(&lock);
      ++items;
      KfReleaseSpinLock(&lock, old);
      KeSetEvent(&available, IO_NO_INCREMENT, FALSE);
    }
  });
  producing = false;
  for (std::thread &t : consumers)
    t.join();
  EXPECT_EQ(consumed.load(), total);
}

// Ping-pong between two threads through two synchronization events, and a
// notification event broadcast to several waiters per round.
TEST_F(KernelStress, PingPongAndBroadcast) {
  constexpr int kRounds = 2000;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  }
  other.join();

  // Rounds alternate between two notification events, so that waiters that
  // are done with a round block on the next one instead of spinning.
  constexpr int kBroadcasts = 200;
  KEVENT go[2];
  KeInitializeEvent(&go[0], NotificationEvent, FALSE);
  KeInitializeEvent(&go[1], NotificationEvent, FALSE);
  std::atomic<int> arrived{0};
  KEVENT all_arrived;
  KeInitializeEvent(&all_arrived, SynchronizationEvent, FALSE);
  std::vector<std::thread> waiters;
  std::atomic<int> round{0};
  for (int w = 0; w < 3; ++w)
    waiters.emplace_back([&] {
      for (int r = 1; r <= kBroadcasts; ++r) {
        while (round.load() < r)
          KeWaitForSingleObject(&go[r % 2], Executive, KernelMode, FALSE, nullptr);
        if (++arrived % 3 == 0)
          KeSetEvent(&all_arrived, IO_NO_INCREMENT, FALSE);
      }
    });
  for (int r = 1; r <= kBroadcasts; ++r) {
    KeClearEvent(&go[(r + 1) % 2]);
    round = r;
    KeSetEvent(&go[r % 2], IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&all_arrived, Executive, KernelMode, FALSE, nullptr);
  }
  for (std::thread &t : waiters)
    t.join();
  EXPECT_EQ(arrived.load(), 3 * kBroadcasts);
}

// USB-transfer-shaped IRPs from several threads, pended by the bus and
// completed by other threads (some at once): every routine runs once, every
// IRP is freed.
TEST_F(KernelStress, IrpsCompletedFromOtherThreads) {
  constexpr int kPerSubmitter = 300;
  std::unique_ptr<TestBus> bus = TestBus::create();
  bus->pend = true;
  std::atomic<int> completed{0};
  std::atomic<bool> submitting{true};
  struct Transfer {
    std::atomic<int> *completed;
    KEVENT done;
  };
  auto routine = [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
    auto *transfer = static_cast<Transfer *>(context);
    IoFreeIrp(irp);
    (*transfer->completed)++;
    KeSetEvent(&transfer->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  std::vector<std::thread> completers;
  for (int c = 0; c < 2; ++c)
    completers.emplace_back([&] {
      while (submitting.load() || completed.load() < kThreads * kPerSubmitter) {
        PIRP irp = bus->take_pending(std::chrono::milliseconds(5));
        if (irp != nullptr)
          TestBus::complete(irp, STATUS_SUCCESS, 1);
      }
    });
  run_threads(kThreads, [&](int) {
    Transfer transfer{&completed, {}};
    for (int i = 0; i < kPerSubmitter; ++i) {
      KeInitializeEvent(&transfer.done, NotificationEvent, FALSE);
      PIRP irp = IoAllocateIrp(bus->device->StackSize, FALSE);
      ASSERT_NE(irp, nullptr);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irp, routine, &transfer, TRUE, TRUE, TRUE);
      IofCallDriver(bus->device, irp);
      KeWaitForSingleObject(&transfer.done, Executive, KernelMode, FALSE, nullptr);
    }
  });
  submitting = false;
  for (std::thread &t : completers)
    t.join();
  EXPECT_EQ(completed.load(), kThreads * kPerSubmitter);
  EXPECT_EQ(platform::irps_live(), 0u);
}

// Device-control requests waited on with the I/O manager's event, while a
// completer thread finishes them.
TEST_F(KernelStress, DeviceControlRequestsWithEvents) {
  constexpr int kPerThread = 200;
  std::unique_ptr<TestBus> bus = TestBus::create();
  bus->pend = true;
  std::atomic<int> finished{0};
  std::thread completer([&] {
    while (finished.load() < kThreads * kPerThread) {
      PIRP irp = bus->take_pending(std::chrono::milliseconds(5));
      if (irp != nullptr)
        TestBus::complete(irp, STATUS_SUCCESS, 7);
    }
  });
  run_threads(kThreads, [&](int) {
    for (int i = 0; i < kPerThread; ++i) {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = IoBuildDeviceIoControlRequest(0, bus->device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
      ASSERT_NE(irp, nullptr);
      if (IofCallDriver(bus->device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      EXPECT_EQ(iosb.Information, 7u);
      finished++;
    }
  });
  completer.join();
  EXPECT_EQ(platform::irps_live(), 0u);
}

// Cancellation racing completion: the bus completes parked IRPs while
// another thread cancels them; whoever takes the cancel routine away first
// owns the completion, so every IRP completes exactly once.
TEST_F(KernelStress, CancelRacesCompletion) {
  constexpr int kIrps = 400;
  static TestBus *cancel_bus;
  std::unique_ptr<TestBus> bus = TestBus::create();
  cancel_bus = bus.get();
  bus->pend = true;
  std::atomic<int> done{0};
  auto routine = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
    (*static_cast<std::atomic<int> *>(context))++;
    return STATUS_MORE_PROCESSING_REQUIRED; // freed by the test at the end
  };
  // The cancel routine owns the IRP: it unlinks it if the bus still has it.
  auto cancel_routine = [](PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old = KfAcquireSpinLock(&cancel_bus->lock);
    if (ListEntryLinked(&irp->Tail.Overlay.ListEntry))
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&cancel_bus->lock, old);
    TestBus::complete(irp, STATUS_CANCELLED);
  };
  std::vector<PIRP> sent(kIrps);
  for (int i = 0; i < kIrps; ++i) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, routine, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IofCallDriver(bus->device, irp), STATUS_PENDING); // parked; nobody takes it yet
    IoSetCancelRoutine(irp, cancel_routine);
    sent[i] = irp;
  }
  std::thread completer([&] {
    for (PIRP irp; (irp = bus->take_pending(std::chrono::milliseconds(50))) != nullptr;)
      if (IoSetCancelRoutine(irp, nullptr) != nullptr)
        TestBus::complete(irp, STATUS_SUCCESS);
  });
  std::thread canceller([&] {
    for (int i = kIrps - 1; i >= 0; --i)
      IoCancelIrp(sent[i]);
  });
  canceller.join();
  completer.join();
  EXPECT_EQ(done.load(), kIrps);
  for (PIRP irp : sent)
    IoFreeIrp(irp);
  EXPECT_EQ(platform::irps_live(), 0u);
}

// Work items queued from many threads (some from work items) all run once;
// each frees its own pool item.
TEST_F(KernelStress, WorkItemsFromManyThreads) {
  constexpr int kPerThread = 300;
  struct Item {
    WORK_QUEUE_ITEM item;
    std::atomic<int> *runs;
    bool spawn;
  };
  static std::atomic<int> runs;
  runs = 0;
  static PWORKER_THREAD_ROUTINE routine;
  routine = [](PVOID parameter) {
    auto *item = static_cast<Item *>(parameter);
    if (item->spawn) {
      auto *child = static_cast<Item *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Item), PoolTag("Wdm ")));
      child->runs = item->runs;
      child->spawn = false;
      ExInitializeWorkItem(&child->item, routine, child);
      ExQueueWorkItem(&child->item, DelayedWorkQueue);
    }
    (*item->runs)++;
    ExFreePool(item);
  };
  run_threads(kThreads, [&](int t) {
    std::mt19937 random(static_cast<unsigned>(t));
    for (int i = 0; i < kPerThread; ++i) {
      auto *item = static_cast<Item *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Item), PoolTag("Wdm ")));
      item->runs = &runs;
      item->spawn = i % 10 == 0;
      ExInitializeWorkItem(&item->item, routine, item);
      ExQueueWorkItem(&item->item, static_cast<WORK_QUEUE_TYPE>(random() % MaximumWorkQueue));
    }
  });
  ASSERT_TRUE(platform::work_queues_wait_idle(seconds(30)));
  EXPECT_EQ(runs.load(), kThreads * kPerThread + kThreads * kPerThread / 10);
}

// System threads started and stopped from several threads, their objects
// waited on and released in either order.
TEST_F(KernelStress, ThreadChurn) {
  constexpr int kPerThread = 25;
  static std::atomic<int> ran;
  ran = 0;
  run_threads(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      HANDLE handle = nullptr;
      ASSERT_EQ(PsCreateSystemThread(
                    &handle, 0, nullptr, nullptr, nullptr,
                    [](PVOID) {
                      KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
                      ran++;
                    },
                    nullptr),
                STATUS_SUCCESS);
      PVOID object = nullptr;
      ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr);
      ZwClose(handle);
      if ((t + i) % 2 == 0)
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
      ObDereferenceObject(object);
    }
  });
  ASSERT_TRUE(platform::system_threads_wait_all(seconds(30)));
  EXPECT_EQ(ran.load(), kThreads * kPerThread);
}

} // namespace
