// The camera behind the source element.
#include "tools/gstdscam/camera_source.h"

#include <algorithm>
#include <cstdio>

#include "platform/streamclass/camera_control.h"
#include "stream/stream_public.h"
#include "tools/dscam/exit_codes.h"

namespace dscam {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBuffers = 4;       // reads kept queued in the driver
constexpr double kWatchdogFloor = 3.0; // seconds without a frame before the stream is given up
// A failed read is reported after this long, unless the camera's unplug notice
// (which may come a little after the reads it failed) names the cause first.
constexpr auto kFailureGrace = std::chrono::milliseconds(500);
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

// 3 s, or three picture intervals of a slower camera.
double watchdog_seconds(const SessionOptions &options) {
  return options.camera.fps > 0 ? std::max(kWatchdogFloor, 3.0 / options.camera.fps) : kWatchdogFloor;
}

double seconds_since(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

} // namespace

CameraSource::CameraSource(const SessionOptions &options)
    : options_(options), watchdog_seconds_(watchdog_seconds(options)), queue_(kQueuedFrames) {}

CameraSource::~CameraSource() {
  close();
}

bool CameraSource::start(std::string *error) {
  std::lock_guard guard(session_lock_);
  session_ = std::make_unique<Session>(options_, wakeup_);
  started_ = session_->start(error) == kExitOk;
  return started_;
}

bool CameraSource::is_open(long width, long height) const {
  return width_.load() == width && height_.load() == height;
}

bool CameraSource::open(long width, long height, GstClock *clock, std::string *error) {
  close_pin();
  std::lock_guard guard(session_lock_);
  if (!started_) {
    *error = "the device is not started";
    return false;
  }
  auto master = std::make_shared<PipelineMasterClock>(clock);
  queue_.restart();
  closing_.store(false);
  if (session_->open_pin(width, height, true, error, master) != kExitOk)
    return false;
  image_bytes_.store(streamclass::video_image_size(session_->format()));
  clock_start_.store(master->start());
  streamclass::FrameStream::Options stream_options;
  stream_options.buffers = kBuffers;
  stream_options.buffer_bytes = image_bytes_.load();
  stream_ = std::make_unique<streamclass::FrameStream>(
      *session_->pin(), stream_options, [this](const streamclass::Frame &frame) { frame_completed(frame); });
  const NTSTATUS status = stream_->start();
  if (!NT_SUCCESS(status)) {
    *error = "the capture pin took no frame buffer: " + status_text(status);
    return false;
  }
  width_.store(width);
  height_.store(height);
  return true;
}

void CameraSource::close_pin() {
  std::lock_guard guard(session_lock_);
  if (stream_)
    stream_->stop();
  closing_.store(true);
  if (session_)
    (void)session_->close_pin();
  stream_.reset();
  width_.store(0);
  height_.store(0);
  clock_start_.store(GST_CLOCK_TIME_NONE);
}

void CameraSource::close() {
  close_pin();
  std::lock_guard guard(session_lock_);
  if (session_)
    session_->close();
  session_.reset();
  started_ = false;
}

// A read came back (the driver's transfer thread, or the thread closing the
// pin): its frame is queued as a buffer; the frame stream submits the next read.
void CameraSource::frame_completed(const streamclass::Frame &frame) {
  const ULONG bytes = image_bytes_.load();
  if (frame.status() != STATUS_SUCCESS) {
    if (!closing_.load())
      queue_.read_failed(frame.status());
  } else if (frame.data().size() < bytes) {
    queue_.discard();
  } else {
    CapturedFrame captured;
    captured.buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
    gst_buffer_fill(captured.buffer, 0, frame.data().data(), bytes);
    // The driver's times are 100 ns units (numerator and denominator 1).
    const KSSTREAM_HEADER &header = frame.header();
    if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0)
      captured.presentation_time = header.PresentationTime.Time;
    if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DURATIONVALID) != 0 && header.Duration > 0)
      GST_BUFFER_DURATION(captured.buffer) = static_cast<GstClockTime>(header.Duration) * 100;
    if (const KS_FRAME_INFO *info = frame.frame_info()) {
      GST_BUFFER_OFFSET(captured.buffer) = static_cast<guint64>(info->PictureNumber);
      GST_BUFFER_OFFSET_END(captured.buffer) = static_cast<guint64>(info->PictureNumber) + 1;
      captured.drop_count = info->DropCount;
      captured.damaged = (info->dwFrameFlags & VELTRA_FRAMEF_DAMAGED) != 0;
    }
    queue_.push(captured);
  }
  wakeup_.ring();
}

