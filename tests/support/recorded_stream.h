// The host's frame stream on an open pin with every completed read recorded as
// the application received it: status, stream header, frame information, the
// driver's frame number and (optionally) the bytes.
//
// Free of the test framework. Thread-safe: reads complete on the driver's
// threads while the test looks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/host.h"

namespace rig {

// One completed read.
struct FrameRecord {
  NTSTATUS status = STATUS_PENDING;
  KSSTREAM_HEADER header{};
  bool has_info = false;
  KS_FRAME_INFO info{};
  ULONG frame_number = 0;    // the driver's number for the frame (its request extension)
  std::vector<uint8_t> data; // DataUsed bytes, when the stream keeps data
  std::chrono::steady_clock::time_point arrived;
};

struct StreamOptions {
  unsigned buffers = 4;     // frame buffers kept queued
  ULONG buffer_bytes = 0;   // bytes per buffer (0: as the pin reports its format)
  bool keep_data = true;    // copy each frame's bytes into its record
  bool keep_records = true; // keep a record per read (false: only count)
  // Sees every completed read on the completing thread, before it is recorded.
  std::function<void(const streamclass::Frame &)> hook;
};

class RecordedStream {
public:
  RecordedStream(streamclass::Pin &pin, StreamOptions options);
  // Close the pin (or remove the adapter) first: that completes every read.
  ~RecordedStream() = default;
  RecordedStream(const RecordedStream &) = delete;
  RecordedStream &operator=(const RecordedStream &) = delete;

  NTSTATUS start() { return stream_->start(); }
  void stop() { stream_->stop(); }
  bool wait_frames(size_t count, std::chrono::milliseconds timeout) {
    return stream_->wait_frames(count, timeout);
  }
  size_t frames() const { return stream_->frames(); }
  size_t completions() const { return stream_->completions(); }

  // The reads recorded so far, in completion order.
  std::vector<FrameRecord> records() const;

private:
  void record(const streamclass::Frame &frame);

  StreamOptions options_;
  mutable std::mutex mutex_; // protects records_
  std::vector<FrameRecord> records_;
  std::unique_ptr<streamclass::FrameStream> stream_; // last: its callbacks use the members above
};

} // namespace rig
