// The camera driver's entry, registration and adapter request dispatch, through the
// stream class host.
#include <thread>

#include "platform/kernel/control.h"
#include "tests/adapter/adapter_fixture.h"

using namespace streamclass;

namespace {

class AdapterDispatch : public AdapterHost {
protected:
  // Delivers `command` on another thread while the gate holds the adapter busy with
  // a power-state request; returns the queued request (not yet completed).
  std::shared_ptr<Request> queue_behind_busy_request(SRB_COMMAND command) {
    gate_->arm("SRB_CHANGE_POWER_STATE\n");
    first_ = adapter_->make_request(SRB_CHANGE_POWER_STATE);
    busy_thread_ = std::thread([this] { adapter_->deliver(first_); });
    EXPECT_TRUE(gate_->wait_held(std::chrono::seconds(10)));
    auto queued = adapter_->make_request(command);
    EXPECT_EQ(adapter_->deliver(queued), STATUS_PENDING);
    return queued;
  }

  // Lets the busy request go on and waits until its thread has left the adapter.
  void release_busy_request() {
    gate_->open();
    busy_thread_.join();
  }

  void release_host_objects() override {
    gate_->open();
    if (busy_thread_.joinable())
      busy_thread_.join();
    first_.reset();
    AdapterHost::release_host_objects();
  }

