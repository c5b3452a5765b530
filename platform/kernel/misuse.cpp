// The strictness reporter: records, echoes and hands out misuse reports.
#include "platform/kernel/misuse.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/kernel/list.h"

namespace platform {
namespace {

// The records not yet taken. `lock` is a leaf: nothing else is taken under it.
struct MisuseLog {
  std::mutex lock;
  std::vector<MisuseReport> reports; // guarded by lock
};

// Never destroyed, so reports made during process exit stay safe.
MisuseLog &misuse_log() {
  static MisuseLog *log = new MisuseLog;
  return *log;
}

std::atomic<bool> echo_enabled{true};
std::atomic<MisuseAction> misuse_action{MisuseAction::Record};

} // namespace

const char *misuse_category_name(MisuseCategory category) {
  switch (category) {
  case MisuseCategory::Pool:
    return "pool";
  case MisuseCategory::SpinLock:
    return "spinlock";
  case MisuseCategory::Irql:
    return "irql";
  case MisuseCategory::Wait:
    return "wait";
  case MisuseCategory::List:
    return "list";
  case MisuseCategory::Object:
    return "object";
  case MisuseCategory::Thread:
    return "thread";
  case MisuseCategory::WorkItem:
    return "workitem";
  case MisuseCategory::Irp:
    return "irp";
  case MisuseCategory::Mdl:
    return "mdl";
  case MisuseCategory::Device:
    return "device";
  case MisuseCategory::Request:
    return "request";
  case MisuseCategory::Usb:
    return "usb";
  case MisuseCategory::Other:
    break;
  }
  return "other";
}

void misuse_report(MisuseCategory category, std::string message) {
  if (echo_enabled.load(std::memory_order_relaxed))
    std::fprintf(stderr, "platform misuse [%s]: %s\n", misuse_category_name(category), message.c_str());
  {
    MisuseLog &log = misuse_log();
    std::lock_guard<std::mutex> hold(log.lock);
    log.reports.push_back(MisuseReport{category, std::move(message)});
  }
  if (misuse_action.load(std::memory_order_relaxed) == MisuseAction::Abort)
    std::abort();
}

void misuse_reportf(MisuseCategory category, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  misuse_report(category, text);
}

std::vector<MisuseReport> misuse_take() {
  MisuseLog &log = misuse_log();
  std::lock_guard<std::mutex> hold(log.lock);
  std::vector<MisuseReport> taken;
  taken.swap(log.reports);
  return taken;
}

void misuse_clear() {
  (void)misuse_take();
}

void misuse_set_echo(bool echo) {
  echo_enabled.store(echo, std::memory_order_relaxed);
}

void misuse_set_action(MisuseAction action) {
  misuse_action.store(action, std::memory_order_relaxed);
}

void list_misuse(const char *message) {
  misuse_report(MisuseCategory::List, message);
}

} // namespace platform
