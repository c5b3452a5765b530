// Run-time library: counted strings and memory comparison.
#include "platform/kernel/rtl.h"

namespace {

constexpr SIZE_T kLongestUnicodeBytes = 0xFFFC;

} // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = 0;
  while (SourceString[bytes / sizeof(WCHAR)] != 0 && bytes < kLongestUnicodeBytes)
    bytes += sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  const auto *a = static_cast<const UCHAR *>(Source1);
  const auto *b = static_cast<const UCHAR *>(Source2);
  SIZE_T equal = 0;
  while (equal < Length && a[equal] == b[equal])
    ++equal;
  return equal;
}
