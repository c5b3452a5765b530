// Run-time library: counted strings and memory helpers.
#pragma once

#include <cstring>

#include "platform/kernel/ntdef.h"

// Points Destination at the NUL-terminated SourceString (no copy): Length is
// its size in bytes without the NUL (at most 0xFFFC), MaximumLength with it.
// A NULL source gives an empty string with a NULL buffer. Any context.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

// As RtlInitUnicodeString for 8-bit text.
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);

// TRUE when both strings have the same length and characters; with
// CaseInSensitive, letters of the basic Latin and Latin-1 ranges compare
// without case. Any context.
BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING *String1, const UNICODE_STRING *String2,
                              BOOLEAN CaseInSensitive);

// Number of leading bytes that are equal in both blocks (Length when all are).
SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
  if (Length != 0)
    std::memset(Destination, 0, Length);
}
inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
  if (Length != 0)
    std::memset(Destination, Fill, Length);
}
// Blocks must not overlap (use RtlMoveMemory for that).
inline VOID RtlCopyMemory(PVOID Destination, const VOID *Source, SIZE_T Length) {
  if (Length != 0)
    std::memcpy(Destination, Source, Length);
}
inline VOID RtlMoveMemory(PVOID Destination, const VOID *Source, SIZE_T Length) {
  if (Length != 0)
    std::memmove(Destination, Source, Length);
}
