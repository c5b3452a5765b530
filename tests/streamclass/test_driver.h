// A stand-in minidriver for the host's own contracts, which the camera driver never breaks on purpose: it
// completes each command's requests the way the test chooses, wrong ways included, keeps them for the test to
// complete, publishes the descriptor the test makes, and queues reads until filled or cancelled. One capture
// stream with one format; one test at a time. StandInHost: a device of it started by the host over the rig's
// bus (a scripted USB device it never talks to), and its pin.
#pragma once

#include <algorithm>
#include <functional>
#include <vector>

#include "emulator/usb/scripted_device.h"
#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

namespace testdriver {

enum class Action {
  Complete,          // at once (the default)
  CompleteTwice,     // at once, then once more
  Never,             // keeps it and never completes it
  Hold,              // keeps it until complete_held()
  WrongNotification, // at once, through the other notification service
};

// Back to the defaults: every command completes at once, nothing kept or recorded, the descriptor as
// published.
void reset();
void set_action(SRB_COMMAND command, Action action, NTSTATUS status = STATUS_SUCCESS);
// The StreamDescriptorSize set at SRB_INITIALIZE_DEVICE, and a change to the descriptor of
// SRB_GET_STREAM_INFO.
void set_descriptor(ULONG size, std::function<void(HW_STREAM_DESCRIPTOR &)> edit = {});

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

std::vector<SRB_COMMAND> commands(); // received so far, in order
// Requests kept by Hold, and their completion (oldest first) with `status`.
size_t held();
void complete_held(NTSTATUS status = STATUS_SUCCESS);
// Completes the oldest queued read, claiming more data than its buffer holds (false when none waits); not
// while the pin closes.
bool fill_oldest_read();

} // namespace testdriver

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
  // The commands received from index `from` on.
  static std::vector<SRB_COMMAND> commands_since(size_t from) {
    std::vector<SRB_COMMAND> all = testdriver::commands();
    return std::vector<SRB_COMMAND>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
  }

  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
  std::unique_ptr<streamclass::Pin> pin_;
};
