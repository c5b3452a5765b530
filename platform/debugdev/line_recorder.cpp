// The line recorder: a locked list of message texts with a condition variable
// for tests that wait for a message.
#include "platform/debugdev/line_recorder.h"

namespace platform {

void LineRecorder::write(const char *text) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (lines_.size() >= max_lines_) {
      ++dropped_;
      return;
    }
    lines_.emplace_back(text);
  }
  arrived_.notify_all();
}

std::vector<std::string> LineRecorder::lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

size_t LineRecorder::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_.size();
}

uint64_t LineRecorder::dropped() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped_;
}

bool LineRecorder::contains(std::string_view text) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const std::string &line : lines_)
    if (line == text)
      return true;
  return false;
}

std::optional<std::string> LineRecorder::find(std::string_view fragment) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const std::string &line : lines_)
    if (line.find(fragment) != std::string::npos)
      return line;
  return std::nullopt;
}

size_t LineRecorder::count(std::string_view fragment) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const std::string &line : lines_)
    if (line.find(fragment) != std::string::npos)
      ++n;
  return n;
}

bool LineRecorder::contains_fragment_locked(std::string_view fragment, size_t *scanned,
                                            uint64_t *generation) const {
  if (*generation != clears_) { // cleared meanwhile: search the new messages from the start
    *generation = clears_;
    *scanned = 0;
  }
  for (; *scanned < lines_.size(); ++*scanned)
    if (lines_[*scanned].find(fragment) != std::string::npos)
      return true;
  return false;
}

bool LineRecorder::wait_for(std::string_view fragment, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(lock_);
  size_t scanned = 0; // messages already searched, so each is searched once
  uint64_t generation = clears_;
  return arrived_.wait_for(guard, timeout,
                           [&] { return contains_fragment_locked(fragment, &scanned, &generation); });
}

void LineRecorder::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  lines_.clear();
  dropped_ = 0;
  ++clears_;
}

} // namespace platform
