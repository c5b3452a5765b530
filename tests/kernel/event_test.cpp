// Events and waits: notification vs synchronization semantics, timeouts of
// every kind, and misuse of waits.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/support/platform_test.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

LARGE_INTEGER relative_ms(LONG ms) {
  return RtlConvertLongToLargeInteger(-ms * 10000);
}

NTSTATUS wait_for(KEVENT *event, LARGE_INTEGER *timeout) {
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

// Starts `count` threads that each wait (forever) on `event` and count
// their release in `released`.
std::vector<std::thread> start_waiters(KEVENT *event, int count, std::atomic<int> &released) {
  std::vector<std::thread> waiters;
  for (int i = 0; i < count; ++i)
    waiters.emplace_back([event, &released] {
      EXPECT_EQ(wait_for(event, nullptr), STATUS_SUCCESS);
      released++;
    });
  return waiters;
}

// Waits (bounded) until `counter` reaches `value`.
bool reaches(const std::atomic<int> &counter, int value) {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (counter.load() < value && Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(1));
  return counter.load() >= value;
}

class EventTest : public PlatformTest {};

// KeSetEvent/KeResetEvent return the previous state; KeReadStateEvent and
// KeClearEvent do what they say; catches inverted or missing results.
TEST_F(EventTest, StateCallsReturnPreviousState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_NE(KeReadStateEvent(&event), 0);
  EXPECT_NE(KeResetEvent(&event), 0);
  EXPECT_EQ(KeResetEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_NE(KeReadStateEvent(&event), 0);
}

// A notification event releases every waiter and stays set; a
// synchronization event is consumed by the wait it satisfies.
TEST_F(EventTest, NotificationStaysSetSynchronizationIsConsumed) {
  KEVENT notification;
  KeInitializeEvent(&notification, NotificationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(wait_for(&notification, &zero), STATUS_SUCCESS);
  EXPECT_EQ(wait_for(&notification, &zero), STATUS_SUCCESS);

  KEVENT synchronization;
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  EXPECT_EQ(wait_for(&synchronization, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
  EXPECT_EQ(wait_for(&synchronization, &zero), STATUS_TIMEOUT);

  std::atomic<int> released{0};
  KeClearEvent(&notification);
  std::vector<std::thread> waiters = start_waiters(&notification, 3, released);
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(released.load(), 0);
  KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(reaches(released, 3));
  for (std::thread &t : waiters)
    t.join();
  EXPECT_NE(KeReadStateEvent(&notification), 0);
}

// Each set of a synchronization event releases exactly one waiter and the
// event stays not signalled; catches a set that wakes several waiters.
TEST_F(EventTest, SynchronizationSetReleasesOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters = start_waiters(&event, 3, released);
  std::this_thread::sleep_for(milliseconds(30)); // let them queue
  for (int expected = 1; expected <= 3; ++expected) {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(reaches(released, expected));
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(released.load(), expected);
  }
  for (std::thread &t : waiters)
    t.join();
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// Relative (negative 100 ns) timeouts expire no earlier than asked and
// return STATUS_TIMEOUT; a zero timeout polls; an absolute timeout is a
// point in system time; KeDelayExecutionThread sleeps the whole interval.
TEST_F(EventTest, TimeoutsRelativeZeroAndAbsolute) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = relative_ms(50);
  auto start = Clock::now();
  EXPECT_EQ(wait_for(&event, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, milliseconds(50));

  LARGE_INTEGER zero{};
  start = Clock::now();
  EXPECT_EQ(wait_for(&event, &zero), STATUS_TIMEOUT);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));

  LARGE_INTEGER absolute;
  KeQuerySystemTime(&absolute);
  absolute.QuadPart += 40 * 10000;
  start = Clock::now();
  EXPECT_EQ(wait_for(&event, &absolute), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, milliseconds(30));

  KeQuerySystemTime(&absolute);
  absolute.QuadPart -= 10000000; // in the past: a poll
  EXPECT_EQ(wait_for(&event, &absolute), STATUS_TIMEOUT);

  start = Clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_GE(Clock::now() - start, milliseconds(50));
}

// A timed-out wait leaves no trace: a later set is kept for the next wait
// and is not swallowed by the waiter that gave up.
TEST_F(EventTest, TimedOutWaitLeavesNoState) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER timeout = relative_ms(5);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(wait_for(&event, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_NE(KeReadStateEvent(&event), 0);
  LARGE_INTEGER zero{};
  EXPECT_EQ(wait_for(&event, &zero), STATUS_SUCCESS);
  // The event may now be re-initialised and freed: nothing refers to it.
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(platform::misuse_count(), 0u);
}

// The zoom work item's pattern: clear, wait with a relative timeout; sets
// arriving during the wait end it with STATUS_SUCCESS and restart it, silence
// ends it with STATUS_TIMEOUT.
TEST_F(EventTest, RestartableDelay) {
  KEVENT change;
  KeInitializeEvent(&change, SynchronizationEvent, FALSE);
  std::thread setter([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
      KeSetEvent(&change, IO_NO_INCREMENT, FALSE);
    }
  });
  int restarts = 0;
  LARGE_INTEGER delay = relative_ms(200);
  for (;;) {
    KeClearEvent(&change);
    if (wait_for(&change, &delay) == STATUS_TIMEOUT)
      break;
    ++restarts;
  }
  setter.join();
  EXPECT_GE(restarts, 1);
  EXPECT_LE(restarts, 3);
}

// Waiting on something that is no initialised object, or waiting with a
// timeout at DISPATCH_LEVEL, is reported; polling at DISPATCH_LEVEL is fine.
TEST_F(EventTest, WaitMisuseIsReported) {
  quiet_misuse();
  KEVENT raw{};
  EXPECT_EQ(wait_for(&raw, nullptr), STATUS_INVALID_PARAMETER);
  KeSetEvent(&raw, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Wait), 2u);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(wait_for(&event, &zero), STATUS_SUCCESS);
  EXPECT_EQ(platform::misuse_count(), 0u);
  LARGE_INTEGER timeout = relative_ms(1);
  EXPECT_EQ(wait_for(&event, &timeout), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irql), 1u);
}

} // namespace
