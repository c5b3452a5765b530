// The sanitizers see what the kernel services do: ThreadSanitizer understands
// spin locks and events as synchronisation, AddressSanitizer stops an overrun
// of a pool block at the faulty access, and LeakSanitizer is on.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/wdm.h"
#include "tests/races/race_test.h"

#if defined(__SANITIZE_ADDRESS__)
#define DSCAM_RACES_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DSCAM_RACES_UNDER_ASAN 1
#endif
#endif

#ifdef DSCAM_RACES_UNDER_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using SanitizerVisibility = RigTest;

// Where the leak test drops its last pointer to a block.
[[maybe_unused]] void *volatile leak_sink = nullptr;

// A byte at `p` written where the compiler cannot prove it out of bounds.
[[maybe_unused]] void poke(volatile UCHAR *p) {
  *p = 0x42;
}

} // namespace

// Makes sure data handed from thread to thread under a spin lock, and through
// an event, needs nothing more for ThreadSanitizer: plain fields written by one
// thread and read by the other raise no report. Catches a spin lock or an event
// built on primitives the race detector cannot see (relaxed atomics, a bare
// flag), which would make every driver structure they guard look racy, or hide
// real races behind false ones.
TEST_F(SanitizerVisibility, SpinLockAndEventOrderPlainData) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT ready;
  KeInitializeEvent(&ready, SynchronizationEvent, FALSE);
  int guarded = 0;     // under `lock`
  int handed_over = 0; // written before `ready` is set, read after the wait
  const int rounds = 20000 / kRaceRoundDivisor;
  std::thread other([&] {
    for (int i = 0; i < rounds; ++i) {
      KIRQL irql = KfAcquireSpinLock(&lock);
      ++guarded;
      KfReleaseSpinLock(&lock, irql);
    }
    handed_over = 42;
    KeSetEvent(&ready, 0, FALSE);
  });
  for (int i = 0; i < rounds; ++i) {
    KIRQL irql = KfAcquireSpinLock(&lock);
    ++guarded;
    KfReleaseSpinLock(&lock, irql);
  }
  ASSERT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(handed_over, 42);
  other.join();
  EXPECT_EQ(guarded, 2 * rounds);
}

#ifdef DSCAM_RACES_UNDER_TSAN
// Makes sure the race detector is on in this build, so that the test above
// means something: the same hand-over without the event is reported.
TEST_F(SanitizerVisibility, HandOverWithoutSynchronisationIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        static int shared = 0;
        std::thread writer([] { shared = 1; });
        int seen = shared;
        writer.join();
        std::fprintf(stderr, "seen %d\n", seen);
        std::_Exit(1);
      },
      "ThreadSanitizer: data race");
}
#endif

#ifdef DSCAM_RACES_UNDER_ASAN
// Makes sure an overrun of a pool block is stopped at the access that does
// it, not found later when the block is freed (by then the stack that wrote
// it is gone): one byte past the end, one byte before the start, and a write
// into the guard area well past the end all abort at once.
TEST_F(SanitizerVisibility, PoolOverrunStopsAtTheFaultyAccess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 13, PoolTag("Race")));
        poke(block + 13);
        std::fprintf(stderr, "overrun not caught\n");
        std::_Exit(0);
      },
      "AddressSanitizer: use-after-poison");
  EXPECT_DEATH(
      {
        auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 64, PoolTag("Race")));
        poke(block - 1);
        std::_Exit(0);
      },
      "AddressSanitizer: use-after-poison");
  EXPECT_DEATH(
      {
        auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 1, PoolTag("Race")));
        poke(block + 20);
        std::_Exit(0);
      },
      "AddressSanitizer: use-after-poison");
}

// Makes sure the block's own bytes stay usable to their last one, and that a
// freed and reallocated address is usable again (the poisoning is undone).
TEST_F(SanitizerVisibility, PoolBlockBytesStayUsable) {
  for (size_t size : {size_t{1}, size_t{7}, size_t{8}, size_t{13}, size_t{4096}}) {
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, size, PoolTag("Race")));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < size; ++i)
      poke(block + i);
    ExFreePoolWithTag(block, PoolTag("Race"));
  }
}

// Makes sure LeakSanitizer is on: memory nobody points at any more is
// reported.
TEST_F(SanitizerVisibility, LeakCheckerIsOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 16; ++i) {
          leak_sink = std::malloc(77);
          leak_sink = nullptr;
        }
        if (__lsan_do_recoverable_leak_check() != 0)
          std::_Exit(3);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(3), "LeakSanitizer: detected memory leaks");
}
#endif
