// Signals in dscam: SIGINT and SIGTERM end a run cleanly (the stream and the
// device are closed and the summary printed), SIGPIPE is ignored so that a
// closed output pipe shows up as EPIPE on write.
//
// The signals are blocked in every thread and taken by one watching thread
// with sigwait, which only records the signal and rings the main loop's
// wake-up: no work is done in signal context. A second SIGINT or SIGTERM while
// the first is being handled ends the process at once (the way out of a
// teardown that hangs).
#pragma once

#include <atomic>
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
  pthread_t thread_{};
  bool started_ = false;
};

} // namespace dscam
