// The promise checker: step timing with a watchdog, the completion ledger and
// the end-of-life accounting check.
#include "tests/support/promises.h"

#include <cstdio>
#include <cstdlib>

#include "platform/kernel/control.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/status_name.h"
#include "platform/kernel/thread.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define DSCAM_RIG_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DSCAM_RIG_SANITIZED 1
#endif

namespace rig {

namespace {

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string format_seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", value);
  return text;
}

// DSCAM_TRACE_STEPS=1 prints every step with its time to stderr.
bool trace_steps() {
  static const bool on = std::getenv("DSCAM_TRACE_STEPS") != nullptr;
  return on;
}

} // namespace

bool under_sanitizer() {
#ifdef DSCAM_RIG_SANITIZED
  return true;
#else
  return false;
#endif
}

std::chrono::milliseconds teardown_limit() {
  return under_sanitizer() ? 10000ms : 5000ms;
}

std::string status_text(NTSTATUS status) {
  if (const char *name = platform::status_name(status))
    return name;
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

// ---------------------------------------------------------------------------
// Failures

void Failures::add(std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
}

bool Failures::empty() const {
  std::lock_guard lock(mutex_);
  return lines_.empty();
}

size_t Failures::size() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::vector<std::string> Failures::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string Failures::text() const {
  std::string text;
  for (const std::string &line : lines())
    text += line + "\n";
  return text;
}

// ---------------------------------------------------------------------------
// StepWatch

StepWatch::StepWatch(Failures &failures, std::string run_name)
    : failures_(failures), run_name_(std::move(run_name)) {
  thread_ = std::thread([this] { watch(); });
}

StepWatch::~StepWatch() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void StepWatch::set_run_name(std::string name) {
  std::lock_guard lock(mutex_);
  run_name_ = std::move(name);
}

bool StepWatch::run(const std::string &where, std::chrono::milliseconds limit,
                    const std::function<void()> &step, std::function<void()> rescue) {
  std::string run_name;
  {
    std::lock_guard lock(mutex_);
    where_ = where;
    limit_ = limit;
    rescue_ = std::move(rescue);
    began_ = std::chrono::steady_clock::now();
    ++step_number_;
    overrun_reported_ = false;
    run_name = run_name_;
  }
  wake_.notify_all();
  step();
  bool reported = false;
  const auto took = std::chrono::steady_clock::now() - began_;
  {
    // A rescue under way uses what the step used: wait until it is over.
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !rescuing_; });
    reported = overrun_reported_;
    where_.clear();
    rescue_ = nullptr;
  }
  wake_.notify_all();
  const bool in_time = took <= limit;
  if (trace_steps())
    std::fprintf(stderr, "%s: %s %s\n", run_name.c_str(), where.c_str(),
                 format_seconds(seconds(took)).c_str());
  if (!in_time && !reported)
    failures_.add(run_name + ": " + where + " took " + format_seconds(seconds(took)) + " (limit " +
                  format_seconds(seconds(limit)) + ")");
  return in_time;
}

// The watchdog: sleeps until the running step's limit, reports the step if it
// is still the same one and calls its rescue, and aborts the process once the
// step has run a minute.
void StepWatch::watch() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (where_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const uint64_t step = step_number_;
    const auto deadline = began_ + (overrun_reported_ ? std::chrono::milliseconds(60000) : limit_);
    if (wake_.wait_until(lock, deadline, [&] { return stop_ || step_number_ != step || where_.empty(); }))
      continue;
    const std::string line = run_name_ + ": still waiting in " + where_ + " after " +
                             format_seconds(seconds(std::chrono::steady_clock::now() - began_));
    if (overrun_reported_) {
      std::fprintf(stderr, "%s: giving up (hang)\n", line.c_str());
      std::fflush(stderr);
      std::abort();
    }
    overrun_reported_ = true;
    std::fprintf(stderr, "%s (limit %s)\n", line.c_str(), format_seconds(seconds(limit_)).c_str());
    failures_.add(line + " (limit " + format_seconds(seconds(limit_)) + ")");
    if (std::function<void()> rescue = std::move(rescue_)) {
      rescue_ = nullptr;
      rescuing_ = true;
      lock.unlock();
      rescue();
      lock.lock();
      rescuing_ = false;
      wake_.notify_all();
    }
  }
}

// ---------------------------------------------------------------------------
// CompletionLedger

void CompletionLedger::read_completed(const streamclass::Frame &frame, ULONG image_bytes,
                                      const std::string &where) {
  const NTSTATUS status = frame.status();
  {
    std::lock_guard lock(mutex_);
    reads_by_status_[status]++;
  }
  const KSSTREAM_HEADER &header = frame.header();
  if (status == STATUS_PENDING) {
    failures_.add(where + ": a read completed with STATUS_PENDING");
  } else if (status == STATUS_SUCCESS) {
    frames_++;
    if (header.DataUsed != image_bytes)
      failures_.add(where + ": a read completed with STATUS_SUCCESS carries " +
                    std::to_string(header.DataUsed) + " bytes, not a whole frame of " +
                    std::to_string(image_bytes));
    else if (frame.frame_info() == nullptr)
      failures_.add(where + ": a frame completed without its frame information");
  } else if (header.DataUsed != 0) {
    failures_.add(where + ": a read failed with " + status_text(status) + " but carries " +
                  std::to_string(header.DataUsed) + " bytes");
  }
}

