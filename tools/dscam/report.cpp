// Progress bar, frame lines and summary.
#include "tools/dscam/report.h"

#include <algorithm>
#include <unistd.h>

#include "tools/dscam/json_writer.h"

namespace dscam {
namespace {

// "N what" joined by ", ", for the counts that are not 0.
void add_part(std::string &parts, uint64_t count, const char *what) {
  if (count == 0)
    return;
  if (!parts.empty())
    parts += "; ";
  parts += what + std::to_string(count);
}

// What the errors count is made of: "pictures refused: 1 too large; reads failed: 2".
std::string error_parts(const RunSummary &summary) {
  std::string parts;
  const PictureTotals &pictures = summary.pictures;
  if (pictures.refused() > 0) {
    std::string refused;
    for (const auto &[count, why] : {std::pair{pictures.too_large, " too large"},
                                     std::pair{pictures.longer_than_announced, " longer than announced"},
                                     std::pair{pictures.failed_fetches, " not fetched"}})
      if (count > 0)
        refused += (refused.empty() ? "" : ", ") + std::to_string(count) + why;
    parts = "pictures refused: " + refused;
  }
  add_part(parts, summary.failed_reads, "reads failed: ");
  add_part(parts, summary.short_frames, "short frames: ");
  add_part(parts, summary.failed_writes, "writes failed: ");
  if (parts.empty())
    parts = "refused pictures, failed reads, short frames, failed writes";
  if (!pictures.available)
    parts += "; the driver's counts of refused pictures were unavailable";
  return parts;
}

double rate_of(const RunSummary &summary) {
  return summary.elapsed > 0 ? static_cast<double>(summary.frames) / summary.elapsed : 0.0;
}

double decode_ms_of(const RunSummary &summary) {
  return summary.decoded > 0 ? summary.decode_seconds * 1000.0 / static_cast<double>(summary.decoded) : 0.0;
}

} // namespace

void print_summary(std::FILE *out, const RunSummary &summary) {
  const auto count = [](uint64_t value) { return static_cast<unsigned long long>(value); };
  std::fprintf(out, "frames:   %llu written\n", count(summary.frames));
  std::fprintf(out, "damaged:  %llu %s (frames whose pictures did not decode whole)\n",
               count(summary.damaged), summary.skip_damaged ? "skipped" : "written all the same");
  std::fprintf(out,
               "dropped:  %llu (pictures the driver had no read waiting for: %llu; "
               "frames the tool could not keep up with: %llu)\n",
               count(summary.driver_drops + summary.tool_drops), count(summary.driver_drops),
               count(summary.tool_drops));
  std::fprintf(out, "errors:   %llu (%s)\n", count(summary.errors()), error_parts(summary).c_str());
  std::fprintf(out, "retries:  %llu (capture pin reopened after failed reads; at most %ld in a row)\n",
               count(summary.retries), summary.retry_limit);
  std::fprintf(out,
               "elapsed:  %.3f s\n"
               "rate:     %.2f frames/s (written)\n"
               "decode:   %.2f ms/frame (the driver's JPEG decoding)\n",
               summary.elapsed, rate_of(summary), decode_ms_of(summary));
  std::fflush(out);
}

void print_summary_json(std::FILE *out, const RunSummary &summary, int exit_code, const std::string &error) {
  JsonWriter json;
  json.begin_object()
      .field("frames", summary.frames)
      .field("damaged", summary.damaged)
      .field("damaged_skipped", summary.skip_damaged)
      .key("dropped")
      .begin_object()
      .field("driver", summary.driver_drops)
      .field("tool", summary.tool_drops)
      .end_object()
      .field("errors", summary.errors())
      .key("refused");
  if (summary.pictures.available)
    json.begin_object()
        .field("too_large", summary.pictures.too_large)
        .field("longer_than_announced", summary.pictures.longer_than_announced)
        .field("not_fetched", summary.pictures.failed_fetches)
        .end_object();
  else
    json.null();
  json.field("failed_reads", summary.failed_reads)
      .field("short_frames", summary.short_frames)
      .field("failed_writes", summary.failed_writes)
      .field("retries", summary.retries)
      .field("retry_limit", summary.retry_limit)
      .field("elapsed_s", summary.elapsed)
      .field("rate_fps", rate_of(summary))
      .field("decode_ms", decode_ms_of(summary))
      .field("exit_status", exit_code)
      .key("error");
  if (error.empty())
    json.null();
  else
    json.value(error);
  json.end_object();
  std::fprintf(out, "%s\n", json.text().c_str());
  std::fflush(out);
}

void print_frame_line(std::FILE *out, const FrameLine &line) {
  char number[24] = "------";
  if (line.number > 0)
    std::snprintf(number, sizeof(number), "%06llu", static_cast<unsigned long long>(line.number));
  std::string text = "frame " + std::string(number) + " seq " + std::to_string(line.sequence);
  char part[64];
  if (line.time_valid) {
    std::snprintf(part, sizeof(part), " time %.6f s", static_cast<double>(line.time) / 1e7);
    text += part;
  }
  text += " bytes " + std::to_string(line.bytes);
  if (line.interval >= 0) {
    std::snprintf(part, sizeof(part), " interval %.3f ms", static_cast<double>(line.interval) / 1e4);
    text += part;
  }
  if (line.dropped > 0)
    text += " dropped " + std::to_string(line.dropped);
  if (line.damaged)
    text += line.number > 0 ? " damaged" : " damaged skipped";
  std::fprintf(out, "%s\n", text.c_str());
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
