// The camera as the source element runs it, apart from GStreamer's object
// machinery: a session (the device started by start()), the capture pin with
// a frame stream on it (opened at the size the caps fixed, on the pipeline's
// clock), the delivered frames queued for the streaming thread, and every way
// a stream can end turned into a failure with its reason: the camera
// unplugged, a read that failed, no frame for a while (the watchdog).
//
// Threads: start() and close() on the element's state-change thread; open(),
// close_pin() and next() on the streaming thread; set_zoom() and auto_focus()
// on any application thread; interrupt() and resume() on any thread. Every
// call into the session holds session_lock_, so they run one at a time. The
// driver's completion callback (its transfer thread) only queues the frame
// and rings the wake-up call.
//
// Ownership: owns the session (and through it the device and the pin), the
// frame stream and the queue; the element owns it and destroys it on its
// state-change thread once the streaming thread has stopped. No thread of the
// session or the driver holds a reference to it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <gst/gst.h>

#include "platform/streamclass/frame_stream.h"
#include "tools/dscam/wakeup.h"
#include "tools/gstdscam/frame_queue.h"
#include "tools/gstdscam/pipeline_clock.h"
#include "tools/session/session.h"

namespace dscam {

class CameraSource {
public:
  static constexpr size_t kQueuedFrames = 4; // frames waiting for the streaming thread, at most

  explicit CameraSource(const SessionOptions &options);
  // close()
  ~CameraSource();
  CameraSource(const CameraSource &) = delete;
  CameraSource &operator=(const CameraSource &) = delete;

  // Starts the device. False with *error the reason.
  bool start(std::string *error);
  // Opens the pin at width x height, top-down rows, with `clock` (the
  // pipeline's) as its master clock, and starts its frame stream; a pin open
  // at another size is closed first. False with *error the reason.
  bool open(long width, long height, GstClock *clock, std::string *error);
  // Whether a pin is open at width x height.
  bool is_open(long width, long height) const;
  // Stops the frame stream and closes the pin (its queued reads come back
  // cancelled); the frames still queued are lost.
  void close_pin();
  // Closes the pin and takes the session apart. Idempotent.
  void close();

  enum class Next { Frame, Interrupted, Failed };
  // Waits for the next frame and takes it (*discont: see FrameQueue::pop),
  // until interrupt(). Failed, with *error the reason, when the camera was
  // unplugged, a read failed, or no frame came for the watchdog's time while
  // no control held the camera.
  Next next(CapturedFrame *frame, bool *discont, std::string *error);
  // Lets go of a frame next() gave that will not be pushed: counted as lost,
  // and the next frame starts a discontinuity.
  void discard(CapturedFrame &frame);
  // next() returns Interrupted at once, now and until resume().
  void interrupt();
  void resume();

  // The clock time at which the pin's stream time was `presentation_time`
  // (100 ns units); GST_CLOCK_TIME_NONE for a time of -1 or without a pin.
  GstClockTime clock_time(LONGLONG presentation_time) const;

  // The driver's zoom property (Set: the driver moves the camera once no other
  // Set came for half a second) and one-touch auto focus (blocks until the
  // camera focused, within the driver's limit). The request's status;
  // STATUS_DEVICE_NOT_CONNECTED before start().
  NTSTATUS set_zoom(long value);
  NTSTATUS auto_focus();

  // FrameQueue::frames_lost().
  uint64_t frames_lost() const { return queue_.frames_lost(); }

private:
  void frame_completed(const streamclass::Frame &frame);
  bool failed(std::string *error);

  Wakeup wakeup_; // rung by frames, the unplug notice and interrupt()
  const SessionOptions options_;
  const double watchdog_seconds_;
  FrameQueue queue_;
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> closing_{false};  // the pin is being closed: failed reads are cancelled ones
  std::atomic<int> controls_busy_{0}; // controls holding the camera (the watchdog waits)
  std::atomic<ULONG> image_bytes_{0}; // the open pin's image size
  std::atomic<long> width_{0};        // of the open pin (0: none); written by open() and close_pin()
  std::atomic<long> height_{0};
  std::atomic<GstClockTime> clock_start_{GST_CLOCK_TIME_NONE}; // the open pin's PipelineMasterClock::start()
  mutable std::mutex session_lock_; // serializes calls into the session; guards the fields below
  bool started_ = false;
  std::unique_ptr<Session> session_;
  std::unique_ptr<streamclass::FrameStream> stream_; // goes after the pin's close has completed its reads
};

} // namespace dscam
