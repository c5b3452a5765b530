// System time and interval clocks.
#pragma once

#include "platform/kernel/ntdef.h"

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kSystemTimeUnixEpoch = 116444736000000000LL;

// Stores the current system time: 100 ns units since 1601-01-01 UTC, from the
// host's real-time clock. Any context.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// Time since the platform started, in 100 ns units, from a monotonic clock.
ULONGLONG KeQueryInterruptTime();

// Returns Value sign-extended to 64 bits.
inline LARGE_INTEGER RtlConvertLongToLargeInteger(LONG Value) {
  LARGE_INTEGER result;
  result.QuadPart = static_cast<LONGLONG>(Value);
  return result;
}
