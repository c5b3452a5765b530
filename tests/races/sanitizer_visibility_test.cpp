// The sanitizers see what the kernel services do: ThreadSanitizer understands
// spin locks and events as synchronisation, AddressSanitizer stops an overrun
// of a pool block at the faulty access, and LeakSanitizer is on.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/wdm.h"
#include "tests/support/rig_test.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DSCAM_UNDER_TSAN 1
#endif
#if __has_feature(address_sanitizer)
#define DSCAM_UNDER_ASAN 1
#include <sanitizer/lsan_interface.h>
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define DSCAM_UNDER_TSAN 1
#endif

using SanitizerVisibility = RigTest;

// Makes sure data handed over under a spin lock or through an event raises no TSan report. Catches primitives
// the race detector cannot see (every structure they guard would look racy).
TEST_F(SanitizerVisibility, SpinLockAndEventOrderPlainData) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT ready;
  KeInitializeEvent(&ready, SynchronizationEvent, FALSE);
  int guarded = 0;     // under `lock`
  int handed_over = 0; // written before `ready` is set, read after the wait
  const int rounds = rig::under_sanitizer() ? 2000 : 20000;
  auto count = [&] {
    for (int i = 0; i < rounds; ++i) {
      KIRQL irql = KfAcquireSpinLock(&lock);
      ++guarded;
      KfReleaseSpinLock(&lock, irql);
    }
  };
  std::thread other([&] {
    count();
    handed_over = 42;
    KeSetEvent(&ready, 0, FALSE);
  });
  count();
  ASSERT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(handed_over, 42);
  other.join();
  EXPECT_EQ(guarded, 2 * rounds);
}

#ifdef DSCAM_UNDER_TSAN
// Makes sure the race detector is on, so that the test above means something.
TEST_F(SanitizerVisibility, HandOverWithoutSynchronisationIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        static int shared = 0;
        std::thread writer([] { shared = 1; });
        std::fprintf(stderr, "seen %d\n", shared);
        writer.join();
        std::_Exit(1);
      },
      "ThreadSanitizer: data race");
}
#endif

#ifdef DSCAM_UNDER_ASAN
// Makes sure a pool block overrun (past the end, before the start, into the guard) stops at the access.
TEST_F(SanitizerVisibility, PoolOverrunStopsAtTheFaultyAccess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Overrun {
    size_t size;
    ptrdiff_t offset;
  };
  for (const Overrun overrun : {Overrun{13, 13}, Overrun{64, -1}, Overrun{1, 20}}) {
    EXPECT_DEATH(
        {
          auto *block = static_cast<volatile UCHAR *>(
              ExAllocatePoolWithTag(NonPagedPool, overrun.size, PoolTag("Race")));
          block[overrun.offset] = 0x42;
          std::_Exit(0);
        },
        "AddressSanitizer: use-after-poison")
        << overrun.size << " bytes, offset " << overrun.offset;
  }
}

// Where the leak test drops its last pointer to a block.
void *volatile leak_sink = nullptr;

// Makes sure LeakSanitizer is on: memory nobody points at any more is reported.
TEST_F(SanitizerVisibility, LeakCheckerIsOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 16; ++i)
          leak_sink = std::malloc(77);
        leak_sink = nullptr;
        std::_Exit(__lsan_do_recoverable_leak_check() != 0 ? 3 : 0);
      },
      ::testing::ExitedWithCode(3), "LeakSanitizer: detected memory leaks");
}
#endif
