// A wake-up call for the tool's main loop: the frame pump, the signal watch and
// the camera's unplug handler ring it; the main loop waits on it with a time
// limit. Thread-safe; ring() never blocks for long (a leaf lock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace dscam {

class Wakeup {
public:
  // Wakes the waiter (or makes its next wait return at once).
  void ring() {
    std::lock_guard lock(mutex_);
    ++rings_;
    changed_.notify_all();
  }
  // Waits until ring() was called since the last wait returned, at most `limit`.
  void wait(std::chrono::milliseconds limit) { (void)wait_rung(limit); }
  // The same; true when it was rung, false when `limit` passed first.
  bool wait_rung(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    const bool rung = changed_.wait_for(lock, limit, [this] { return rings_ != seen_; });
    seen_ = rings_;
    return rung;
  }

private:
  std::mutex mutex_;                // protects rings_ and seen_
  std::condition_variable changed_; // signals a ring
  uint64_t rings_ = 0;
  uint64_t seen_ = 0;
};

} // namespace dscam
