// Signals in dscam: SIGINT and SIGTERM end a run cleanly (the stream and the
// device are closed and the summary printed), SIGPIPE is ignored so that a
// closed output pipe shows up as EPIPE on write.
//
// The signals are blocked in every thread and taken by one watching thread
// with sigwait, which only records the signal and rings the main loop's
// wake-up: no work is done in signal context. Once a run is closing, a third
// SIGINT or SIGTERM, or a second one more than a second after the first, ends
// the process at once (the way out of a teardown that hangs). A second signal
// within that second is taken as part of the first: `timeout`, shells and
// terminals often deliver one interrupt twice, to the process and to its group.
#pragma once

#include <atomic>
#include <chrono>
#include <pthread.h>
#include <thread>

#include "tools/dscam/wakeup.h"

namespace dscam {

class SignalWatch {
public:
  // Blocks the signals in the calling thread; construct it in main() before
  // any other thread is started, so that every thread inherits the mask.
  explicit SignalWatch(Wakeup &wakeup);
  // Stops the watching thread.
  ~SignalWatch();
  SignalWatch(const SignalWatch &) = delete;
  SignalWatch &operator=(const SignalWatch &) = delete;

  // The first SIGINT or SIGTERM received, or 0.
  int caught() const { return caught_.load(); }

private:
  void watch();

  Wakeup &wakeup_;
  std::atomic<int> caught_{0};
  // Only the watching thread uses these.
  int count_ = 0;                                 // SIGINT and SIGTERM received
  std::chrono::steady_clock::time_point first_{}; // when the first came
  pthread_t thread_{};
  bool started_ = false;
};

} // namespace dscam
