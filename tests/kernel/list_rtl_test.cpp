// Lists, strings, memory helpers and system time.
#include <chrono>
#include <ctime>
#include <vector>

#include "platform/kernel/wdm.h"
#include "tests/support/platform_test.h"

namespace {

struct Node {
  int value;
  LIST_ENTRY link;
};

std::vector<int> values_of(PLIST_ENTRY head) {
  std::vector<int> values;
  for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink)
    values.push_back(CONTAINING_RECORD(e, Node, link)->value);
  return values;
}

class ListTest : public PlatformTest {};

// Order of insertion and removal at both ends, and RemoveEntryList's
// "now empty" result; catches swapped links and wrong results.
TEST_F(ListTest, KeepsOrderAtBothEnds) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  EXPECT_TRUE(IsListEmpty(&head));
  Node a{1, {}}, b{2, {}}, c{3, {}}, d{4, {}};
  InsertTailList(&head, &b.link);
  InsertTailList(&head, &c.link);
  InsertHeadList(&head, &a.link);
  InsertTailList(&head, &d.link);
  EXPECT_EQ(values_of(&head), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Node, link)->value, 1);
  EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Node, link)->value, 4);
  EXPECT_FALSE(RemoveEntryList(&c.link));
  EXPECT_EQ(values_of(&head), (std::vector<int>{2}));
  EXPECT_TRUE(RemoveEntryList(&b.link));
  EXPECT_TRUE(IsListEmpty(&head));
}

// A second removal, a removal from an empty list and an uninitialised head
// are reported and leave the list intact; catches silent corruption.
TEST_F(ListTest, NegativeUseIsReported) {
  quiet_misuse();
  LIST_ENTRY head;
  InitializeListHead(&head);
  Node a{1, {}};
  InsertTailList(&head, &a.link);
  EXPECT_TRUE(RemoveEntryList(&a.link));
  EXPECT_FALSE(RemoveEntryList(&a.link));
  EXPECT_EQ(RemoveHeadList(&head), &head);
  EXPECT_EQ(RemoveTailList(&head), &head);
  LIST_ENTRY zeroed{};
  InsertTailList(&zeroed, &a.link);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::List), 4u);
  EXPECT_TRUE(IsListEmpty(&head));
}

class RtlTest : public PlatformTest {};

// Counted strings: lengths in bytes, NULL source, case-insensitive compare.
TEST_F(RtlTest, UnicodeStrings) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\QrnDebug");
  EXPECT_EQ(name.Length, 16 * sizeof(WCHAR));
  EXPECT_EQ(name.MaximumLength, 17 * sizeof(WCHAR));
  UNICODE_STRING upper;
  RtlInitUnicodeString(&upper, u"\\DEVICE\\QRNDEBUG");
  EXPECT_FALSE(RtlEqualUnicodeString(&name, &upper, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&name, &upper, TRUE));
  UNICODE_STRING none;
  RtlInitUnicodeString(&none, nullptr);
  EXPECT_EQ(none.Length, 0);
  EXPECT_EQ(none.MaximumLength, 0);
  EXPECT_EQ(none.Buffer, nullptr);
}

// System time counts 100 ns units from 1601; conversions sign-extend.
TEST_F(RtlTest, SystemTimeAndLargeIntegers) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LONGLONG unix_seconds = (now.QuadPart - kSystemTimeUnixEpoch) / 10000000;
  EXPECT_LE(std::llabs(unix_seconds - static_cast<LONGLONG>(std::time(nullptr))), 2);
  EXPECT_EQ(RtlConvertLongToLargeInteger(-1).u.HighPart, -1);
  ULONGLONG t1 = KeQueryInterruptTime();
  ULONGLONG t2 = KeQueryInterruptTime();
  EXPECT_LE(t1, t2);
}

} // namespace
