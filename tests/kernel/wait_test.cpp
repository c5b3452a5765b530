// Waits on events, and spin locks with their owner checks. (Relative time limits: the device start's 3 s
// limit and the kernel stress test's timed waits; thread objects signalled at the end: the transfer thread's
// stop tests and the kernel stress test.)
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

namespace {

using namespace std::chrono_literals;

class WaitTest : public RigTest {};

// Makes sure a set releases all waiters or exactly one. Catches a set that wakes too few or too many.
TEST_F(WaitTest, NotificationReleasesAllSynchronizationOne) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    const bool notification = type == NotificationEvent;
    SCOPED_TRACE(notification ? "notification" : "synchronization");
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
      waiters.emplace_back(
          [&] { released += rig::wait_object(&event) == STATUS_SUCCESS ? 1 : 100; }); // 100: failed
    std::this_thread::sleep_for(20ms);                                                // let them queue
    for (int set = 1; set <= (notification ? 1 : 3); ++set) {
      EXPECT_EQ(released.load(), set - 1);
      EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
      const int expected = notification ? 3 : set;
      EXPECT_TRUE(rig::wait_until([&] { return released.load() >= expected; }, 10s));
      std::this_thread::sleep_for(20ms); // no further waiter may follow
      EXPECT_EQ(released.load(), expected);
    }
    for (std::thread &t : waiters)
      t.join();
    EXPECT_EQ(rig::wait_object(&event, 0ms), notification ? STATUS_SUCCESS : STATUS_TIMEOUT);
    EXPECT_EQ(KeResetEvent(&event) != 0, notification);
  }
}

// Makes sure blocking at DISPATCH_LEVEL or on no object is reported. Catches the driver blocking there.
TEST_F(WaitTest, WaitMisuseIsReported) {
  quiet_misuse();
  KEVENT raw{};
  EXPECT_EQ(rig::wait_object(&raw), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Wait), 1u);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeInitializeEvent(&raw, NotificationEvent, TRUE);
  const KIRQL old = KfAcquireSpinLock(&lock);
  EXPECT_EQ(rig::wait_object(&raw, 0ms), STATUS_SUCCESS); // polling is fine
  EXPECT_EQ(rig::wait_object(&raw, 1ms), STATUS_SUCCESS);
  KfReleaseSpinLock(&lock, old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irql), 1u);
}

VOID return_holding(PVOID lock) {
  (void)KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(lock));
}

// Makes sure a spin lock checks its owner. Catches lock faults hidden or left held. (The IRQL it raises and
// restores: the test above and every test's end check.)
TEST_F(WaitTest, SpinLockChecksItsOwner) {
  quiet_misuse();
  KSPIN_LOCK lock{};                       // zero-filled memory is a free lock
  KfReleaseSpinLock(&lock, PASSIVE_LEVEL); // free
  KIRQL old = KfAcquireSpinLock(&lock);
  std::thread([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join(); // by a stranger
  KeLowerIrql(old);
  old = KfAcquireSpinLock(&lock);
  KfReleaseSpinLock(&lock, KfAcquireSpinLock(&lock)); // recursive
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KfReleaseSpinLock(&lock, old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::SpinLock), 3u);

  HANDLE handle = nullptr; // a system thread that returns with the lock held
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, return_holding, &lock),
            STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_TRUE(platform::system_threads_wait_all(10s));
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irql), 1u);
}

} // namespace
