// The base fixture of every test that uses the platform: at the end of each test
// it checks that the platform's accounting is clean.
//
// SetUp clears misuse records and pool fault injection and notes the pool's
// allocation number. TearDown waits (bounded) for the work queues to be idle
// and the system threads to end, then fails the test if a pool block
// allocated during the test is still live (each listed with tag and size) or
// if any misuse was recorded (each printed). A fixture deriving from this one
// tears its own objects down first and then calls PlatformTest::TearDown().
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/misuse.h"

class PlatformTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Takes the misuse records so far (for a test that causes misuse on
  // purpose); they no longer fail the test.
  std::vector<platform::MisuseReport> take_misuse_reports();

  // Takes the records and returns how many were of `category`; the test
  // fails if any record is of another category.
  size_t take_misuse_reports(platform::MisuseCategory category);

  // Silences the stderr echo of misuse reports until the end of the test.
  void quiet_misuse();

  // Pool allocation number at SetUp; blocks allocated after it are the test's.
  uint64_t pool_baseline() const { return pool_baseline_; }

  // How long TearDown waits for work items and system threads.
  std::chrono::milliseconds quiesce_timeout_{10000};

private:
  uint64_t pool_baseline_ = 0;
};