CameraSource::Next CameraSource::next(CapturedFrame *frame, bool *discont, std::string *error) {
  // The watchdog counts from the latest of this call, the last frame and the
  // last look at a control holding the camera: the streaming thread may have
  // been away (paused) for longer than its limit, and a focus stops the frames.
  Clock::time_point alive = Clock::now();
  for (;;) {
    if (interrupted_.load())
      return Next::Interrupted;
    if (failed(error))
      return Next::Failed;
    if (queue_.pop(frame, discont))
      return Next::Frame;
    alive = std::max(alive, queue_.last_arrival());
    if (controls_busy_.load() > 0)
      alive = Clock::now();
    if (seconds_since(alive) >= watchdog_seconds_) {
      char text[96];
      std::snprintf(text, sizeof(text), "the camera stopped answering: no frame for %.1f s",
                    seconds_since(alive));
      *error = text;
      return Next::Failed;
    }
    wakeup_.wait(kWaitSlice);
  }
}

// Whether the stream has ended for good: the camera's unplug notice (then the
// camera is taken off its bus, so that every transfer still waiting fails), or
// a failed read with no unplug notice within the grace time.
bool CameraSource::failed(std::string *error) {
  {
    // A control holding the session is waited for on a later look, so that
    // an interrupt() meanwhile still ends next() at once.
    std::unique_lock guard(session_lock_, std::try_to_lock);
    if (guard.owns_lock() && session_ && session_->camera_gone()) {
      session_->unplug();
      *error = "the camera was disconnected";
      return true;
    }
  }
  Clock::time_point when;
  const NTSTATUS status = queue_.failure(&when);
  if (status == STATUS_SUCCESS || Clock::now() - when < kFailureGrace)
    return false;
  *error = "a frame read failed: " + status_text(status);
  return true;
}

void CameraSource::discard(CapturedFrame &frame) {
  gst_buffer_unref(frame.buffer);
  frame.buffer = nullptr;
  queue_.discard();
}

void CameraSource::interrupt() {
  interrupted_.store(true);
  wakeup_.ring();
}

void CameraSource::resume() {
  interrupted_.store(false);
}

GstClockTime CameraSource::clock_time(LONGLONG presentation_time) const {
  const GstClockTime start = clock_start_.load();
  if (presentation_time < 0 || start == GST_CLOCK_TIME_NONE)
    return GST_CLOCK_TIME_NONE;
  return start + static_cast<GstClockTime>(presentation_time) * 100;
}

NTSTATUS CameraSource::set_zoom(long value) {
  std::lock_guard guard(session_lock_);
  if (!started_)
    return STATUS_DEVICE_NOT_CONNECTED;
  return streamclass::set_camera_control(session_->adapter(), KSPROPERTY_CAMERACONTROL_ZOOM,
                                         static_cast<LONG>(value), KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
}

NTSTATUS CameraSource::auto_focus() {
  controls_busy_++;
  NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
  {
    std::lock_guard guard(session_lock_);
    if (started_)
      status = streamclass::set_camera_control(session_->adapter(), KSPROPERTY_CAMERACONTROL_FOCUS, 0,
                                               KSPROPERTY_CAMERACONTROL_FLAGS_AUTO);
  }
  controls_busy_--;
  return status;
}

} // namespace dscam
