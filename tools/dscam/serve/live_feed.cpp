// The live feed: the pin opened on demand, frames through a one-frame mailbox,
// one JPEG per frame.
#include "tools/dscam/serve/live_feed.h"

#include <algorithm>
#include <cstdio>

#include "stream/stream_public.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 100ms;         // the feed's thread looks at its timers this often
constexpr auto kCountsPeriod = 500ms; // picture counts read this often while streaming
constexpr auto kRateWindow = 2s;      // frames per second measured over this long
constexpr auto kOpenRetry = 1s;       // a failed open is tried again after this long
constexpr auto kReopenPause = 300ms;  // a reopened pin waits this long after its close

} // namespace

LiveFeed::Watch &LiveFeed::Watch::operator=(Watch &&other) noexcept {
  if (this != &other) {
    release();
    feed_ = other.feed_;
    other.feed_ = nullptr;
  }
  return *this;
}

void LiveFeed::Watch::release() {
  if (feed_ != nullptr)
    feed_->unwatch();
  feed_ = nullptr;
}

LiveFeed::LiveFeed(streamclass::Adapter &adapter, const Settings &settings)
    : adapter_(adapter), settings_(settings), width_(settings.width), height_(settings.height) {}

LiveFeed::~LiveFeed() {
  stop();
}

void LiveFeed::start() {
  thread_ = std::thread([this] { run(); });
}

void LiveFeed::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  picture_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

LiveFeed::Watch LiveFeed::watch() {
  {
    std::lock_guard lock(mutex_);
    watchers_++;
    poked_ = true;
  }
  work_.notify_all();
  return Watch(this);
}

void LiveFeed::unwatch() {
  {
    std::lock_guard lock(mutex_);
    watchers_--;
    poked_ = true;
  }
  work_.notify_all();
}

std::shared_ptr<const LivePicture> LiveFeed::next_picture(uint64_t after, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  const auto newer = [&] { return latest_ && latest_->number > after; };
  picture_.wait_for(lock, limit, [&] { return stopping_ || newer(); });
  if (stopping_ || !newer())
    return nullptr;
  return latest_;
}

NTSTATUS LiveFeed::set_size(long width, long height) {
  std::vector<uint8_t> format;
  const NTSTATUS status =
      streamclass::video_format(adapter_, 0, static_cast<LONG>(width), static_cast<LONG>(height), format);
  if (!NT_SUCCESS(status))
    return status;
  {
    std::lock_guard lock(mutex_);
    if (width == width_ && height == height_)
      return STATUS_SUCCESS;
    width_ = width;
    height_ = height;
    size_changed_ = true;
    poked_ = true;
  }
  work_.notify_all();
  return STATUS_SUCCESS;
}

void LiveFeed::control_started() {
  std::lock_guard lock(mutex_);
  controls_running_++;
}

void LiveFeed::control_ended() {
  std::lock_guard lock(mutex_);
  controls_running_--;
  alive_ = Clock::now();
}

FeedFigures LiveFeed::figures() const {
  std::lock_guard lock(mutex_);
  FeedFigures figures = figures_;
  figures.streaming = open_ && !closing_;
  figures.watchers = watchers_;
  figures.width = width_;
  figures.height = height_;
  figures.dropped = dropped_closed_ + dropped_pin_;
  figures.refused_known = pictures_.available;
  figures.refused = pictures_.refused();
  figures.refusal = refusal_text(pictures_);
  const auto now = Clock::now();
  auto first = std::find_if(recent_.begin(), recent_.end(), [&](auto t) { return now - t <= kRateWindow; });
  const auto frames = std::distance(first, recent_.end());
  if (figures.streaming && frames >= 2) {
    const double seconds = std::chrono::duration<double>(recent_.back() - *first).count();
    figures.fps = seconds > 0 ? static_cast<double>(frames - 1) / seconds : 0;
  }
  return figures;
}

// The feed's thread: encodes what the mailbox holds, opens the pin for its
// first watcher and closes it after the last, reopens a failing or stalled
// one, and keeps the picture counts read.
void LiveFeed::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait_for(lock, kTick, [this] { return stopping_ || mailbox_full_ || poked_; });
    poked_ = false;
    if (stopping_)
      break;
    if (mailbox_full_)
      encode_mailbox(lock);
    const auto now = Clock::now();
    const bool reopen = reopen_due_locked(now);
    if (open_ && (!pin_wanted_locked() || size_changed_ || reopen)) {
      if (reopen)
        note_reopen_locked(now);
      lock.unlock();
      close_pin();
      lock.lock();
      next_open_ = reopen ? Clock::now() + kReopenPause : Clock::time_point{};
      poked_ = true;
    } else if (!open_ && pin_wanted_locked() && now >= next_open_) {
      lock.unlock();
      open_pin();
      lock.lock();
    } else if (open_ && now - counts_read_ >= kCountsPeriod) {
      lock.unlock();
      read_picture_counts();
      lock.lock();
    }
  }
  lock.unlock();
  close_pin();
}

// Says why the pin is reopened, until the next frame.
void LiveFeed::note_reopen_locked(Clock::time_point now) {
  figures_.reopened++;
  if (failures_this_pin_ > 0) {
    figures_.error = "a read failed (" + status_text(last_failure_) + "): the capture pin was reopened";
  } else if (transfer_ended_) {
    figures_.error = "the driver could not fetch a picture: the capture pin was reopened";
  } else {
    char text[96];
    std::snprintf(text, sizeof(text), "no picture from the camera for %.1f s: the capture pin was reopened",
                  std::chrono::duration<double>(now - alive_).count());
    figures_.error = text;
  }
}

