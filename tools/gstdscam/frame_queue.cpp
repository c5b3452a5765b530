// The frames between the driver's transfer thread and the streaming thread.
#include "tools/gstdscam/frame_queue.h"

namespace dscam {

FrameQueue::~FrameQueue() {
  for (CapturedFrame &frame : frames_)
    gst_buffer_unref(frame.buffer);
}

void FrameQueue::push(CapturedFrame frame) {
  std::lock_guard guard(lock_);
  last_arrival_ = std::chrono::steady_clock::now();
  if (frames_.size() >= limit_) {
    gst_buffer_unref(frames_.front().buffer);
    frames_.pop_front();
    lost_++;
    gap_ = true;
  }
  frames_.push_back(frame);
}

void FrameQueue::discard() {
  std::lock_guard guard(lock_);
  last_arrival_ = std::chrono::steady_clock::now();
  lost_++;
  gap_ = true;
}

void FrameQueue::read_failed(NTSTATUS status) {
  std::lock_guard guard(lock_);
  if (failure_ != STATUS_SUCCESS)
    return;
  failure_ = status;
  failure_time_ = std::chrono::steady_clock::now();
}

bool FrameQueue::pop(CapturedFrame *frame, bool *discont) {
  std::lock_guard guard(lock_);
  if (frames_.empty())
    return false;
  *frame = frames_.front();
  frames_.pop_front();
  *discont = gap_ || frame->drop_count > drop_count_;
  drop_count_ = frame->drop_count;
  gap_ = frame->damaged;
  return true;
}

void FrameQueue::restart() {
  std::lock_guard guard(lock_);
  lost_ += frames_.size();
  for (CapturedFrame &frame : frames_)
    gst_buffer_unref(frame.buffer);
  frames_.clear();
  earlier_pins_drops_ += static_cast<uint64_t>(drop_count_ > 0 ? drop_count_ : 0);
  drop_count_ = 0;
  gap_ = true;
  failure_ = STATUS_SUCCESS;
  last_arrival_ = std::chrono::steady_clock::now();
}

uint64_t FrameQueue::frames_lost() const {
  std::lock_guard guard(lock_);
  return earlier_pins_drops_ + static_cast<uint64_t>(drop_count_ > 0 ? drop_count_ : 0) + lost_;
}

std::chrono::steady_clock::time_point FrameQueue::last_arrival() const {
  std::lock_guard guard(lock_);
  return last_arrival_;
}

NTSTATUS FrameQueue::failure(std::chrono::steady_clock::time_point *when) const {
  std::lock_guard guard(lock_);
  *when = failure_time_;
  return failure_;
}

} // namespace dscam
