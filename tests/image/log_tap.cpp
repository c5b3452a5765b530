// The log tap and the wrapper of DubugMsgArgs that feeds it.
#include "tests/image/log_tap.h"

#include <atomic>
#include <cstdlib>
#include <type_traits>

#include "diag/debug_msg.h"
#include "diag/osvprint.h"

namespace image_test {

namespace {

// The tap in place, or NULL. Set and cleared by LogTap; read by every logging
// thread.
std::atomic<LogTap *> g_tap{nullptr};

} // namespace

LogTap::LogTap() {
  LogTap *expected = nullptr;
  if (!g_tap.compare_exchange_strong(expected, this))
    std::abort(); // one tap at a time
}

LogTap::~LogTap() {
  g_tap.store(nullptr);
}

std::vector<std::string> LogTap::texts(LONG level) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> out;
  for (const auto &line : lines_)
    if (level == 0 || line.level == level)
      out.push_back(line.text);
  return out;
}

std::vector<TappedLine> LogTap::lines() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

void LogTap::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.clear();
}

void LogTap::add(LONG level, const char *text) {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.push_back({level, text});
}

} // namespace image_test

// DubugMsgArgs(LONG, PCSTR, const OSV_ARG *, ULONG) as the linker names it; the
// link option --wrap sends every call to the wrapper below.
extern "C" VOID __real__Z12DubugMsgArgsiPKcPK7OSV_ARGj(LONG level, PCSTR format, const OSV_ARG *args,
                                                       ULONG count);

static_assert(std::is_same_v<decltype(&DubugMsgArgs), decltype(&__real__Z12DubugMsgArgsiPKcPK7OSV_ARGj)>,
              "the wrapped name is DubugMsgArgs's");

extern "C" VOID __wrap__Z12DubugMsgArgsiPKcPK7OSV_ARGj(LONG level, PCSTR format, const OSV_ARG *args,
                                                       ULONG count) {
  image_test::LogTap *tap = image_test::g_tap.load();
  if (tap != nullptr) {
    CHAR buffer[OSV_BUFFER_SIZE];
    OSV_ARG_CURSOR cursor{args, count, 0};
    OSvprint(buffer, format, &cursor);
    tap->add(level, buffer);
  }
  __real__Z12DubugMsgArgsiPKcPK7OSV_ARGj(level, format, args, count);
}
