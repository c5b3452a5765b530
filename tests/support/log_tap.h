// Sees every message the driver logs, whatever its level. The debug channel
// formats level-4 messages and drops them before the debug device, so a line
// recorder never sees them; a LogTap is the channel's trace tap while it exists
// and keeps each message with its level.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/ntdef.h"

namespace test_support {

// One tap at a time. Messages from every thread are kept while it exists;
// destroy it only when no other thread is logging.
class LogTap {
public:
  LogTap();
  ~LogTap();
  LogTap(const LogTap &) = delete;
  LogTap &operator=(const LogTap &) = delete;

  // The texts kept so far, oldest first; level 0 means every level.
  std::vector<std::string> texts(LONG level = 0) const;
  void clear();

  // Called by the trace tap for each message.
  void add(LONG level, const char *text);

private:
  mutable std::mutex lock_;                         // protects lines_
  std::vector<std::pair<LONG, std::string>> lines_; // level and text
};

} // namespace test_support
