// Pool: fault injection, the fill of new blocks, and the checks made at free. (Live blocks by tag: the
// promise checker's test.)
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

// Makes sure new blocks are not zeroed, and bad frees, overruns (stopped at the write under AddressSanitizer)
// and paged pool at DISPATCH_LEVEL are reported. Catches unchecked or unpoisoned guards.
TEST_F(PoolTest, MisuseIsReportedNotAbsorbed) {
  quiet_misuse();
  auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
  EXPECT_FALSE(std::all_of(p, p + 16, [](UCHAR byte) { return byte == 0; })); // nobody may rely on zeroes
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
