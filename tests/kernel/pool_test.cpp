// Pool: accounting per tag, fault injection, and detection of pool misuse.
#include <cstring>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/support/platform_test.h"

// Under AddressSanitizer the pool poisons its guards, so an overrun stops the
// process at the faulty write (tests/races/sanitizer_visibility_test.cpp shows
// it); the pool's own guard check is what catches it elsewhere.
#if defined(__SANITIZE_ADDRESS__)
#define DSCAM_POOL_GUARDS_POISONED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DSCAM_POOL_GUARDS_POISONED 1
#endif
#endif

namespace {

constexpr ULONG kTag = PoolTag("Tst1");
constexpr ULONG kOtherTag = PoolTag("Tst2");

class PoolTest : public PlatformTest {};

// Accounting: live blocks and bytes per tag and in total, high-water marks;
// catches counts that drift on free or ignore the tag.
TEST_F(PoolTest, CountsLiveBlocksAndBytesPerTag) {
  static_assert(PoolTag("Wdm ") == 0x206D6457);
  platform::PoolCounts before = platform::pool_tag_counts(kTag);
  platform::pool_reset_peaks();
  void *a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void *b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
  void *c = ExAllocatePoolWithTag(PagedPool, 7, kOtherTag);
  ASSERT_TRUE(a && b && c);
  platform::PoolCounts mine = platform::pool_tag_counts(kTag);
  EXPECT_EQ(mine.live_blocks, before.live_blocks + 2);
  EXPECT_EQ(mine.live_bytes, before.live_bytes + 128);
  EXPECT_EQ(platform::pool_tag_counts(kOtherTag).live_bytes, 7u);
  ExFreePool(a);
  mine = platform::pool_tag_counts(kTag);
  EXPECT_EQ(mine.live_bytes, before.live_bytes + 28);
  EXPECT_EQ(mine.peak_bytes, before.live_bytes + 128);
  EXPECT_EQ(mine.frees, before.frees + 1);

  std::vector<platform::PoolBlock> live = platform::pool_live_blocks_since(pool_baseline());
  ASSERT_EQ(live.size(), 2u);
  EXPECT_EQ(live[0].tag, kTag);
  EXPECT_EQ(live[0].size, 28u);
  EXPECT_EQ(live[1].tag, kOtherTag);
  EXPECT_EQ(platform::pool_tag_text(live[0].tag), "Tst1");
  ExFreePool(b);
  ExFreePoolWithTag(c, kOtherTag);
  EXPECT_TRUE(platform::pool_live_blocks_since(pool_baseline()).empty());
}

// New pool is neither zeroed nor shared; zero-byte blocks are real blocks;
// catches drivers (and tests) relying on zero-filled pool.
TEST_F(PoolTest, BlocksAreDistinctAndNotZeroed) {
  auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
  void *empty = ExAllocatePoolWithTag(NonPagedPool, 0, kTag);
  ASSERT_NE(p, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(static_cast<void *>(p), empty);
  bool all_zero = true;
  for (int i = 0; i < 64; ++i)
    all_zero = all_zero && p[i] == 0;
  EXPECT_FALSE(all_zero);
  std::memset(p, 0x11, 64); // the whole block is writable
  ExFreePool(p);
  ExFreePool(empty);
}

// Fault injection: nth allocation, every allocation of a tag, and seeded
// probability after N; catches failure paths that can never be reached.
TEST_F(PoolTest, FaultInjectionFailsChosenAllocations) {
  platform::pool_fail_nth(3);
  void *first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void *second = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
  void *third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void *fourth = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(third, nullptr);
  EXPECT_NE(fourth, nullptr);
  ExFreePool(first);
  ExFreePool(second);
  ExFreePool(fourth);

  platform::pool_fail_nth(2, kOtherTag); // counts only that tag
  void *a = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
  void *b = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void *c = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  ExFreePool(a);
  ExFreePool(b);

  uint64_t failed_before = platform::pool_tag_counts(kTag).failed;
  platform::pool_fail_tag(kTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  void *other = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  EXPECT_EQ(platform::pool_tag_counts(kTag).failed, failed_before + 2);
  platform::pool_fail_tag(kTag, false);
  void *again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(again, nullptr);
  ExFreePool(again);
}

// The same seed fails the same allocations; none fail before `after`.
TEST_F(PoolTest, RandomFaultsAreReproducible) {
  auto run = [](uint64_t seed) {
    platform::pool_fail_random(5, 0.5, seed, kTag);
    std::vector<bool> failed;
    for (int i = 0; i < 40; ++i) {
      void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
      failed.push_back(p == nullptr);
      if (p != nullptr)
        ExFreePool(p);
    }
    platform::pool_faults_clear();
    return failed;
  };
  std::vector<bool> one = run(42);
  std::vector<bool> two = run(42);
  EXPECT_EQ(one, two);
  for (int i = 0; i < 5; ++i)
    EXPECT_FALSE(one[i]);
  size_t failures = 0;
  for (bool f : one)
    failures += f ? 1 : 0;
  EXPECT_GT(failures, 5u);
  EXPECT_LT(failures, 35u);
}

// Pool misuse is reported and survived: double free, foreign pointer,
// overruns before and after the block, wrong tag, NULL.
TEST_F(PoolTest, MisuseIsReportedNotAbsorbed) {
  quiet_misuse();
  void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  ExFreePool(p);
  ExFreePool(p);
  std::vector<platform::MisuseReport> reports = take_misuse_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].category, platform::MisuseCategory::Pool);
  EXPECT_NE(reports[0].message.find("double free"), std::string::npos);

  int on_stack = 0;
  ExFreePool(&on_stack);
  reports = take_misuse_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].message.find("foreign"), std::string::npos);

#ifndef DSCAM_POOL_GUARDS_POISONED
  auto *after = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
  after[10] = 0; // one byte past the end
  ExFreePool(after);
  auto *before = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
  before[-1] = 0;
  ExFreePool(before);
  reports = take_misuse_reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0].message.find("guard"), std::string::npos);
  EXPECT_NE(reports[1].message.find("guard"), std::string::npos);
#endif

  void *tagged = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
  ExFreePoolWithTag(tagged, kOtherTag);
  ExFreePool(nullptr);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Pool), 2u);
  EXPECT_TRUE(platform::pool_live_blocks_since(pool_baseline()).empty());
}

// Paged pool at DISPATCH_LEVEL is reported (a real kernel may fault there).
TEST_F(PoolTest, PagedPoolAtDispatchLevelIsMisuse) {
  quiet_misuse();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void *paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  void *nonpaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  KeLowerIrql(old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Pool), 1u);
  ExFreePool(paged);
  ExFreePool(nonpaged);
}

// An impossible size fails cleanly instead of crashing.
TEST_F(PoolTest, HugeAllocationFails) {
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX - 8, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_T{1} << 40, kTag), nullptr);
}

} // namespace
