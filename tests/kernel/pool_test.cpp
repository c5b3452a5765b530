// Pool: the fill of new blocks, and the checks made at free. (Live blocks by tag: the promise checker's
// test; fault injection: every test that makes the pool refuse, each expecting its refusal.)
#include <algorithm>

#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

namespace {

constexpr ULONG kTag = PoolTag("Tst1");

class PoolTest : public RigTest {};

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
