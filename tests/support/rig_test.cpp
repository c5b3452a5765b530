// The fixture of every test.
#include "tests/support/rig_test.h"

#include "diag/debug_msg.h"
#include "platform/kernel/control.h"
#include "platform/kernel/irql.h"

// How long the checks wait for work items, threads and IRPs to be done.
constexpr std::chrono::milliseconds kQuiesce{10000};

void RigTest::SetUp() {
  platform::misuse_clear();
  platform::misuse_set_echo(true);
  platform::pool_faults_clear();
  saved_options_ = streamclass::host_options();
  streamclass::set_host_options(rig::host_options());
  debug_device_ = std::make_unique<platform::DebugDeviceScope>(recorder_);
  ASSERT_TRUE(NT_SUCCESS(debug_device_->status())) << "no debug device";
  StartDebugMsg();
  baseline_ = rig::promises_begin();
}

void RigTest::TearDown() {
  release();
  rig_.stop();
  debug_device_.reset(); // before the checks: a test may have made a debug device of its own
  StartDebugMsg();       // the channel keeps its procedure, which drops messages without a device
  platform::pool_faults_clear();
  rig::Failures failures;
  rig::promises_check(baseline_, "end of test", failures, kQuiesce);
  for (const std::string &line : failures.lines())
    ADD_FAILURE() << line;
  const KIRQL irql = platform::irql_reset_current();
  if (irql != PASSIVE_LEVEL)
    ADD_FAILURE() << "the test thread ended at IRQL " << static_cast<int>(irql)
                  << " (a spin lock still held?)";
  streamclass::set_host_options(saved_options_);
  streamclass::host_accounting_reset();
  platform::misuse_set_echo(true);
}

void RigTest::end_round(const std::string &where) {
  release();
  rig_.stop();
  rig::Failures failures;
  rig::promises_check(baseline_, where, failures, kQuiesce);
  for (const std::string &line : failures.lines())
    ADD_FAILURE() << line;
  baseline_ = rig::promises_begin();
}

void RigTest::start_camera(const emu::CameraConfig &config) {
  std::string error;
  ASSERT_TRUE(rig_.plug_camera(config, &error)) << error;
  ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
}

void RigTest::start_streaming(LONG width, LONG height, unsigned buffers, const emu::CameraConfig &config) {
  ASSERT_NO_FATAL_FAILURE(start_camera(config));
  ASSERT_EQ(rig_.open_pin(width, height), STATUS_SUCCESS);
  rig::StreamOptions options;
  options.buffers = buffers;
  ASSERT_EQ(rig_.stream(options), STATUS_SUCCESS);
}

size_t RigTest::log_count(const std::string &line) const {
  size_t n = 0;
  for (const std::string &message : recorder_->lines())
    n += message == line ? 1 : 0;
  return n;
}

size_t RigTest::take_misuse_reports(platform::MisuseCategory category) {
  size_t matching = 0;
  for (const platform::MisuseReport &report : platform::misuse_take()) {
    if (report.category == category)
      ++matching;
    else
      ADD_FAILURE() << "unexpected misuse [" << platform::misuse_category_name(report.category)
                    << "]: " << report.message;
  }
  return matching;
}

void RigTest::quiet_misuse() {
  platform::misuse_set_echo(false);
}

streamclass::HostAccounting RigTest::take_host_accounting() {
  streamclass::HostAccounting accounting = streamclass::host_accounting();
  streamclass::host_accounting_reset();
  (void)take_misuse_reports(platform::MisuseCategory::Request);
  return accounting;
}
