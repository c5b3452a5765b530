// The camera driver's adapter dispatch on the rig's started device: each command's status and line, the
// cancel and time-out handlers, and the removal sequences. (The queue of requests arriving while one is
// processed: adapter_stress_test.cpp.)
#include "tests/adapter/adapter_test.h"

#include <cstdio>

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

// Makes sure a failed SRB_INITIALIZE_DEVICE is completed once with a failure and the adapter takes requests
// afterwards. Catches the busy section left taken, so that every later request waits for ever.
TEST_F(AdapterTest, FailedInitializationIsCompletedOnceAndTheQueueGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start());
  rig_.unplug();
  auto initialize = adapter().make_request(SRB_INITIALIZE_DEVICE);
  auto *config = initialize->add_record<PORT_CONFIGURATION_INFORMATION>();
  config->SizeOfThisPacket = sizeof(*config);
  config->PhysicalDeviceObject = config->RealPhysicalDeviceObject = rig_.pdo();
  initialize->srb().CommandData.ConfigInfo = config;
  EXPECT_FALSE(NT_SUCCESS(adapter().call(initialize)));
  EXPECT_EQ(initialize->completions(), 1);
  EXPECT_EQ(rig_.extension()->AdapterSRBInProcess, 0u);
  EXPECT_EQ(send(SRB_INITIALIZATION_COMPLETE), STATUS_SUCCESS);
}

// Makes sure each command ends with its status and logs its line, those the adapter does not serve included,
// and that property requests without their record are refused. Catches an unknown command completed as
// success or never, or a missing property record read through.
TEST_F(AdapterTest, EachCommandEndsWithItsStatusAndItsLine) {
  ASSERT_NO_FATAL_FAILURE(start());
  struct Case {
    SRB_COMMAND command;
    NTSTATUS status;
    const char *line;
  } const cases[] = {
      {SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED, "SRB_UNKNOWN_DEVICE_COMMAND 0x00000103\n"},
      {static_cast<SRB_COMMAND>(0x1FF), STATUS_NOT_IMPLEMENTED, "SRB_UNKNOWN_DEVICE_COMMAND 0x000001FF\n"},
      {SRB_READ_DATA, STATUS_NOT_IMPLEMENTED, "SRB_UNKNOWN_DEVICE_COMMAND 0x00000000\n"}, // a stream command
      {SRB_PAGING_OUT_DRIVER, STATUS_NOT_IMPLEMENTED, "SRB_PAGING_OUT_DRIVER\n"},
      {SRB_GET_DEVICE_PROPERTY, STATUS_INVALID_PARAMETER, "SRB_GET_DEVICE_PROPERTY\n"},
      {SRB_SET_DEVICE_PROPERTY, STATUS_INVALID_PARAMETER, "SRB_SET_DEVICE_PROPERTY\n"},
      {SRB_CHANGE_POWER_STATE, STATUS_SUCCESS, "SRB_CHANGE_POWER_STATE\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    clear_log();
    EXPECT_EQ(send(c.command), c.status);
    EXPECT_EQ(log(), Lines{c.line});
  }
}

// Makes sure the cancel and time-out handlers only log an adapter request that waits in the queue (the cancel
// asks the open streams, of which there are none) and leave it to be completed once, and that the cancel of a
// completed request never reaches the driver. Catches a cancelled adapter request completed twice.
TEST_F(AdapterTest, CancelAndTimeoutOfAQueuedRequestOnlyLog) {
  ASSERT_NO_FATAL_FAILURE(start());
  streamclass::HostOptions options = rig::host_options();
  options.device_request_timeout = 2;
  streamclass::set_host_options(options);
  auto queued = queue_behind_busy_request(SRB_INITIALIZATION_COMPLETE);
  char address[16]; // as the driver logs it: its low 32 bits
  std::snprintf(address, sizeof(address), "%08X",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&queued->srb())));
  const std::string srb = std::string("pSrb=0x") + address + " \n";
  EXPECT_TRUE(gate_->wait_for("AdapterRequestTimeoutHandler " + srb, 10s));
  adapter().cancel(queued);
  EXPECT_EQ(log_count("AdapterCancelPacket " + srb), 1u);
  EXPECT_EQ(log_count("AdapterCancelPacket Done! " + srb), 1u);
  EXPECT_FALSE(queued->finished());
  release_busy_request();
  EXPECT_EQ(queued->completions(), 1);
  EXPECT_EQ(queued->status(), STATUS_SUCCESS);
  EXPECT_EQ(log_count("AdapterRequestTimeoutHandler " + srb), 1u);
  clear_log();
  adapter().cancel(queued);
  EXPECT_TRUE(log().empty());
}

} // namespace
