// Basic types of the kernel platform, under the names driver code uses.
//
// Sizes follow the 64-bit host: integer types keep their documented widths,
// pointer-sized types (PVOID, HANDLE, ULONG_PTR) are 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

using VOID = void;
using CHAR = char;
using UCHAR = uint8_t;
using CCHAR = int8_t;
using SHORT = int16_t;
using CSHORT = int16_t;
using USHORT = uint16_t;
using LONG = int32_t;
using ULONG = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using BOOLEAN = uint8_t;
using BOOL = int32_t;
using WCHAR = char16_t;
using NTSTATUS = int32_t;
using KIRQL = UCHAR;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;
using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;

using PVOID = void *;
using HANDLE = void *;
using PHANDLE = HANDLE *;
using PCHAR = CHAR *;
using PUCHAR = UCHAR *;
using PUSHORT = USHORT *;
using PLONG = LONG *;
using PULONG = ULONG *;
using PWCHAR = WCHAR *;
using PWSTR = WCHAR *;
using PCWSTR = const WCHAR *;
using PCSTR = const CHAR *;
using PBOOLEAN = BOOLEAN *;
using PKIRQL = KIRQL *;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)

// 64-bit signed value with its two halves; times are 100 ns counts.
union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER *;
static_assert(sizeof(LARGE_INTEGER) == 8);

struct GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};
using LPGUID = GUID *;
using REFGUID = const GUID &;
static_assert(sizeof(GUID) == 16);

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  const auto *pa = reinterpret_cast<const UCHAR *>(&a);
  const auto *pb = reinterpret_cast<const UCHAR *>(&b);
  for (int i = 0; i < 16; ++i)
    if (pa[i] != pb[i])
      return false;
  return true;
}

// Counted 16-bit string: Length and MaximumLength in bytes.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING *;

// Counted 8-bit string, the layout the formatter's %Z reads.
struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING *;

enum KPROCESSOR_MODE : CCHAR { KernelMode = 0, UserMode = 1 };

#define PASSIVE_LEVEL 0
#define DISPATCH_LEVEL 2
