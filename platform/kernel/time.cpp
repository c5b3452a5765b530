// System time and monotonic clocks.
#include "platform/kernel/time.h"

#include <chrono>

namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>; // 100 ns

// The monotonic instant the platform's interrupt time counts from.
std::chrono::steady_clock::time_point boot_time() {
  static const std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
  return boot;
}

// Makes boot_time() start at program start rather than at its first use.
[[maybe_unused]] const auto boot_time_init = boot_time();

} // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  auto since_unix = std::chrono::system_clock::now().time_since_epoch();
  CurrentTime->QuadPart = kSystemTimeUnixEpoch + std::chrono::duration_cast<Ticks>(since_unix).count();
}

ULONGLONG KeQueryInterruptTime() {
  auto since_boot = std::chrono::steady_clock::now() - boot_time();
  return static_cast<ULONGLONG>(std::chrono::duration_cast<Ticks>(since_boot).count());
}