bool LiveFeed::pin_wanted_locked() const {
  return watchers_ > 0 && !stopping_;
}

// A pin with a failed read has lost that read for good (the stream replaces
// only delivered frames), and one silent for too long has a transfer thread
// that gave up: either is reopened.
bool LiveFeed::reopen_due_locked(Clock::time_point now) const {
  if (!open_)
    return false;
  return failures_this_pin_ > 0 || transfer_ended_ ||
         (controls_running_ == 0 && now - alive_ > settings_.stall_limit);
}

// Encodes the mailbox's frame, without the lock, and makes it the latest picture.
void LiveFeed::encode_mailbox(std::unique_lock<std::mutex> &lock) {
  auto picture = std::make_shared<LivePicture>();
  picture->frame.swap(mailbox_);
  picture->number = mailbox_number_;
  picture->damaged = mailbox_damaged_;
  picture->width = mailbox_width_;
  picture->height = mailbox_height_;
  mailbox_full_ = false;
  lock.unlock();
  picture->jpeg = encode_jpeg(picture->image());
  lock.lock();
  // libjpeg fails on a whole frame only when memory is short: the viewers
  // wait for the next one then.
  if (picture->jpeg.empty())
    return;
  latest_ = std::move(picture);
  picture_.notify_all();
}

// Opens the pin with the size asked for and starts the frame stream on it. On
// failure, says why in the figures and tries again after kOpenRetry.
void LiveFeed::open_pin() {
  long width, height;
  {
    std::lock_guard lock(mutex_);
    width = width_;
    height = height_;
    size_changed_ = false;
  }
  std::vector<uint8_t> format;
  NTSTATUS status =
      streamclass::video_format(adapter_, 0, static_cast<LONG>(width), static_cast<LONG>(height), format);
  if (NT_SUCCESS(status))
    status = adapter_.open_pin(0, format, pin_);
  if (NT_SUCCESS(status))
    status = pin_->use_default_clock();
  if (NT_SUCCESS(status))
    status = pin_->set_state(KSSTATE_RUN);
  const ULONG bytes = streamclass::video_image_size(format);
  if (NT_SUCCESS(status)) {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
      pin_width_ = width;
      pin_height_ = height;
      pin_bytes_ = bytes;
      failures_this_pin_ = 0;
      alive_ = Clock::now();
      counts_read_ = alive_;
    }
    stream_ = std::make_unique<streamclass::FrameStream>(
        *pin_, streamclass::FrameStream::Options{settings_.buffers, bytes},
        [this](const streamclass::Frame &frame) { frame_completed(frame); });
    status = stream_->start();
  }
  if (NT_SUCCESS(status))
    return;
  close_pin();
  std::lock_guard lock(mutex_);
  figures_.error = "the capture pin did not open: " + status_text(status);
  next_open_ = Clock::now() + kOpenRetry;
}

// Closes the pin after a last reading of its picture counts; the reads it
// cancels are no failures. Its counts join those of the pins before it.
void LiveFeed::close_pin() {
  if (!pin_)
    return;
  if (open_)
    read_picture_counts();
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  if (stream_)
    stream_->stop();
  (void)pin_->set_state(KSSTATE_STOP);
  (void)pin_->close();
  stream_.reset(); // after the close has completed its reads
  pin_.reset();
  std::lock_guard lock(mutex_);
  closing_ = false;
  open_ = false;
  dropped_closed_ += dropped_pin_;
  dropped_pin_ = 0;
  counter_.pin_closed();
  pictures_ = counter_.totals();
  transfer_ended_ = false;
  recent_.clear();
}

// The driver's picture counts of the open pin (a stream property, answered
// without a camera exchange). A driver that does not publish them leaves the
// refused pictures unknown.
void LiveFeed::read_picture_counts() {
  counter_.poll(*pin_);
  std::lock_guard lock(mutex_);
  counts_read_ = Clock::now();
  pictures_ = counter_.totals();
  transfer_ended_ = counter_.size_exchange_failed();
}

// A read came back (the driver's transfer thread, or the thread closing the
// pin): a whole frame goes to the mailbox, replacing one not yet encoded.
void LiveFeed::frame_completed(const streamclass::Frame &frame) {
  const std::span<const uint8_t> data = frame.data();
  const KS_FRAME_INFO *info = frame.frame_info();
  {
    std::lock_guard lock(mutex_);
    if (frame.status() != STATUS_SUCCESS || data.size() < pin_bytes_) {
      if (!closing_) {
        figures_.failed_reads++;
        failures_this_pin_++;
        last_failure_ = frame.status();
        poked_ = true;
      }
    } else {
      const auto now = Clock::now();
      figures_.error.clear();
      figures_.frames++;
      if (mailbox_full_)
        figures_.replaced++;
      mailbox_.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(pin_bytes_));
      mailbox_full_ = true;
      mailbox_number_ = figures_.frames;
      mailbox_width_ = pin_width_;
      mailbox_height_ = pin_height_;
      mailbox_damaged_ = info != nullptr && (info->dwFrameFlags & VELTRA_FRAMEF_DAMAGED) != 0;
      if (mailbox_damaged_)
        figures_.damaged++;
      if (info != nullptr)
        dropped_pin_ = static_cast<uint64_t>(std::max<LONGLONG>(info->DropCount, 0));
      alive_ = now;
      recent_.push_back(now);
      while (now - recent_.front() > kRateWindow)
        recent_.pop_front();
    }
  }
  work_.notify_all();
}

} // namespace dscam
