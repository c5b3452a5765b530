// Pool: accounting by tag, fault injection, and the checks made at free.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

namespace {

constexpr ULONG kTag = PoolTag("Tst1");
constexpr ULONG kOtherTag = PoolTag("Tst2");

// Allocates and frees one block of each tag in turn: "x" for each one refused, "." for each granted.
std::string refusals(const std::vector<ULONG> &tags) {
  std::string pattern;
  for (ULONG tag : tags) {
    void *block = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    pattern += block == nullptr ? 'x' : '.';
    if (block != nullptr)
      ExFreePool(block);
  }
  return pattern;
}

class PoolTest : public RigTest {};

// Makes sure live blocks, bytes and peaks are counted per tag. Catches counts the leak checks rely on
// drifting.
TEST_F(PoolTest, CountsLiveBlocksPerTag) {
  const uint64_t since = platform::pool_sequence();
  const platform::PoolCounts before = platform::pool_tag_counts(kTag);
  platform::pool_reset_peaks();
  auto *a = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
  void *b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
  void *c = ExAllocatePoolWithTag(PagedPool, 7, kOtherTag);
  ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
  EXPECT_FALSE(std::all_of(a, a + 100, [](UCHAR byte) { return byte == 0; })); // nobody may rely on zeroes
  ExFreePool(a);
  const platform::PoolCounts mine = platform::pool_tag_counts(kTag);
  EXPECT_EQ(mine.live_blocks - before.live_blocks, 1u);
  EXPECT_EQ(mine.live_bytes - before.live_bytes, 28u);
  EXPECT_EQ(mine.peak_bytes - before.live_bytes, 128u);
  std::string live;
  for (const platform::PoolBlock &block : platform::pool_live_blocks_since(since))
    live += platform::pool_tag_text(block.tag) + " " + std::to_string(block.size) + ";";
  EXPECT_EQ(live, "Tst1 28;Tst2 7;");
  ExFreePool(b);
  ExFreePool(c);
}

// Makes sure fault injection refuses exactly the allocations chosen. Catches failure paths never really
// reached.
TEST_F(PoolTest, FaultInjectionRefusesChosenAllocations) {
  platform::pool_fail_nth(3);
  EXPECT_EQ(refusals({kTag, kOtherTag, kTag, kTag}), "..x.");
  platform::pool_fail_nth(2, kOtherTag);
  EXPECT_EQ(refusals({kOtherTag, kTag, kOtherTag, kOtherTag}), "..x.");
  const uint64_t failed_before = platform::pool_tag_counts(kTag).failed;
  platform::pool_fail_tag(kTag);
  EXPECT_EQ(refusals({kTag, kTag, kOtherTag}), "xx.");
  EXPECT_EQ(platform::pool_tag_counts(kTag).failed, failed_before + 2);
  platform::pool_fail_tag(kTag, false);
  EXPECT_EQ(refusals({kTag}), ".");
  platform::pool_fail_random(5, 0.5, 42, kTag);
  const std::string once = refusals(std::vector<ULONG>(40, kTag));
  platform::pool_fail_random(5, 0.5, 42, kTag);
  EXPECT_EQ(refusals(std::vector<ULONG>(40, kTag)), once); // the same seed, the same run
  EXPECT_EQ(once.substr(0, 5), ".....");
  EXPECT_GT(std::count(once.begin(), once.end(), 'x'), 5) << once;
  EXPECT_LT(std::count(once.begin(), once.end(), 'x'), 35) << once;
}

// Makes sure bad frees, overruns (stopped at the write under AddressSanitizer) and paged pool at
// DISPATCH_LEVEL are reported. Catches unchecked or unpoisoned guards.
TEST_F(PoolTest, MisuseIsReportedNotAbsorbed) {
  quiet_misuse();
  void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  ExFreePool(p);
  ExFreePool(p); // double
  int on_stack = 0;
  ExFreePool(&on_stack); // foreign
  ExFreePool(nullptr);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Pool), 3u);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int overrun : {10, -1, 20}) {
    auto write_past = [&] {
      auto *block = static_cast<volatile UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
      block[overrun] = 0;
      ExFreePool(const_cast<UCHAR *>(block));
    };
    if (rig::under_sanitizer()) { // AddressSanitizer poisons the guards: the write itself stops the process
      EXPECT_DEATH(write_past(), "AddressSanitizer: use-after-poison") << "overrun at " << overrun;
      continue;
    }
    write_past();
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Pool), 1u) << "overrun at " << overrun;
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void *paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  KeLowerIrql(old);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Pool), 1u);
  ExFreePool(paged);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX - 8, kTag), nullptr); // refused, no crash
}

} // namespace
