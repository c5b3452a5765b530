// The fixture of the reliability tests: the platform's accounting checked at
// the end (PlatformTest), and the host's blocking calls giving up after the
// longest wait a run allows, so that a request the driver never completes
// fails the run instead of holding it.
#pragma once

#include "platform/streamclass/host.h"
#include "tests/support/promises.h"
#include "tests/support/platform_test.h"

class ReliabilityTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    saved_ = streamclass::host_options();
    streamclass::HostOptions options = saved_;
    options.sync_wait_limit = reliability::kWaitLimit;
    streamclass::set_host_options(options);
  }
  void TearDown() override {
    streamclass::set_host_options(saved_);
    PlatformTest::TearDown();
  }

private:
  streamclass::HostOptions saved_;
};
