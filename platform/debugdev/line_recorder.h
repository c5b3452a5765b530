// A debug sink for tests: keeps every message text as delivered, in arrival
// order, and lets a test read, search and wait for them.
//
// Thread-safe: write() may run on any number of threads while a test reads or
// waits; it holds the recorder's lock only to append one string.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/debugdev/debug_sink.h"

namespace platform {

class LineRecorder : public DebugSink {
public:
  // Keeps at most max_lines messages; further ones are counted as dropped.
  explicit LineRecorder(size_t max_lines = 1000000) : max_lines_(max_lines) {}

  void write(const char *text) override;

  // Every message kept so far, oldest first.
  std::vector<std::string> lines() const;

  // Number of messages kept, and of those dropped because the recorder was full.
  size_t size() const;
  uint64_t dropped() const;

  // Whether a message equals text exactly (its "\n" included).
  bool contains(std::string_view text) const;

  // The first message containing fragment, if any.
  std::optional<std::string> find(std::string_view fragment) const;

  // Number of messages containing fragment.
  size_t count(std::string_view fragment) const;

  // Waits until a message containing fragment has arrived (one already kept
  // counts), at most timeout. Returns whether one did. Blocks; not from the
  // message procedure.
  bool wait_for(std::string_view fragment, std::chrono::milliseconds timeout) const;

  // Forgets every message kept and the dropped count.
  void clear();

private:
  // Searches the messages from *scanned on, advancing it (from 0 again when
  // the recorder was cleared since *generation); lock_ held.
  bool contains_fragment_locked(std::string_view fragment, size_t *scanned, uint64_t *generation) const;

  const size_t max_lines_;
  mutable std::mutex lock_;                 // protects lines_, dropped_ and clears_
  mutable std::condition_variable arrived_; // signalled after each message kept
  std::vector<std::string> lines_;
  uint64_t dropped_ = 0;
  uint64_t clears_ = 0; // calls of clear(), for waiters
};

} // namespace platform
