// A frame stream that records what the application receives.
#include "tests/support/recorded_stream.h"

#include "adapter/adapter.h"

namespace rig {

RecordedStream::RecordedStream(streamclass::Pin &pin, StreamOptions options) : options_(std::move(options)) {
  streamclass::FrameStream::Options stream_options;
  stream_options.buffers = options_.buffers;
  stream_options.buffer_bytes = options_.buffer_bytes;
  stream_ = std::make_unique<streamclass::FrameStream>(
      pin, stream_options, [this](const streamclass::Frame &frame) { record(frame); });
}

void RecordedStream::record(const streamclass::Frame &frame) {
  if (options_.hook)
    options_.hook(frame);
  if (!options_.keep_records)
    return;
  FrameRecord record;
  record.status = frame.status();
  record.header = frame.header();
  if (const KS_FRAME_INFO *info = frame.frame_info()) {
    record.has_info = true;
    record.info = *info;
  }
  if (auto *ext = static_cast<const SRB_EXTENSION *>(frame.request().srb().SRBExtension))
    record.frame_number = ext->FrameNumber;
  if (options_.keep_data && record.status == STATUS_SUCCESS)
    record.data.assign(frame.data().begin(), frame.data().end());
  record.arrived = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
}

std::vector<FrameRecord> RecordedStream::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

} // namespace rig
