// The camera's clock: nanoseconds since power-on. All of the camera's timing
// (frame ticks, link times, focus times) derives from it, never from how long
// a sleep really took. The steady clock follows real time; the manual clock
// moves only when a test advances it, so paced behaviour can be checked
// exactly and without waiting.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace emu {

class CameraClock {
public:
  virtual ~CameraClock() = default;

  // Nanoseconds since the clock started. Thread-safe.
  virtual int64_t now_ns() const = 0;

  // The real-time point by which clock time `t` will have come (for a
  // condition-variable wait); the manual clock gives a point a little ahead and
  // wakes its waiters itself when it moves. Thread-safe.
  virtual std::chrono::steady_clock::time_point real_deadline(int64_t t) const = 0;

  // Registers a function to call whenever the clock jumps (manual clock only;
  // the steady clock never calls it). Returns an id for unsubscribe. After
  // unsubscribe() has returned the function is not running and never runs
  // again, so the subscriber must not hold a lock that its function takes
  // while it unsubscribes. Thread-safe.
  virtual int subscribe(std::function<void()> wake) = 0;
  virtual void unsubscribe(int id) = 0;
};

// Real time from a steady clock, starting at construction.
class SteadyCameraClock final : public CameraClock {
public:
  SteadyCameraClock() : origin_(std::chrono::steady_clock::now()) {}
  int64_t now_ns() const override;
  std::chrono::steady_clock::time_point real_deadline(int64_t t) const override;
  int subscribe(std::function<void()>) override { return 0; }
  void unsubscribe(int) override {}

private:
  std::chrono::steady_clock::time_point origin_;
};

// A clock that a test moves by hand.
class ManualCameraClock final : public CameraClock {
public:
  int64_t now_ns() const override;
  std::chrono::steady_clock::time_point real_deadline(int64_t t) const override;
  int subscribe(std::function<void()> wake) override;
  void unsubscribe(int id) override;

  // Moves the clock forward (never back) and wakes every subscriber.
  void advance(int64_t ns);
  void set(int64_t t);

private:
  mutable std::mutex mutex_; // protects now_, waiters_, next_id_
  std::mutex wake_mutex_;    // held while subscribers are called, so that after
                             // unsubscribe() returns none is running; taken before mutex_
  int64_t now_ = 0;
  std::vector<std::pair<int, std::function<void()>>> waiters_;
  int next_id_ = 1;
};

} // namespace emu
