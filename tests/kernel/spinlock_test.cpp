// Spin locks: exclusion, IRQL bookkeeping and owner checks.
#include <atomic>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/support/platform_test.h"

namespace {

class SpinLockTest : public PlatformTest {};

// Acquire raises to DISPATCH_LEVEL and returns the old IRQL; release
// restores it; catches IRQL left raised after a release.
TEST_F(SpinLockTest, AcquireRaisesReleaseRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old = KfAcquireSpinLock(&lock);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  KIRQL inner_old;
  KeAcquireSpinLock(&inner, &inner_old);
  EXPECT_EQ(inner_old, DISPATCH_LEVEL);
  KeReleaseSpinLock(&inner, inner_old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KfReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A held lock keeps another thread out until it is released.
TEST_F(SpinLockTest, ExcludesOtherThreads) {
  KSPIN_LOCK lock{}; // zero-filled memory is a free lock
  KIRQL old = KfAcquireSpinLock(&lock);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    KIRQL o = KfAcquireSpinLock(&lock);
    entered = true;
    KfReleaseSpinLock(&lock, o);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(entered.load());
  KfReleaseSpinLock(&lock, old);
  other.join();
  EXPECT_TRUE(entered.load());
}

// Release by a thread that does not hold the lock, release of a free lock
// and a recursive acquire are reported; none deadlocks.
TEST_F(SpinLockTest, OwnerChecks) {
  quiet_misuse();
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::SpinLock), 1u);

  KIRQL old = KfAcquireSpinLock(&lock);
  std::thread stranger([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); });
  stranger.join();
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::SpinLock), 1u);
  KeLowerIrql(old); // the stranger released it for us

  old = KfAcquireSpinLock(&lock);
  KIRQL again = KfAcquireSpinLock(&lock);
  KfReleaseSpinLock(&lock, again);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KfReleaseSpinLock(&lock, old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::SpinLock), 1u);
  // Free again: another thread can take it.
  std::thread other([&] {
    KIRQL o = KfAcquireSpinLock(&lock);
    KfReleaseSpinLock(&lock, o);
  });
  other.join();
}

// Holding a spin lock forbids blocking waits (DISPATCH_LEVEL).
TEST_F(SpinLockTest, WaitWhileHoldingIsReported) {
  quiet_misuse();
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old = KfAcquireSpinLock(&lock);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KfReleaseSpinLock(&lock, old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irql), 1u);
}

} // namespace
