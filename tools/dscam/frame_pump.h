// The frame pump: keeps a number of frame buffers queued on the capture pin and
// hands each completed frame's bytes to the main loop through a bounded queue.
//
// The driver completes reads on its transfer thread, where the pump's callback
// copies the frame (a frame shorter than the format's image, a picture the
// driver could not decode, is counted as an error and not passed on) (never blocking: when the main loop
// falls behind by more than the queue holds, the frame is dropped and counted) and submits a new buffer,
// after a failed read too, so that a camera that fails one picture does not end the stream. Storage for
// frames is reused.
//
// Thread-safe. Stop the pump, then close the pin (which completes every read
// still queued), then destroy the pump.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/streamclass/host.h"
#include "tools/dscam/wakeup.h"

namespace dscam {

struct PumpCounts {
  uint64_t frames = 0;       // reads completed with a frame
  uint64_t errors = 0;       // failed reads (cancelled ones at the end excluded) and short frames
  uint64_t short_frames = 0; // reads completed with fewer bytes than the format's image
  NTSTATUS last_error = STATUS_SUCCESS;
  uint64_t queue_drops = 0; // frames dropped because the main loop fell behind
  int64_t driver_drops = 0; // the driver's drop count of the last frame (KS_FRAME_INFO)
  std::chrono::steady_clock::time_point last_completion; // of any read
};

class FramePump {
public:
  // `bytes`: the size of each buffer (the format's image size).
  FramePump(streamclass::Pin &pin, ULONG bytes, unsigned buffers, size_t queue_limit, Wakeup &wakeup);
  // Stops and waits (at most 10 s) until every callback has returned.
  ~FramePump();
  FramePump(const FramePump &) = delete;
  FramePump &operator=(const FramePump &) = delete;

  // Submits the buffers; false when the pin refused every one.
  bool start();
  // No more buffers are submitted; the frames queued stay for pop().
  void stop();

  // Takes the oldest queued frame into `frame` (whose old storage the pump
  // keeps for reuse); false when none is queued.
  bool pop(std::vector<uint8_t> &frame);
  PumpCounts counts() const;

private:
  void submit_one();
  void completed(const streamclass::Frame &frame);

  streamclass::Pin &pin_;
  const ULONG bytes_;
  const unsigned buffers_;
  const size_t queue_limit_;
  Wakeup &wakeup_;
  mutable std::mutex mutex_;     // protects everything below
  std::condition_variable idle_; // signals a callback's return while stopping
  bool running_ = false;
  std::vector<std::unique_ptr<streamclass::FrameBuffer>> outstanding_;
  std::deque<std::vector<uint8_t>> queue_;  // frames for the main loop, oldest first
  std::vector<std::vector<uint8_t>> spare_; // storage to reuse
  PumpCounts counts_;
  uint64_t submitted_ = 0;          // reads the pin accepted
  uint64_t callbacks_done_ = 0;     // completion callbacks that have returned
  unsigned consecutive_errors_ = 0; // failed reads since the last frame
};

} // namespace dscam
