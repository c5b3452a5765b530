// The live feed behind dscam serve: the capture pin, open while someone
// watches and closed when nobody does (the device stays started), and the
// latest frame, JPEG-encoded once for every viewer.
//
// The driver completes reads on its transfer thread, where the feed copies the
// frame into a one-frame mailbox (a newer frame replaces one not yet encoded)
// and counts it; the feed's own thread opens and closes the pin, encodes the
// mailbox's frame and publishes it as the latest picture, and reads the
// driver's picture counts. A pin with a failed read, one whose transfer thread
// ended on a failed size exchange (its picture counts say so), or one that gave
// no frame for Settings::stall_limit while no camera control held it, is
// reopened.
//
// Thread-safe: every public member may be called from any thread. Viewers
// wait in next_picture(); stop() wakes them.
//
// Ownership: the feed owns its thread, the pin and the frame stream on it; the
// adapter is the caller's and must outlive the feed. stop() (at the latest
// ~LiveFeed) closes the pin and joins the thread. Watches and callers of
// next_picture() must be gone before the feed is destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/host.h"
#include "tools/dscam/image_writer.h"
#include "tools/dscam/picture_counts.h"

namespace dscam {

// One picture of the feed: the frame as the driver delivered it (blue-green-red
// rows, bottom-up) and its JPEG.
struct LivePicture {
  uint64_t number = 0; // frames the feed received before it, plus one (all pins of the feed)
  long width = 0;
  long height = 0;
  bool damaged = false; // the driver marked the frame VELTRA_FRAMEF_DAMAGED
  std::vector<uint8_t> frame;
  std::vector<uint8_t> jpeg;
  FrameImage image() const { return FrameImage{frame, width, height, false}; }
};

// What the feed counted since it was made, over every pin it opened.
struct FeedFigures {
  bool streaming = false; // the pin is open and running
  unsigned watchers = 0;  // watches alive (viewers and pictures being fetched)
  long width = 0;         // the size the pin is opened with
  long height = 0;
  uint64_t frames = 0;        // frames delivered whole or damaged (the last one's number)
  double fps = 0;             // frames per second over the last two seconds
  uint64_t dropped = 0;       // frames the driver dropped: no read was waiting (KS_FRAME_INFO.DropCount)
  uint64_t damaged = 0;       // frames delivered marked damaged
  uint64_t failed_reads = 0;  // reads that failed or came back short (not those a close cancelled)
  bool refused_known = false; // the driver answered its picture counts at least once
  uint64_t refused = 0;       // pictures the driver refused (too large, longer than announced, not fetched)
  std::string refusal;        // why the driver refused the last picture (empty: none refused)
  uint64_t replaced = 0;      // frames replaced by a newer one before they were encoded
  uint64_t reopened = 0;      // times the pin was reopened after failed reads or a stall
  std::string error; // why no picture came lately: a failed open, a failed read, a silent camera (until the
                     // next frame)
};

class LiveFeed {
public:
  struct Settings {
    long width = 320;
    long height = 240;
    unsigned buffers = 4; // reads kept queued in the driver
    // How long a watched pin may give no frame before it is reopened: a few
    // picture intervals of the camera.
    std::chrono::milliseconds stall_limit{3000};
  };

  // Keeps the pin open while it lives. Move-only.
  class Watch {
  public:
    Watch() = default;
    ~Watch() { release(); }
    Watch(Watch &&other) noexcept : feed_(other.feed_) { other.feed_ = nullptr; }
    Watch &operator=(Watch &&other) noexcept;
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;

  private:
    friend class LiveFeed;
    explicit Watch(LiveFeed *feed) : feed_(feed) {}
    void release();
    LiveFeed *feed_ = nullptr;
  };

  LiveFeed(streamclass::Adapter &adapter, const Settings &settings);
  ~LiveFeed();
  LiveFeed(const LiveFeed &) = delete;
  LiveFeed &operator=(const LiveFeed &) = delete;

  // Starts the feed's thread; no pin is opened before the first watch.
  void start();
  // Wakes every waiter, closes the pin and joins the thread. Idempotent.
  void stop();

  Watch watch();
  // The latest picture once its number is above `after`; null when none came
  // within `limit` or the feed stopped.
  std::shared_ptr<const LivePicture> next_picture(uint64_t after, std::chrono::milliseconds limit);
  // Asks for pictures of width x height: STATUS_NO_MATCH when the pin offers
  // no such format, else STATUS_SUCCESS and a watched pin is reopened with it.
  // Blocks for one data intersection.
  NTSTATUS set_size(long width, long height);
  // A camera control holds the frames for as long as it runs: no stall is
  // counted meanwhile.
  void control_started();
  void control_ended();

  FeedFigures figures() const;

private:
  using Clock = std::chrono::steady_clock;

  void run();
  void open_pin();
  void close_pin();
  void read_picture_counts();
  bool pin_wanted_locked() const;
  bool reopen_due_locked(Clock::time_point now) const;
  void note_reopen_locked(Clock::time_point now);
  void frame_completed(const streamclass::Frame &frame);
  void encode_mailbox(std::unique_lock<std::mutex> &lock);
  void unwatch();

  streamclass::Adapter &adapter_;
  const Settings settings_;
  std::thread thread_; // the feed's thread (run)

  // Only the feed's thread touches these (between start() and the join in stop()).
  std::unique_ptr<streamclass::Pin> pin_;
  std::unique_ptr<streamclass::FrameStream> stream_;
  Clock::time_point counts_read_;
  PictureCounter counter_;

  mutable std::mutex mutex_;        // protects everything below; a leaf lock
  std::condition_variable work_;    // signals the feed's thread: a watch, a frame, a size, stop
  std::condition_variable picture_; // signals waiters of next_picture: a new picture, stop
  bool stopping_ = false;
  bool poked_ = false; // something for the feed's thread to look at (a watch, a size, a failed read)
  unsigned watchers_ = 0;
  unsigned controls_running_ = 0;
  long width_;
  long height_;
  bool size_changed_ = false;
  bool open_ = false;              // pin_ is open and streaming
  bool closing_ = false;           // pin_ is being closed: its cancelled reads are no failures
  Clock::time_point next_open_{};  // no open before this (after a failed open)
  Clock::time_point alive_{};      // the pin's last frame, open, or end of a control
  unsigned failures_this_pin_ = 0; // failed reads since the pin opened
  NTSTATUS last_failure_ = STATUS_SUCCESS;
  long pin_width_ = 0; // the open pin's frame size
  long pin_height_ = 0;
  size_t pin_bytes_ = 0;
  std::vector<uint8_t> mailbox_; // the newest frame not yet encoded
  bool mailbox_full_ = false;
  uint64_t mailbox_number_ = 0;
  bool mailbox_damaged_ = false;
  long mailbox_width_ = 0;
  long mailbox_height_ = 0;
  std::shared_ptr<const LivePicture> latest_;
  std::deque<Clock::time_point> recent_; // arrival of the frames of the last two seconds
  FeedFigures figures_;
  uint64_t dropped_closed_ = 0; // DropCount of the pins closed before
  uint64_t dropped_pin_ = 0;    // DropCount of the open pin's last frame
  PictureTotals pictures_;      // counter_'s totals as last read
  bool transfer_ended_ = false; // the open pin's size exchange failed: its transfer thread has ended
};

} // namespace dscam
