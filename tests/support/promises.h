// The three promises every test, reliability run and soak checks, in one
// place, free of the test framework so that the fuzz targets and the soak
// program check them the same way as the tests' fixture:
//
// 1. Every request block is completed exactly once, with a truthful status
//    (the host's accounting; a completed read whose status and contents agree;
//    no blocking request the host gave up waiting for).
// 2. No pool memory outstanding after stream close and device removal (by
//    tag); no system thread, work item, IRP (pending transfer) or device
//    object left behind; no misuse of the platform.
// 3. No hang: stream close and device removal return within teardown_limit(),
//    and no step of a run waits longer than kWaitLimit without the run failing
//    and saying where it waited (StepWatch).
//
// Failures are collected as one line each ("where: what") in a Failures list.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"
#include "platform/streamclass/host.h"

namespace rig {

using namespace std::chrono_literals;

// The longest any single wait of a run may last before the run fails.
inline constexpr std::chrono::milliseconds kWaitLimit = 5000ms;

// Whether this build runs under a sanitizer (everything is several times slower).
bool under_sanitizer();

// How long stream close and device removal may take before a test calls it a
// hang: 5 s, 10 s under sanitizers. A user waits about 2 s on an idle machine
// (the soak program reports the slowest); tests run several processes per core.
std::chrono::milliseconds teardown_limit();

// The failures of a run, one line each. Thread-safe.
class Failures {
public:
  void add(std::string line);
  bool empty() const;
  size_t size() const;
  std::vector<std::string> lines() const;
  // Every line, each ending in "\n" ("" when there is none).
  std::string text() const;

private:
  mutable std::mutex mutex_; // protects lines_
  std::vector<std::string> lines_;
};

// ---------------------------------------------------------------------------
// Promise 3: steps with time limits, watched by a thread.

// Times the steps of a run. Each step has a name and a limit (kWaitLimit for
// a wait, teardown_limit() for a close or a removal); a step that overruns
// its limit adds one failure naming the run, the step and the time. A
// watchdog thread notices a step still running after its limit, adds the
// failure at once (printed to stderr: the run may never come back) and, a
// minute on, aborts the process with the step's name, so that a hang ends as a
// failure that says where it waited rather than as an outside time-out.
// Thread-safe; steps run one at a time.
class StepWatch {
public:
  StepWatch(Failures &failures, std::string run_name);
  ~StepWatch();
  StepWatch(const StepWatch &) = delete;
  StepWatch &operator=(const StepWatch &) = delete;

  // Runs `step` as the step `where`; true when it returned within `limit`.
  // When the step overruns, the watchdog calls `rescue` (if given) on its own
  // thread, once: something that ends the wait from outside, as a user would
  // (pulling the camera's cable), so that the run can go on after the failure.
  bool run(const std::string &where, std::chrono::milliseconds limit, const std::function<void()> &step,
           std::function<void()> rescue = {});
  // The name of the run, shown in every failure (e.g. "N=17" or "seed 5, life 3").
  void set_run_name(std::string name);

private:
  void watch();

  Failures &failures_;
  std::mutex mutex_;             // protects the fields below
  std::condition_variable wake_; // signals a step began or ended, a rescue ended, or the end
  std::string run_name_;
  std::string where_; // the running step ("" between steps)
  std::chrono::milliseconds limit_{0};
  std::chrono::steady_clock::time_point began_;
  std::function<void()> rescue_;  // of the running step
  uint64_t step_number_ = 0;      // increases with every step
  bool overrun_reported_ = false; // the watchdog reported the running step
  bool rescuing_ = false;         // the watchdog is running the step's rescue
  bool stop_ = false;
  std::thread thread_; // last: it uses the members above
};

// ---------------------------------------------------------------------------
// Promise 1: completions with truthful statuses.

// Keeps count of what completed how, and checks that each completion tells
// the truth. Thread-safe; completions may arrive on any thread.
class CompletionLedger {
public:
  explicit CompletionLedger(Failures &failures) : failures_(failures) {}

  // A read completed: a success carries a whole frame (`image_bytes` of data
  // and, when the stream declared it, its frame information), a failure
  // carries no data, and no read completes as still pending.
  void read_completed(const streamclass::Frame &frame, ULONG image_bytes, const std::string &where);
  // A blocking request returned `status`; STATUS_IO_TIMEOUT means the driver
  // never completed it within the host's wait (a hang), STATUS_PENDING that a
  // request came back unfinished.
  void request_returned(const std::string &what, NTSTATUS status, const std::string &where);

  uint64_t frames() const { return frames_.load(); }
  std::map<NTSTATUS, uint64_t> reads_by_status() const;
  std::map<NTSTATUS, uint64_t> requests_by_status() const;

private:
  Failures &failures_;
  std::atomic<uint64_t> frames_{0};
  mutable std::mutex mutex_; // protects the two maps
  std::map<NTSTATUS, uint64_t> reads_by_status_;
  std::map<NTSTATUS, uint64_t> requests_by_status_;
};

// ---------------------------------------------------------------------------
// Promises 1 and 2 at the end of a device's life.

// What was there before a run began, so that the check looks at the run only.
struct Baseline {
  uint64_t pool_sequence = 0;
  size_t devices = 0;
  size_t irps = 0;
  size_t thread_objects = 0;
};

// Notes the baseline and starts the host's request accounting afresh. Call with
// no device of the run started yet.
Baseline promises_begin();

// Checks promises 1 and 2 once the run's pins are closed and its device
// removed (and the rig destroyed): the host's accounting is clean with nothing
// outstanding; after waiting (at most `quiesce` in all) for work items, system
// threads and IRPs to be done, none is left and no pool block allocated since
// the baseline is live (listed by tag); no platform misuse was reported (the
// reports are taken). Adds a failure per broken promise, prefixed with `where`.
// Returns whether all held. Blocks; not from a driver thread.
bool promises_check(const Baseline &baseline, const std::string &where, Failures &failures,
                    std::chrono::milliseconds quiesce = kWaitLimit);

// A status as text: its name when it is one of the common ones, else hex.
std::string status_text(NTSTATUS status);

// Waits until `done` holds, polling every 2 ms; false after `timeout`.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// Waits on a kernel object (an event, a thread) as a driver does: for ever, or at most `limit` (0: a poll).
NTSTATUS wait_object(PVOID object, std::optional<std::chrono::milliseconds> limit = std::nullopt);

} // namespace rig
