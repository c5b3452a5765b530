// Streaming on a capture pin: the video format of a picture size, and a frame
// stream that keeps frame buffers queued.
#include "platform/streamclass/frame_stream.h"

#include <algorithm>
#include <cstring>

namespace streamclass {

NTSTATUS video_format(Adapter &adapter, ULONG stream, LONG width, LONG height, std::vector<uint8_t> &format) {
  const LONG rows = height < 0 ? -height : height;
  format.clear();
  for (const std::vector<uint8_t> &range : adapter.data_ranges(stream)) {
    if (range.size() < sizeof(KS_DATARANGE_VIDEO))
      continue;
    KS_DATARANGE_VIDEO video;
    std::memcpy(&video, range.data(), sizeof(video));
    if (video.VideoInfoHeader.bmiHeader.biWidth != width || video.VideoInfoHeader.bmiHeader.biHeight != rows)
      continue;
    NTSTATUS status = adapter.intersect(stream, range, format);
    if (!NT_SUCCESS(status))
      return status;
    if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
      format.clear();
      return STATUS_NO_MATCH;
    }
    if (height < 0) {
      auto *video_format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
      video_format->VideoInfoHeader.bmiHeader.biHeight = height;
    }
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

ULONG video_image_size(std::span<const uint8_t> format) {
  if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
    return 0;
  KS_DATAFORMAT_VIDEOINFOHEADER video;
  std::memcpy(&video, format.data(), sizeof(video));
  return video.VideoInfoHeader.bmiHeader.biSizeImage;
}

// ---------------------------------------------------------------------------
// FrameStream

FrameStream::FrameStream(Pin &pin, Options options, FrameCallback on_frame)
    : pin_(pin), options_(options), on_frame_(std::move(on_frame)) {
  if (options_.buffer_bytes != 0)
    return;
  std::vector<uint8_t> format;
  if (NT_SUCCESS(pin_.get_format(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), format)))
    options_.buffer_bytes = video_image_size(format);
}

// The host signals a completion before it calls the callback, so finished reads
// do not tell that their callbacks have returned: the callbacks count themselves.
FrameStream::~FrameStream() {
  std::unique_lock lock(mutex_);
  running_ = false;
  changed_.wait_for(lock, std::chrono::seconds(10), [this] { return callbacks_done_ == submitted_; });
}

NTSTATUS FrameStream::start() {
  if (options_.buffer_bytes == 0)
    return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard lock(mutex_);
    running_ = true;
  }
  size_t refused_before = refused();
  for (unsigned i = 0; i < options_.buffers; ++i)
    submit_one();
  return refused() == refused_before ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void FrameStream::stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
  changed_.notify_all();
}

// A completed buffer whose callback has returned, for the next read; empty when
// there is none. mutex_ held.
std::unique_ptr<FrameBuffer> FrameStream::take_spare() {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (it->returned) {
      std::unique_ptr<FrameBuffer> buffer = std::move(it->buffer);
      slots_.erase(it);
      return buffer;
    }
  }
  return nullptr;
}

// Submits one buffer, a spare one when there is one, without holding the lock:
// the driver may complete the read inside the call, on this thread, which runs
// completed(). The pin reuses a spare unless the application still holds a
// Frame of it (then it makes a new buffer and the spare is let go).
void FrameStream::submit_one() {
  std::unique_ptr<FrameBuffer> buffer;
  {
    std::lock_guard lock(mutex_);
    buffer = take_spare();
  }
  const NTSTATUS status =
      pin_.submit(options_.buffer_bytes, buffer, [this](const Frame &frame) { completed(frame); });
  std::lock_guard lock(mutex_);
  if (status != STATUS_PENDING) {
    refused_++;
    return;
  }
  submitted_++;
  Slot slot{std::move(buffer), false};
  // The read may have completed, and its callback returned, before it got here.
  auto early = std::find(early_.begin(), early_.end(), &slot.buffer->request());
  if (early != early_.end()) {
    early_.erase(early);
    slot.returned = true;
  }
  slots_.push_back(std::move(slot));
}

// Notes that the callback of `request`'s read has returned, so that its buffer
// may be reused; a stream keeps at most `buffers` spares. mutex_ held.
void FrameStream::callback_returned(const Request &request) {
  size_t spares = 0;
  for (const Slot &slot : slots_)
    spares += slot.returned ? 1 : 0;
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (&it->buffer->request() != &request)
      continue;
    if (spares >= options_.buffers)
      slots_.erase(it); // the read is over: letting its buffer go cancels nothing
    else
      it->returned = true;
    return;
  }
  early_.push_back(&request);
}

// A read came back: the application sees it, it is counted, and while the
// stream runs a good one is replaced by a new buffer. Completing thread.
void FrameStream::completed(const Frame &frame) {
  if (on_frame_)
    on_frame_(frame);
  bool again;
  {
    std::lock_guard lock(mutex_);
    completions_++;
    if (frame.status() == STATUS_SUCCESS)
      frames_++;
    again = running_ && frame.status() == STATUS_SUCCESS;
    if (!wanted_.empty() && completions_ >= *wanted_.begin())
      changed_.notify_all();
  }
  if (again)
    submit_one();
  // The last touch of this object by the callback; the destructor waits for it.
  std::lock_guard lock(mutex_);
  callback_returned(frame.request());
  callbacks_done_++;
  if (!running_)
    changed_.notify_all();
}

bool FrameStream::wait(const size_t &counter, size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  auto wanted = wanted_.insert(count);
  const bool done = changed_.wait_for(lock, timeout, [&] { return counter >= count; });
  wanted_.erase(wanted);
  return done;
}

bool FrameStream::wait_frames(size_t count, std::chrono::milliseconds timeout) {
  return wait(frames_, count, timeout);
}

bool FrameStream::wait_completions(size_t count, std::chrono::milliseconds timeout) {
  return wait(completions_, count, timeout);
}

size_t FrameStream::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

size_t FrameStream::completions() const {
  std::lock_guard lock(mutex_);
  return completions_;
}

size_t FrameStream::refused() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

} // namespace streamclass
