// Master clocks: the handles a pin gives the driver with SRB_INDICATE_MASTER_CLOCK,
// and StreamClassQueryMasterClockSync, which reads a clock by its handle.
#include "platform/kernel/time.h"
#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// Clocks by handle; `mutex` is a leaf lock. Handles are made-up addresses, never 0.
struct Clocks {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<MasterClock>> clocks;
  uintptr_t next = 0x5C000010;
};

Clocks &clocks() {
  static Clocks *instance = new Clocks; // never destroyed
  return *instance;
}

} // namespace

HANDLE clock_register(std::shared_ptr<MasterClock> clock) {
  std::lock_guard lock(clocks().mutex);
  auto handle = reinterpret_cast<HANDLE>(clocks().next);
  clocks().next += 0x10;
  clocks().clocks[handle] = std::move(clock);
  return handle;
}

void clock_unregister(HANDLE handle) {
  std::shared_ptr<MasterClock> clock;
  std::lock_guard lock(clocks().mutex);
  auto it = clocks().clocks.find(handle);
  if (it != clocks().clocks.end()) {
    clock = std::move(it->second); // released after the lock
    clocks().clocks.erase(it);
  }
}

SteadyMasterClock::SteadyMasterClock() : start_(std::chrono::steady_clock::now()) {}

LONGLONG SteadyMasterClock::stream_time() {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

} // namespace streamclass

using namespace streamclass;

VOID StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext) {
  if (TimeContext == nullptr) {
    report_device_misuse("StreamClassQueryMasterClockSync without a time context");
    return;
  }
  TimeContext->Time = 0;
  TimeContext->SystemTime = 0;
  std::shared_ptr<MasterClock> clock;
  {
    std::lock_guard lock(clocks().mutex);
    auto it = clocks().clocks.find(MasterClockHandle);
    if (it != clocks().clocks.end())
      clock = it->second;
  }
  if (!clock) {
    report_device_misuse("StreamClassQueryMasterClockSync with unknown clock handle 0x%X",
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(MasterClockHandle)));
    return;
  }
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  TimeContext->Time = static_cast<ULONGLONG>(clock->stream_time());
  TimeContext->SystemTime = static_cast<ULONGLONG>(now.QuadPart);
}
