// Streaming on a capture pin, the way a capture application runs one: the video
// format of a given picture size, chosen from the pin's ranges by data
// intersection, and a frame stream that keeps a number of frame buffers queued
// on an open pin, hands every completed read to the application and replaces it
// with a new buffer while the stream runs.
//
// Thread safety: every member may be called from any thread. The frame callback
// runs on the thread that completes the read (the driver's transfer thread, or
// the thread that cancels or closes), with no lock of the stream held; like any
// completion callback of the host it may submit requests but must not close the
// pin, remove the adapter or wait for another request.
//
// Buffers are reused: once a read's callback has returned, its request and frame
// buffer serve a later read, so steady streaming allocates nothing per frame. A
// Frame the application keeps (a copy of the callback's argument) keeps its
// buffer out of reuse for as long as it is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "platform/streamclass/host.h"

namespace streamclass {

// The format of stream `stream` for pictures of `width` x |height| pixels: the
// range whose video info header has that size, intersected by the driver, with
// its bitmap turned top-down (negative biHeight) when `height` is negative.
// STATUS_NO_MATCH when no range has that size; else the intersection's status.
NTSTATUS video_format(Adapter &adapter, ULONG stream, LONG width, LONG height, std::vector<uint8_t> &format);

// The image size (biSizeImage) of a video format's bitmap; 0 when `format` is too
// short to hold a KS_DATAFORMAT_VIDEOINFOHEADER.
ULONG video_image_size(std::span<const uint8_t> format);

class FrameStream {
public:
  struct Options {
    unsigned buffers = 4; // frame buffers kept queued
    // Bytes per buffer; 0: the image size of the format the pin reports
    // (SRB_GET_DATA_FORMAT). A pin that does not report it needs the size given.
    ULONG buffer_bytes = 0;
  };

  // A stream on an open pin; nothing is submitted before start(). `on_frame` (may
  // be empty) sees every completed read, successful or not.
  FrameStream(Pin &pin, Options options, FrameCallback on_frame = {});
  // Stops resubmitting and waits (at most 10 s) until the callbacks of every read
  // it submitted have returned. Close the pin (or remove its adapter) first: that
  // completes every read still queued.
  ~FrameStream();
  FrameStream(const FrameStream &) = delete;
  FrameStream &operator=(const FrameStream &) = delete;

  // Submits the buffers; the pin must take reads (a state other than
  // KSSTATE_STOP). STATUS_SUCCESS when every buffer was queued;
  // STATUS_INVALID_PARAMETER without a buffer size; STATUS_UNSUCCESSFUL when the
  // pin or the driver refused a buffer.
  NTSTATUS start();
  // No more buffers are submitted; those queued stay until completed.
  void stop();

  // Wait until `count` reads have completed successfully (frames), or at all
  // (completions); false on timeout.
  bool wait_frames(size_t count, std::chrono::milliseconds timeout);
  bool wait_completions(size_t count, std::chrono::milliseconds timeout);

  size_t frames() const;      // reads completed with STATUS_SUCCESS
  size_t completions() const; // reads completed, whatever their status
  size_t refused() const;     // submissions the pin or the driver refused at once
  ULONG buffer_bytes() const { return options_.buffer_bytes; }

private:
  // A submitted read and whether its completion callback has returned (then
  // its buffer may be reused).
  struct Slot {
    std::unique_ptr<FrameBuffer> buffer;
    bool returned = false;
  };

  void submit_one();
  std::unique_ptr<FrameBuffer> take_spare();
  void callback_returned(const Request &request);
  void completed(const Frame &frame);
  bool wait(const size_t &counter, size_t count, std::chrono::milliseconds timeout);

  Pin &pin_;
  Options options_;
  FrameCallback on_frame_;
  mutable std::mutex mutex_; // protects everything below
  std::condition_variable changed_;
  bool running_ = false;
  std::vector<Slot> slots_;            // reads submitted, until their buffers are reused
  std::vector<const Request *> early_; // reads whose callbacks returned before they had a slot
  size_t frames_ = 0;
  size_t completions_ = 0;
  size_t refused_ = 0;
  size_t submitted_ = 0;         // reads the pin accepted
  size_t callbacks_done_ = 0;    // completion callbacks that have returned
  std::multiset<size_t> wanted_; // counts waiters wait for: they are woken only then
};

} // namespace streamclass
