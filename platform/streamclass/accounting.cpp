// The host's settings, its request accounting and its misuse reports.
#include <cstdarg>
#include <cstdio>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// Host-wide settings; `mutex` is a leaf lock.
struct Options {
  std::mutex mutex;
  HostOptions options;
};

Options &options() {
  static Options *instance = new Options; // never destroyed: driver threads may outlive statics
  return *instance;
}

// Formats a report and hands it to the platform's misuse reporter.
void report(platform::MisuseCategory category, const char *format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof(text), format, args);
  platform::misuse_report(category, std::string("stream class: ") + text);
}

} // namespace

void set_host_options(const HostOptions &value) {
  std::lock_guard lock(options().mutex);
  options().options = value;
}

HostOptions host_options() {
  std::lock_guard lock(options().mutex);
  return options().options;
}

Counters &counters() {
  static Counters *instance = new Counters;
  return *instance;
}

HostAccounting host_accounting() {
  Counters &c = counters();
  HostAccounting a;
  a.delivered = c.delivered.load();
  a.completed = c.completed.load();
  a.completed_twice = c.completed_twice.load();
  a.wrong_notification = c.wrong_notification.load();
  a.unknown_completion = c.unknown_completion.load();
  a.never_completed = c.never_completed.load();
  a.completed_after_removal = c.completed_after_removal.load();
  a.timeouts = c.timeouts.load();
  a.cancels = c.cancels.load();
  const uint64_t finished = a.completed + c.abandoned.load();
  a.outstanding = a.delivered > finished ? a.delivered - finished : 0;
  return a;
}

void host_accounting_reset() {
  Counters &c = counters();
  // Requests still outstanding stay counted as delivered, so that their completion
  // balances later.
  const HostAccounting now = host_accounting();
  c.delivered = now.outstanding;
  c.completed = 0;
  c.completed_twice = 0;
  c.wrong_notification = 0;
  c.unknown_completion = 0;
  c.never_completed = 0;
  c.completed_after_removal = 0;
  c.abandoned = 0;
  c.timeouts = 0;
  c.cancels = 0;
}

void report_request_misuse(const char *format, ...) {
  va_list args;
  va_start(args, format);
  report(platform::MisuseCategory::Request, format, args);
  va_end(args);
}

void report_device_misuse(const char *format, ...) {
  va_list args;
  va_start(args, format);
  report(platform::MisuseCategory::Device, format, args);
  va_end(args);
}

} // namespace streamclass
