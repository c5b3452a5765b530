#include "tests/support/platform_test.h"

#include <string>

#include "platform/kernel/control.h"
#include "platform/kernel/irql.h"

void PlatformTest::SetUp() {
  platform::misuse_clear();
  platform::misuse_set_echo(true);
  platform::pool_faults_clear();
  pool_baseline_ = platform::pool_sequence();
}

void PlatformTest::TearDown() {
  if (!platform::work_queues_wait_idle(quiesce_timeout_))
    ADD_FAILURE() << platform::work_items_pending()
                  << " work item(s) still queued or running at the end of the test";
  if (!platform::system_threads_wait_all(quiesce_timeout_))
    ADD_FAILURE() << platform::system_threads_live()
                  << " system thread(s) still running at the end of the test";
  platform::pool_faults_clear();
  KIRQL irql = platform::irql_reset_current();
  if (irql != PASSIVE_LEVEL)
    ADD_FAILURE() << "the test thread ended at IRQL " << static_cast<int>(irql)
                  << " (a spin lock still held?)";

  std::vector<platform::PoolBlock> leaked = platform::pool_live_blocks_since(pool_baseline_);
  if (!leaked.empty()) {
    std::string list;
    for (const platform::PoolBlock &block : leaked)
      list += "  tag '" + platform::pool_tag_text(block.tag) + "', " + std::to_string(block.size) +
              " bytes, allocation #" + std::to_string(block.sequence) + "\n";
    ADD_FAILURE() << leaked.size() << " pool block(s) allocated by the test are still live:\n" << list;
  }
  std::vector<platform::MisuseReport> reports = platform::misuse_take();
  if (!reports.empty()) {
    std::string list;
    for (const platform::MisuseReport &report : reports)
      list +=
          std::string("  [") + platform::misuse_category_name(report.category) + "] " + report.message + "\n";
    ADD_FAILURE() << reports.size() << " platform misuse report(s):\n" << list;
  }
  platform::misuse_set_echo(true);
}

std::vector<platform::MisuseReport> PlatformTest::take_misuse_reports() {
  return platform::misuse_take();
}

size_t PlatformTest::take_misuse_reports(platform::MisuseCategory category) {
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

void PlatformTest::quiet_misuse() {
  platform::misuse_set_echo(false);
}
