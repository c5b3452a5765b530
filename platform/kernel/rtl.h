// Run-time library: counted strings and memory helpers.
#pragma once

#include <cstring>

#include "platform/kernel/ntdef.h"

// Points Destination at the NUL-terminated SourceString (no copy): Length is
// its size in bytes without the NUL (at most 0xFFFC), MaximumLength with it.
// A NULL source gives an empty string with a NULL buffer. Any context.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

// Number of leading bytes that are equal in both blocks (Length when all are).
SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
  if (Length != 0)
    std::memset(Destination, 0, Length);
}
// Blocks must not overlap.
inline VOID RtlCopyMemory(PVOID Destination, const VOID *Source, SIZE_T Length) {
  if (Length != 0)
    std::memcpy(Destination, Source, Length);
}
