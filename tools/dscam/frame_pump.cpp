// The frame pump.
#include "tools/dscam/frame_pump.h"

#include <algorithm>

namespace dscam {

FramePump::FramePump(streamclass::Pin &pin, ULONG bytes, unsigned buffers, size_t queue_limit, Wakeup &wakeup)
    : pin_(pin), bytes_(bytes), buffers_(buffers), queue_limit_(queue_limit), wakeup_(wakeup) {}

// The host signals a completion before it calls the callback, so the callbacks
// count their own returns and the destructor waits for them.
FramePump::~FramePump() {
  std::unique_lock lock(mutex_);
  running_ = false;
  idle_.wait_for(lock, std::chrono::seconds(10), [this] { return callbacks_done_ == submitted_; });
}

bool FramePump::start() {
  {
    std::lock_guard lock(mutex_);
    running_ = true;
  }
  for (unsigned i = 0; i < buffers_; ++i)
    submit_one();
  std::lock_guard lock(mutex_);
  return submitted_ > 0;
}

void FramePump::stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
}

// Submits one buffer without holding the lock: the driver may complete the read
// inside the call, on this thread.
void FramePump::submit_one() {
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  const NTSTATUS status =
      pin_.submit(bytes_, buffer, [this](const streamclass::Frame &frame) { completed(frame); });
  std::lock_guard lock(mutex_);
  if (status != STATUS_PENDING)
    return;
  submitted_++;
  std::erase_if(outstanding_, [](const auto &b) { return b->completed(); });
  if (buffer && !buffer->completed())
    outstanding_.push_back(std::move(buffer));
}

// A read came back (driver's transfer thread, or the thread closing the pin):
// its frame is queued for the main loop and a new buffer goes in its place.
void FramePump::completed(const streamclass::Frame &frame) {
  const bool good = frame.status() == STATUS_SUCCESS && frame.data().size() >= bytes_;
  bool again;
  {
    std::lock_guard lock(mutex_);
    if (frame.status() == STATUS_SUCCESS && !good) {
      counts_.errors++;
      counts_.short_frames++;
    } else if (good) {
      counts_.frames++;
      if (const KS_FRAME_INFO *info = frame.frame_info())
        counts_.driver_drops = info->DropCount;
      if (queue_.size() >= queue_limit_) {
        counts_.queue_drops++;
      } else {
        std::vector<uint8_t> storage;
        if (!spare_.empty()) {
          storage = std::move(spare_.back());
          spare_.pop_back();
        }
        const std::span<const uint8_t> data = frame.data();
        storage.assign(data.begin(), data.end());
        queue_.push_back(std::move(storage));
      }
      consecutive_errors_ = 0;
    } else if (running_) {
      // Reads cancelled by the close at the end of a run are no errors.
      counts_.errors++;
      counts_.last_error = frame.status();
      consecutive_errors_++;
    }
    // A read that fails at once would be replaced, and fail, without end: after
    // a run of failures the pump lets the queue drain and the watchdog decide.
    again = running_ && consecutive_errors_ <= 2 * buffers_;
  }
  wakeup_.ring();
  if (again)
    submit_one();
  std::lock_guard lock(mutex_);
  callbacks_done_++;
  if (!running_)
    idle_.notify_all();
}

bool FramePump::pop(std::vector<uint8_t> &frame) {
  std::lock_guard lock(mutex_);
  if (queue_.empty())
    return false;
  if (frame.capacity() != 0)
    spare_.push_back(std::move(frame));
  frame = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

PumpCounts FramePump::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

} // namespace dscam
