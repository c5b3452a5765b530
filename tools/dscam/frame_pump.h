// The frame pump: keeps a number of frame buffers queued on the capture pin and
// hands each completed frame, with what the driver said about it, to the main
// loop through a bounded queue.
//
// The driver completes reads on its transfer thread, where the pump's callback
// copies the frame and submits a new buffer. It never blocks there: when the
// main loop falls behind by more than the queue holds, the frame is dropped and
// counted. A frame shorter than the format's image is counted and not passed
// on; a frame the driver marked damaged is passed on with the mark. A failed
// read is counted and not replaced: the driver ends its transfer thread when
// the camera's exchange fails, so the main loop decides whether to reopen the
// pin. Storage for frames is reused.
//
// Thread-safe. Stop the pump, then close the pin (which completes every read
// still queued), then destroy the pump.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/streamclass/host.h"
#include "tools/dscam/wakeup.h"

namespace dscam {

// One frame as the driver delivered it.
struct PumpFrame {
  std::vector<uint8_t> bytes;
  bool damaged = false;        // its picture did not decode whole (VELTRA_FRAMEF_DAMAGED)
  bool time_valid = false;     // the stream header carries a presentation time
  LONGLONG time = 0;           // presentation time, 100 ns units of the pin's master clock
  LONGLONG picture_number = 0; // KS_FRAME_INFO.PictureNumber
  LONGLONG drop_count = 0;     // KS_FRAME_INFO.DropCount: the pin's dropped pictures so far
  uint64_t tool_drops = 0;     // frames the pump dropped since the frame before this one
};

// What one pump has counted.
struct PumpCounts {
  uint64_t frames = 0;                  // reads completed with a whole frame, damaged ones included
  uint64_t failed_reads = 0;            // reads completed with a failure (not those cancelled by the close)
  uint64_t short_frames = 0;            // reads completed with fewer bytes than the format's image
  NTSTATUS last_error = STATUS_SUCCESS; // the status of the last failed read
  uint64_t queue_drops = 0;             // frames dropped because the main loop fell behind
  int64_t driver_drops = 0;             // the DropCount of the last frame
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
  bool pop(PumpFrame &frame);
  PumpCounts counts() const;

private:
  void submit_one();
  void completed(const streamclass::Frame &frame);
  void queue_frame(const streamclass::Frame &frame, bool damaged);

  streamclass::Pin &pin_;
  const ULONG bytes_;
  const unsigned buffers_;
  const size_t queue_limit_;
  Wakeup &wakeup_;
  mutable std::mutex mutex_;     // protects everything below
  std::condition_variable idle_; // signals a callback's return while stopping
  bool running_ = false;
  std::vector<std::unique_ptr<streamclass::FrameBuffer>> outstanding_;
  std::deque<PumpFrame> queue_;             // frames for the main loop, oldest first
  std::vector<std::vector<uint8_t>> spare_; // storage to reuse
  PumpCounts counts_;
  uint64_t drops_pending_ = 0;  // queue drops not yet reported with a frame
  uint64_t submitted_ = 0;      // reads the pin accepted
  uint64_t callbacks_done_ = 0; // completion callbacks that have returned
};

} // namespace dscam
