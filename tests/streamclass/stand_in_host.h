// A device of the stand-in driver (test_driver.h) started by the host over the
// rig's bus (a scripted USB device, which the stand-in never talks to), and its
// pin: for the host's own contracts, which the camera driver cannot break on
// purpose.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "emulator/usb/scripted_device.h"
#include "platform/kernel/control.h"
#include "tests/streamclass/test_driver.h"
#include "tests/support/rig_test.h"

class StandInHost : public RigTest {
protected:
  void SetUp() override {
    RigTest::SetUp();
    testdriver::reset();
    ASSERT_TRUE(rig_.plug(std::make_shared<emu::ScriptedUsbDevice>()));
    ASSERT_EQ(streamclass::load_driver(testdriver::DriverEntry, driver_, u"\\Driver\\StandIn"),
              STATUS_SUCCESS);
  }
  void release() override {
    platform::pool_faults_clear();
    pin_.reset();
    adapter_.reset();
    driver_.reset();
  }

  NTSTATUS start() { return driver_->start_device(rig_.pdo(), adapter_); }
  std::vector<uint8_t> format() const { return adapter_->data_ranges(0).at(0); }
  void open_pin() {
    ASSERT_EQ(start(), STATUS_SUCCESS);
    ASSERT_EQ(adapter_->open_pin(0, format(), pin_), STATUS_SUCCESS);
  }

  // The commands the driver received from index `from` on, and how many of `command`.
  static std::vector<SRB_COMMAND> commands_since(size_t from) {
    std::vector<SRB_COMMAND> all = testdriver::commands();
    return std::vector<SRB_COMMAND>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
  }
  static long count(SRB_COMMAND command) {
    std::vector<SRB_COMMAND> all = testdriver::commands();
    return std::count(all.begin(), all.end(), command);
  }

  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
  std::unique_ptr<streamclass::Pin> pin_;
};
