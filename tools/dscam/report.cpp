// Progress bar and summary.
#include "tools/dscam/report.h"

#include <algorithm>
#include <unistd.h>

namespace dscam {

void print_summary(std::FILE *out, const RunSummary &summary) {
  const double rate = summary.elapsed > 0 ? static_cast<double>(summary.frames) / summary.elapsed : 0.0;
  const double decode_ms =
      summary.decoded > 0 ? summary.decode_seconds * 1000.0 / static_cast<double>(summary.decoded) : 0.0;
  std::fprintf(out,
               "frames:   %llu\n"
               "dropped:  %llu\n"
               "errors:   %llu\n"
               "elapsed:  %.3f s\n"
               "rate:     %.2f frames/s\n"
               "decode:   %.2f ms/frame\n",
               static_cast<unsigned long long>(summary.frames),
               static_cast<unsigned long long>(summary.dropped),
               static_cast<unsigned long long>(summary.errors), summary.elapsed, rate, decode_ms);
  std::fflush(out);
}

Progress::Progress(bool enabled, uint64_t total, double duration)
    : shown_(enabled && isatty(STDERR_FILENO) == 1), total_(total), duration_(duration) {}

void Progress::update(uint64_t frames, double elapsed) {
  if (!shown_ || (drawn_at_ >= 0 && elapsed - drawn_at_ < 0.1))
    return;
  drawn_at_ = elapsed;
  constexpr int kWidth = 30;
  double done = 0;
  if (total_ > 0)
    done = static_cast<double>(frames) / static_cast<double>(total_);
  else if (duration_ > 0)
    done = elapsed / duration_;
  const int filled = static_cast<int>(std::clamp(done, 0.0, 1.0) * kWidth);
  const double rate = elapsed > 0 ? static_cast<double>(frames) / elapsed : 0.0;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i)
    bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  if (total_ > 0)
    std::fprintf(stderr, "\r[%s] %llu/%llu frames  %.1f frames/s ", bar,
                 static_cast<unsigned long long>(frames), static_cast<unsigned long long>(total_), rate);
  else
    std::fprintf(stderr, "\r[%s] %llu frames  %.1f s  %.1f frames/s ", bar,
                 static_cast<unsigned long long>(frames), elapsed, rate);
  std::fflush(stderr);
  on_screen_ = true;
}

void Progress::clear() {
  if (!on_screen_)
    return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  on_screen_ = false;
}

} // namespace dscam
