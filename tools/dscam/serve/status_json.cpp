// /api/status: one JSON object, written field by field.
#include "tools/dscam/serve/status_json.h"

#include <cstdio>

namespace dscam {
namespace {

// A JSON string: quotes, backslashes and control characters escaped.
std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Appends "name": value to an object being written.
class Fields {
public:
  explicit Fields(std::string &out) : out_(out) { out_ += '{'; }
  ~Fields() { out_ += '}'; }
  void raw(const char *name, const std::string &value) {
    if (!first_)
      out_ += ',';
    first_ = false;
    out_ += quoted(name) + ':' + value;
  }
  void number(const char *name, uint64_t value) { raw(name, std::to_string(value)); }
  void signed_number(const char *name, long value) { raw(name, std::to_string(value)); }
  void maybe(const char *name, bool known, long value) { raw(name, known ? std::to_string(value) : "null"); }
  void flag(const char *name, bool value) { raw(name, value ? "true" : "false"); }
  void text(const char *name, const std::string &value) { raw(name, quoted(value)); }

private:
  std::string &out_;
  bool first_ = true;
};

std::string zoom_object(const ZoomFigures &zoom) {
  std::string out;
  {
    Fields fields(out);
    fields.flag("settable", zoom.settable);
    fields.signed_number("min", zoom.minimum);
    fields.signed_number("max", zoom.maximum);
    fields.signed_number("step", zoom.step);
    fields.signed_number("default", zoom.default_value);
    fields.maybe("requested", zoom.requested_known, zoom.requested);
    fields.maybe("camera", zoom.reading_known, zoom.reading);
    fields.text("error", zoom.error);
  }
  return out;
}

std::string focus_object(const FocusFigures &focus) {
  std::string out;
  {
    Fields fields(out);
    fields.text("state", focus_state_name(focus.state));
    fields.number("runs", focus.runs);
    fields.text("error", focus.error);
  }
  return out;
}

} // namespace

std::string status_json(const FeedFigures &feed, const ZoomFigures &zoom, const FocusFigures &focus,
                        const ViewerFigures &viewers) {
  std::string out;
  {
    Fields fields(out);
    fields.flag("streaming", feed.streaming);
    fields.number("viewers", viewers.viewers);
    fields.number("watchers", feed.watchers);
    fields.text("size", std::to_string(feed.width) + "x" + std::to_string(feed.height));
    fields.number("frame", feed.frames);
    char fps[32];
    std::snprintf(fps, sizeof(fps), "%.1f", feed.fps);
    fields.raw("fps", fps);
    fields.number("dropped", feed.dropped);
    fields.number("damaged", feed.damaged);
    // Errors: failed reads, and the pictures the driver refused when it says.
    fields.number("errors", feed.failed_reads + (feed.refused_known ? feed.refused : 0));
    fields.number("failed_reads", feed.failed_reads);
    fields.maybe("refused", feed.refused_known, static_cast<long>(feed.refused));
    fields.text("refusal", feed.refusal);
    fields.number("replaced", feed.replaced);
    fields.number("reopened", feed.reopened);
    fields.number("skipped", viewers.skipped);
    fields.number("refused_viewers", viewers.refused_viewers);
    fields.raw("zoom", zoom_object(zoom));
    fields.raw("focus", focus_object(focus));
    fields.text("error", feed.error);
  }
  return out + "\n";
}

} // namespace dscam
