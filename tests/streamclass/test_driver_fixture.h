// A fixture with the test driver loaded and, on request, a device of it started
// over a stand-in physical device object.
#pragma once

#include <memory>

#include "platform/kernel/control.h"
#include "tests/streamclass/host_test.h"
#include "tests/streamclass/test_driver.h"

class TestDriverHost : public HostTest {
protected:
  void SetUp() override {
    HostTest::SetUp();
    testdriver::reset();
  }

  void release_host_objects() override {
    pin_.reset();
    adapter_.reset();
    driver_.reset();
    pdo_.reset();
  }

  // Loads the test driver (once).
  streamclass::Driver &driver() {
    if (!driver_) {
      EXPECT_EQ(streamclass::load_driver(testdriver::DriverEntry, driver_, u"\\Driver\\TestMini"),
                STATUS_SUCCESS);
    }
    return *driver_;
  }

  PDEVICE_OBJECT pdo() {
    if (!pdo_)
      pdo_ = std::make_unique<TestPdo>();
    return pdo_->device();
  }

  // Starts a device of the test driver; the start's status.
  NTSTATUS start() { return driver().start_device(pdo(), adapter_); }

  // Starts a device and opens its pin with the published range as format.
  void open_pin() {
    ASSERT_EQ(start(), STATUS_SUCCESS);
    auto ranges = adapter_->data_ranges(0);
    ASSERT_EQ(ranges.size(), 1u);
    ASSERT_EQ(adapter_->open_pin(0, ranges[0], pin_), STATUS_SUCCESS);
  }

  std::unique_ptr<TestPdo> pdo_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
  std::unique_ptr<streamclass::Pin> pin_;
};
