// The frame pump.
#include "tools/dscam/frame_pump.h"

#include <algorithm>

#include "stream/stream_public.h"

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

// Copies a whole frame and what the driver said about it into the queue, or
// counts it dropped when the queue is full. Called with the lock held.
void FramePump::queue_frame(const streamclass::Frame &frame, bool damaged) {
  if (queue_.size() >= queue_limit_) {
    counts_.queue_drops++;
    drops_pending_++;
    return;
  }
  PumpFrame out;
  if (!spare_.empty()) {
    out.bytes = std::move(spare_.back());
    spare_.pop_back();
  }
  const std::span<const uint8_t> data = frame.data();
  out.bytes.assign(data.begin(), data.end());
  out.damaged = damaged;
  out.time_valid = (frame.header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  out.time = frame.header().PresentationTime.Time;
  if (const KS_FRAME_INFO *info = frame.frame_info()) {
    out.picture_number = info->PictureNumber;
    out.drop_count = info->DropCount;
  }
  out.tool_drops = drops_pending_;
  drops_pending_ = 0;
  queue_.push_back(std::move(out));
}

// A read came back (driver's transfer thread, or the thread closing the pin):
// a whole frame is queued for the main loop and a new buffer goes in its
// place; a failed read is not replaced.
void FramePump::completed(const streamclass::Frame &frame) {
  const bool success = frame.status() == STATUS_SUCCESS;
  bool again = false;
  {
    std::lock_guard lock(mutex_);
    if (success && frame.data().size() < bytes_) {
      counts_.short_frames++;
      again = running_;
    } else if (success) {
      const KS_FRAME_INFO *info = frame.frame_info();
      const bool damaged = info != nullptr && (info->dwFrameFlags & VELTRA_FRAMEF_DAMAGED) != 0;
      counts_.frames++;
      if (info != nullptr)
        counts_.driver_drops = info->DropCount;
      queue_frame(frame, damaged);
      again = running_;
    } else if (running_) {
      // Reads cancelled by the close at the end of a run are no failures.
      counts_.failed_reads++;
      counts_.last_error = frame.status();
    }
  }
  wakeup_.ring();
  if (again)
    submit_one();
  std::lock_guard lock(mutex_);
  callbacks_done_++;
  if (!running_)
    idle_.notify_all();
}

bool FramePump::pop(PumpFrame &frame) {
  std::lock_guard lock(mutex_);
  if (queue_.empty())
    return false;
  if (frame.bytes.capacity() != 0)
    spare_.push_back(std::move(frame.bytes));
  frame = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

PumpCounts FramePump::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

} // namespace dscam