  std::shared_ptr<Request> first_;
  std::thread busy_thread_;
};

// Registration: makes sure DriverEntry registers the three callbacks and the sizes of
// the three records, unserialised, and logs its entry. Example failure: a literal
// 16-byte request extension that the 64-bit SRB_EXTENSION overruns.

TEST_F(AdapterDispatch, DriverEntryRegistersCallbacksAndRecordSizes) {
  const HW_INITIALIZATION_DATA &init = driver_->registration();
  EXPECT_EQ(init.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
  EXPECT_EQ(init.HwInterrupt, nullptr);
  EXPECT_EQ(init.HwReceivePacket, AdapterReceivePacket);
  EXPECT_EQ(init.HwCancelPacket, AdapterCancelPacket);
  EXPECT_EQ(init.HwRequestTimeoutHandler, AdapterRequestTimeoutHandler);
  EXPECT_EQ(init.DeviceExtensionSize, sizeof(HW_DEVICE_EXTENSION));
  EXPECT_EQ(init.PerRequestExtensionSize, sizeof(SRB_EXTENSION));
  EXPECT_EQ(init.PerStreamExtensionSize, sizeof(STREAMEX));
  EXPECT_EQ(init.FilterInstanceExtensionSize, 0u);
  EXPECT_EQ(init.BusMasterDMA, FALSE);
  EXPECT_EQ(init.Dma24BitAddresses, FALSE);
  EXPECT_EQ(init.BufferAlignment, 3u);
  EXPECT_EQ(init.TurnOffSynchronization, TRUE);
  EXPECT_EQ(init.DmaBufferSize, 0u);
  EXPECT_EQ(init.NumNameExtensions, 0u);
  EXPECT_EQ(init.NameExtensionArray, nullptr);
  EXPECT_TRUE(log_->contains("DriverEntry    Arg1=0x" + hex8(driver_->driver_object()) + "\n"));
}

// Device initialization on a bus that refuses every USB request: makes sure the
// failed SRB_INITIALIZE_DEVICE is completed once with a failure status and the
// adapter goes on taking requests. Example failure: the busy section left taken, so
// that every later request waits forever.

TEST_F(AdapterDispatch, FailedInitializationIsCompletedOnceWithAFailureAndTheQueueGoesOn) {
  add_device();
  auto initialize = make_initialize();
  NTSTATUS status = adapter_->call(initialize);
  EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
  EXPECT_EQ(initialize->completions(), 1);
  EXPECT_EQ(extension()->AdapterSRBInProcess, 0u);
  EXPECT_EQ(send(SRB_INITIALIZATION_COMPLETE), STATUS_SUCCESS);
}

TEST_F(AdapterDispatch, StartOnAFailingBusFailsAndLeavesNoDevice) {
  const size_t devices = platform::devices_live();
  std::unique_ptr<Adapter> adapter;
  NTSTATUS status = driver_->start_device(pdo_->device(), adapter);
  EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(platform::devices_live(), devices);
  EXPECT_TRUE(log_->contains("SRB_INITIALIZE_DEVICE\n"));
  EXPECT_FALSE(log_->contains("SRB_GET_STREAM_INFO\n")); // the start ended with the initialization
}

// The adapter queue: makes sure it is set up once, on the first request, and is idle
// again after the last one. Example failure: the queue set up again on a later
// request while another one waits in it.

TEST_F(AdapterDispatch, FirstRequestSetsUpTheQueueOnce) {
  add_device();
  EXPECT_EQ(extension()->AdapterQueueInitialized, 0u);
  log_->clear();
  EXPECT_FALSE(NT_SUCCESS(adapter_->call(make_initialize())));
  EXPECT_EQ(send(SRB_CHANGE_POWER_STATE), STATUS_SUCCESS);
  EXPECT_EQ(send(SRB_INITIALIZATION_COMPLETE), STATUS_SUCCESS);
  EXPECT_EQ(log_->count_exact("AdapterQueue not Initialized\n"), 1u);
  auto lines = log_->lines();
  EXPECT_EQ(lines.front(), "AdapterQueue not Initialized\n");
  EXPECT_EQ(extension()->AdapterQueueInitialized, 1u);
  EXPECT_EQ(extension()->AdapterSRBInProcess, 0u);
  EXPECT_TRUE(IsListEmpty(&extension()->AdapterSRBList));
}

// The command table: makes sure each command logs its line and ends with its
// status. Example failure: an unknown command completed with success, or left
// uncompleted.

TEST_F(AdapterDispatch, UnknownCommandsAreNotImplementedAndLogTheirValue) {
  add_initialized_device();
  log_->clear();
  EXPECT_EQ(send(SRB_OPEN_DEVICE_INSTANCE), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(send(SRB_CLOSE_DEVICE_INSTANCE), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(send(SRB_UNKNOWN_DEVICE_COMMAND), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(send(static_cast<SRB_COMMAND>(0x1FF)), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(send(SRB_READ_DATA), STATUS_NOT_IMPLEMENTED); // a stream command sent to the adapter
  EXPECT_EQ(log_->lines(), (std::vector<std::string>{
                               "SRB_UNKNOWN_DEVICE_COMMAND 0x00000103\n",
                               "SRB_UNKNOWN_DEVICE_COMMAND 0x00000104\n",
                               "SRB_UNKNOWN_DEVICE_COMMAND 0x0000010A\n",
                               "SRB_UNKNOWN_DEVICE_COMMAND 0x000001FF\n",
                               "SRB_UNKNOWN_DEVICE_COMMAND 0x00000000\n",
                           }));
}

TEST_F(AdapterDispatch, EveryPowerStateIsAcceptedWithNoOtherEffect) {
  add_initialized_device();
  log_->clear();
  for (DEVICE_POWER_STATE state :
       {PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceUnspecified}) {
    auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
    request->srb().CommandData.DeviceState = state;
    EXPECT_EQ(adapter_->call(request), STATUS_SUCCESS);
  }
  EXPECT_EQ(log_->lines(), std::vector<std::string>(5, "SRB_CHANGE_POWER_STATE\n"));
}

TEST_F(AdapterDispatch, SmallHandlersAnswerWithTheirLines) {
  add_initialized_device();
  log_->clear();
  EXPECT_EQ(send(SRB_INITIALIZATION_COMPLETE), STATUS_SUCCESS);
  EXPECT_EQ(send(SRB_PAGING_OUT_DRIVER), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(send(SRB_UNINITIALIZE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(log_->lines(), (std::vector<std::string>{
                               "SRB_INITIALIZATION_COMPLETE\n",
                               "SRB_PAGING_OUT_DRIVER\n",
                               "SRB_UNINITIALIZE_DEVICE\n",
                               "AdapterUnInitializeDevice\n",
                           }));
}

TEST_F(AdapterDispatch, SurpriseRemovalResetsTheUsbPort) {
  add_initialized_device();
  log_->clear();
  const size_t usb_before = pdo_->usb_requests();
  EXPECT_EQ(send(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS); // whatever the reset's outcome
  EXPECT_GT(pdo_->usb_requests(), usb_before);
  auto lines = log_->lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "SRB_SURPRISE_REMOVAL\n");
  EXPECT_EQ(lines[1], "AdapterSurpriseRemoval\n");
  EXPECT_EQ(lines.back(), "AdapterSurpriseRemoval Completed\n");
}

TEST_F(AdapterDispatch, SurpriseRemovalBeforeInitializationHasNoPortToReset) {
  add_device();
  log_->clear();
  EXPECT_EQ(send(SRB_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(pdo_->usb_requests(), 0u);
  EXPECT_EQ(log_->lines(), (std::vector<std::string>{
                               "AdapterQueue not Initialized\n",
                               "SRB_SURPRISE_REMOVAL\n",
                               "AdapterSurpriseRemoval\n",
                               "AdapterSurpriseRemoval Completed\n",
                           }));
}

// Two requests together: makes sure a request arriving while another is processed
// is queued ("AdapterReceivePacket Busy\n"), returns at once, and is processed after
// the first, by the thread that delivered the first. Example failure: the second
// request processed at once on its own thread, overlapping the first.

TEST_F(AdapterDispatch, RequestArrivingWhileBusyIsQueuedAndProcessedByTheBusyThread) {
  add_initialized_device();
  log_->clear();
  auto second = queue_behind_busy_request(SRB_INITIALIZATION_COMPLETE);
  EXPECT_TRUE(log_->contains("AddToListIfBusy Busy\n"));
  EXPECT_TRUE(log_->contains("AdapterReceivePacket Busy\n"));
  EXPECT_FALSE(second->finished());
  EXPECT_FALSE(IsListEmpty(&extension()->AdapterSRBList));
  release_busy_request();
  ASSERT_TRUE(second->finished());
  EXPECT_EQ(second->status(), STATUS_SUCCESS);
  EXPECT_LT(first_->trace().completed, second->trace().completed);
  EXPECT_EQ(second->trace().completed_on, first_->trace().delivered_on);
  EXPECT_NE(second->trace().delivered_on, first_->trace().delivered_on);
  EXPECT_EQ(extension()->AdapterSRBInProcess, 0u);
  EXPECT_TRUE(IsListEmpty(&extension()->AdapterSRBList));
  EXPECT_EQ(log_->lines(), (std::vector<std::string>{
                               "SRB_CHANGE_POWER_STATE\n",
                               "AddToListIfBusy Busy\n",
                               "AdapterReceivePacket Busy\n",
                               "SRB_INITIALIZATION_COMPLETE\n",
                           }));
}

TEST_F(AdapterDispatch, QueuedRequestsAreProcessedInArrivalOrder) {
  add_initialized_device();
  auto second = queue_behind_busy_request(SRB_INITIALIZATION_COMPLETE);
  auto third = adapter_->make_request(SRB_OPEN_DEVICE_INSTANCE);
  auto fourth = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(third), STATUS_PENDING);
  ASSERT_EQ(adapter_->deliver(fourth), STATUS_PENDING);
  release_busy_request();
  EXPECT_LT(second->trace().completed, third->trace().completed);
  EXPECT_LT(third->trace().completed, fourth->trace().completed);
  EXPECT_EQ(third->status(), STATUS_NOT_IMPLEMENTED);
}

// Cancel and time-out: makes sure both only log (the cancel walks the open streams,
// of which there are none) and leave the request where it is, to be completed in
// the ordinary way. Example failure: a cancelled adapter request completed twice,
// once by the cancel and once by the queue.

TEST_F(AdapterDispatch, CancelOfAQueuedAdapterRequestOnlyLogs) {
  add_initialized_device();
  auto queued = queue_behind_busy_request(SRB_INITIALIZATION_COMPLETE);
  log_->clear();
  adapter_->cancel(queued);
  EXPECT_EQ(log_->lines(), (std::vector<std::string>{
                               "AdapterCancelPacket pSrb=0x" + hex8(&queued->srb()) + " \n",
                               "AdapterCancelPacket Done! pSrb=0x" + hex8(&queued->srb()) + " \n",
                           }));
  EXPECT_FALSE(queued->finished());
  release_busy_request();
  EXPECT_EQ(queued->completions(), 1);
  EXPECT_EQ(queued->status(), STATUS_SUCCESS);
}

TEST_F(AdapterDispatch, TimeoutOfAQueuedAdapterRequestOnlyLogs) {
  HostOptions options = test_options();
  options.device_request_timeout = 2;
  set_options(options);
  add_initialized_device();
  auto queued = queue_behind_busy_request(SRB_INITIALIZATION_COMPLETE);
  const std::string line = "AdapterRequestTimeoutHandler pSrb=0x" + hex8(&queued->srb()) + " \n";
  EXPECT_TRUE(gate_->wait_for(line, std::chrono::seconds(10)));
  EXPECT_FALSE(queued->finished());
  release_busy_request();
  EXPECT_EQ(queued->completions(), 1);
  EXPECT_EQ(queued->status(), STATUS_SUCCESS);
  EXPECT_EQ(log_->count_exact(line), 1u);
}

TEST_F(AdapterDispatch, CancelOfACompletedRequestDoesNotReachTheDriver) {
  add_initialized_device();
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->call(request), STATUS_SUCCESS);
  log_->clear();
  adapter_->cancel(request);
  EXPECT_TRUE(log_->lines().empty());
}

// Device property requests without a property record: makes sure each still logs its
// dispatch line and is refused, not read through. Example failure: a NULL PropertyInfo
// dereferenced.
TEST_F(AdapterDispatch, DevicePropertyRequestsWithoutARecordAreRefused) {
  add_initialized_device();
  for (auto [command, line] : std::vector<std::pair<SRB_COMMAND, std::string>>{
           {SRB_GET_DEVICE_PROPERTY, "SRB_GET_DEVICE_PROPERTY\n"},
           {SRB_SET_DEVICE_PROPERTY, "SRB_SET_DEVICE_PROPERTY\n"},
       }) {
    log_->clear();
    EXPECT_EQ(send(command), STATUS_INVALID_PARAMETER) << line;
    EXPECT_EQ(log_->lines(), std::vector<std::string>{line});
  }
}

} // namespace
