// The log tap: the debug channel's trace tap while it exists.
#include "tests/support/log_tap.h"

#include <atomic>
#include <cstdlib>

#include "diag/debug_msg.h"

namespace test_support {

namespace {

// The tap in place, or NULL. Set and cleared by LogTap; read by every logging
// thread.
std::atomic<LogTap *> g_tap{nullptr};

VOID tap_message(LONG level, const CHAR *text) {
  LogTap *tap = g_tap.load(std::memory_order_acquire);
  if (tap != nullptr)
    tap->add(level, text);
}

} // namespace

LogTap::LogTap() {
  LogTap *expected = nullptr;
  if (!g_tap.compare_exchange_strong(expected, this))
    std::abort(); // one tap at a time
  DubugMsgSetTap(tap_message);
}

LogTap::~LogTap() {
  DubugMsgSetTap(nullptr);
  g_tap.store(nullptr);
}

std::vector<std::string> LogTap::texts(LONG level) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> out;
  for (const auto &[line_level, text] : lines_)
    if (level == 0 || line_level == level)
      out.push_back(text);
  return out;
}

void LogTap::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.clear();
}

void LogTap::add(LONG level, const char *text) {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.emplace_back(level, text);
}

} // namespace test_support
