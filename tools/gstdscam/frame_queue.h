// What the capture pin's reads bring, between the driver's completion callbacks
// (its transfer thread) and the element's create (the streaming thread): the
// frames made into buffers, at most `limit` of them waiting (when another
// arrives the oldest is discarded: a live source keeps the newest), the frames
// lost on the way, and the first read that failed.
//
// Thread-safe; lock_ is a leaf.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

#include <gst/gst.h>

#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"

namespace dscam {

// One delivered frame as the element will push it.
struct CapturedFrame {
  GstBuffer *buffer = nullptr;     // owned: the frame's bytes, with its offsets and duration
  LONGLONG presentation_time = -1; // the driver's time stamp, 100 ns of the pin's clock; -1: none
  LONGLONG drop_count = 0;         // the driver's drop count, as of this frame
  bool damaged = false;            // the driver marked the picture damaged
};

class FrameQueue {
public:
  explicit FrameQueue(size_t limit) : limit_(limit) {}
  ~FrameQueue(); // unrefs the buffers left
  FrameQueue(const FrameQueue &) = delete;
  FrameQueue &operator=(const FrameQueue &) = delete;

  // Queues a frame (taking its buffer).
  void push(CapturedFrame frame);
  // Counts a frame that came without a whole image: lost.
  void discard();
  // Notes a failed read (the first one's status is kept).
  void read_failed(NTSTATUS status);

  // Takes the oldest frame. *discont is true when frames were lost just before
  // it: the first frame of a pin, after frames the driver dropped (its drop
  // count grew) or this queue lost, or after a damaged frame.
  bool pop(CapturedFrame *frame, bool *discont);
  // Empties the queue for a new pin (the counts so far stay counted).
  void restart();

  // Frames lost since the first pin opened: the driver's drop count (frame
  // intervals it had no frame for, as of the last frame) plus the frames this
  // queue lost.
  uint64_t frames_lost() const;
  // When the last frame arrived (the time of the restart before the first).
  std::chrono::steady_clock::time_point last_arrival() const;
  // The first failed read's status (STATUS_SUCCESS: none) and when it came.
  NTSTATUS failure(std::chrono::steady_clock::time_point *when) const;

private:
  const size_t limit_;
  mutable std::mutex lock_; // guards everything below
  std::deque<CapturedFrame> frames_;
  std::chrono::steady_clock::time_point last_arrival_ = std::chrono::steady_clock::now();
  NTSTATUS failure_ = STATUS_SUCCESS;
  std::chrono::steady_clock::time_point failure_time_;
  uint64_t lost_ = 0;               // frames this queue lost, over every pin
  uint64_t earlier_pins_drops_ = 0; // the driver's drop counts of the pins closed before
  LONGLONG drop_count_ = 0;         // the drop count of the last frame taken
  bool gap_ = true;                 // the next frame taken follows lost frames
};

} // namespace dscam
