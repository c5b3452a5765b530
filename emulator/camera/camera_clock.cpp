// The camera's clocks.
#include "emulator/camera/camera_clock.h"

#include <algorithm>

namespace emu {

int64_t SteadyCameraClock::now_ns() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - origin_)
      .count();
}

std::chrono::steady_clock::time_point SteadyCameraClock::real_deadline(int64_t t) const {
  return origin_ + std::chrono::nanoseconds(t);
}

int64_t ManualCameraClock::now_ns() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::chrono::steady_clock::time_point ManualCameraClock::real_deadline(int64_t) const {
  // Waiters are woken by advance(); the deadline only bounds a missed wake.
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
}

int ManualCameraClock::subscribe(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  waiters_.emplace_back(next_id_, std::move(wake));
  return next_id_++;
}

void ManualCameraClock::unsubscribe(int id) {
  std::lock_guard wake_lock(wake_mutex_);
  std::lock_guard lock(mutex_);
  std::erase_if(waiters_, [id](const auto &w) { return w.first == id; });
}

void ManualCameraClock::advance(int64_t ns) {
  std::lock_guard wake_lock(wake_mutex_);
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard lock(mutex_);
    now_ += std::max<int64_t>(ns, 0);
    for (const auto &w : waiters_)
      wakes.push_back(w.second);
  }
  for (const auto &wake : wakes)
    wake();
}

void ManualCameraClock::set(int64_t t) {
  int64_t delta;
  {
    std::lock_guard lock(mutex_);
    delta = t - now_;
  }
  advance(delta);
}

} // namespace emu
