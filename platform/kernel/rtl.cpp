// Run-time library: counted strings and memory comparison.
#include "platform/kernel/rtl.h"

namespace {

constexpr SIZE_T kLongestUnicodeBytes = 0xFFFC;
constexpr SIZE_T kLongestAnsiBytes = 0xFFFE;

// Upper case of a basic Latin or Latin-1 letter; other characters unchanged.
WCHAR upcase(WCHAR c) {
  if (c >= u'a' && c <= u'z')
    return static_cast<WCHAR>(c - (u'a' - u'A'));
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return static_cast<WCHAR>(c - 0x20);
  return c;
}

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

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = 0;
  while (SourceString[bytes] != 0 && bytes < kLongestAnsiBytes)
    ++bytes;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING *String1, const UNICODE_STRING *String2,
                              BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length)
    return FALSE;
  SIZE_T count = String1->Length / sizeof(WCHAR);
  for (SIZE_T i = 0; i < count; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = upcase(a);
      b = upcase(b);
    }
    if (a != b)
      return FALSE;
  }
  return TRUE;
}

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  const auto *a = static_cast<const UCHAR *>(Source1);
  const auto *b = static_cast<const UCHAR *>(Source2);
  SIZE_T equal = 0;
  while (equal < Length && a[equal] == b[equal])
    ++equal;
  return equal;
}