void CompletionLedger::request_returned(const std::string &what, NTSTATUS status, const std::string &where) {
  {
    std::lock_guard lock(mutex_);
    requests_by_status_[status]++;
  }
  if (status == STATUS_IO_TIMEOUT)
    failures_.add(where + ": " + what + " was never completed (the host gave up waiting)");
  else if (status == STATUS_PENDING)
    failures_.add(where + ": " + what + " returned STATUS_PENDING");
}

std::map<NTSTATUS, uint64_t> CompletionLedger::reads_by_status() const {
  std::lock_guard lock(mutex_);
  return reads_by_status_;
}

std::map<NTSTATUS, uint64_t> CompletionLedger::requests_by_status() const {
  std::lock_guard lock(mutex_);
  return requests_by_status_;
}

// ---------------------------------------------------------------------------
// End of a device's life

Baseline promises_begin() {
  // The calling thread's own thread object lives as long as the thread; make
  // it now, so that it is part of the baseline.
  (void)KeGetCurrentThread();
  Baseline baseline;
  baseline.pool_sequence = platform::pool_sequence();
  baseline.devices = platform::devices_live();
  baseline.irps = platform::irps_live();
  baseline.thread_objects = platform::thread_objects_live();
  streamclass::host_accounting_reset();
  return baseline;
}

namespace {

// Promise 1 by the host's count of deliveries and completions.
void check_requests(const std::string &where, Failures &failures) {
  const streamclass::HostAccounting counts = streamclass::host_accounting();
  static const struct {
    uint64_t streamclass::HostAccounting::*count;
    const char *what;
  } kBroken[] = {
      {&streamclass::HostAccounting::completed_twice, " request(s) completed twice"},
      {&streamclass::HostAccounting::wrong_notification,
       " request(s) completed through the wrong notification"},
      {&streamclass::HostAccounting::unknown_completion,
       " completion(s) of a block that was no live request"},
      {&streamclass::HostAccounting::never_completed,
       " request(s) never completed before their pin or device went away"},
      {&streamclass::HostAccounting::completed_after_removal,
       " request(s) completed after their pin or device went away"},
      {&streamclass::HostAccounting::outstanding, " request(s) still outstanding"},
  };
  for (const auto &broken : kBroken)
    if (counts.*broken.count != 0)
      failures.add(where + ": " + std::to_string(counts.*broken.count) + broken.what);
}

// Promise 2: nothing of the platform left behind.
void check_leftovers(const Baseline &baseline, const std::string &where, Failures &failures,
                     std::chrono::milliseconds quiesce) {
  const auto deadline = std::chrono::steady_clock::now() + quiesce;
  auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  };
  if (!platform::work_queues_wait_idle(std::max(left(), 0ms)))
    failures.add(where + ": " + std::to_string(platform::work_items_pending()) +
                 " work item(s) still queued or running");
  if (!platform::system_threads_wait_all(std::max(left(), 0ms)))
    failures.add(where + ": " + std::to_string(platform::system_threads_live()) +
                 " system thread(s) still running");
  if (!wait_until([&] { return platform::irps_live() <= baseline.irps; }, std::max(left(), 0ms)))
    failures.add(where + ": " + std::to_string(platform::irps_live() - baseline.irps) + " IRP(s) left (" +
                 std::to_string(platform::irps_in_flight()) + " in flight)");
  // The work queues' threads get thread objects when they run driver code; end
  // them (the queues start again on the next item) so those objects go too.
  platform::work_queues_shutdown(std::max(left(), 0ms));
  if (platform::thread_objects_live() > baseline.thread_objects)
    failures.add(where + ": " + std::to_string(platform::thread_objects_live() - baseline.thread_objects) +
                 " thread object(s) still referenced");
  if (platform::devices_live() > baseline.devices)
    failures.add(where + ": " + std::to_string(platform::devices_live() - baseline.devices) +
                 " device object(s) not deleted");
  std::map<ULONG, std::pair<size_t, size_t>> by_tag; // blocks and bytes
  for (const platform::PoolBlock &block : platform::pool_live_blocks_since(baseline.pool_sequence)) {
    by_tag[block.tag].first++;
    by_tag[block.tag].second += block.size;
  }
  for (const auto &[tag, count] : by_tag)
    failures.add(where + ": pool tag '" + platform::pool_tag_text(tag) + "': " + std::to_string(count.first) +
                 " block(s), " + std::to_string(count.second) + " bytes still allocated");
  for (const platform::MisuseReport &report : platform::misuse_take())
    failures.add(where + ": platform misuse [" + platform::misuse_category_name(report.category) +
                 "]: " + report.message);
}

} // namespace

bool promises_check(const Baseline &baseline, const std::string &where, Failures &failures,
                    std::chrono::milliseconds quiesce) {
  const size_t before = failures.size();
  check_requests(where, failures);
  check_leftovers(baseline, where, failures, quiesce);
  return failures.size() == before;
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

NTSTATUS wait_object(PVOID object, std::optional<std::chrono::milliseconds> limit) {
  LARGE_INTEGER relative;
  relative.QuadPart = limit ? -10000 * static_cast<LONGLONG>(limit->count()) : 0;
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, limit ? &relative : nullptr);
}

} // namespace rig
