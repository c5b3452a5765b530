// The stream class host's request accounting, time-out watchdog, cancellation
// and descriptor checks, with a stand-in driver that gets them wrong on purpose.
#include <functional>
#include <thread>

#include "tests/streamclass/stand_in_host.h"

using namespace std::chrono_literals;
using streamclass::HostAccounting;
using testdriver::Action;

namespace {

class HostContracts : public StandInHost {};

// Makes sure each delivered request and each completion are counted once, and a
// request is delivered once. Catches a host that counts nothing, so that every
// accounting check at the end of a test passes.
TEST_F(HostContracts, CleanRunCountsEachRequestOnce) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(adapter_->call(request), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->deliver(request), STATUS_INVALID_PARAMETER);
  HostAccounting a = streamclass::host_accounting();
  EXPECT_EQ(a.delivered, 4u); // initialize, stream information, initialization complete, power
  EXPECT_EQ(a.completed, 4u);
  EXPECT_EQ(a.outstanding, 0u);
  EXPECT_TRUE(a.clean());
}

// Makes sure a request completed twice or through the other notification, and
// the completion of a block that is no request, are counted and reported.
// Catches a second completion not noticed (a driver completing twice passes).
TEST_F(HostContracts, WrongCompletionsAreCountedAndReported) {
  quiet_misuse();
  open_pin();
  struct Case {
    SRB_COMMAND command;
    Action action;
    uint64_t HostAccounting::*counter;
    int completions;
  } const cases[] = {
      {SRB_CHANGE_POWER_STATE, Action::CompleteTwice, &HostAccounting::completed_twice, 2},
      {SRB_GET_STREAM_STATE, Action::CompleteTwice, &HostAccounting::completed_twice, 2},
      {SRB_CHANGE_POWER_STATE, Action::WrongNotification, &HostAccounting::wrong_notification, 1},
      {SRB_SET_STREAM_STATE, Action::WrongNotification, &HostAccounting::wrong_notification, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << c.command << ", action " << static_cast<int>(c.action));
    testdriver::set_action(c.command, c.action);
    const bool device = c.command == SRB_CHANGE_POWER_STATE;
    auto request = device ? adapter_->make_request(c.command) : pin_->make_request(c.command);
    ASSERT_EQ(device ? adapter_->deliver(request) : pin_->deliver(request), STATUS_PENDING);
    ASSERT_TRUE(request->wait(10s));
    EXPECT_EQ(request->completions(), c.completions);
    HostAccounting a = take_host_accounting();
    EXPECT_EQ(a.*c.counter, 1u);
    EXPECT_EQ(a.outstanding, 0u);
  }
  HW_STREAM_REQUEST_BLOCK stray{};
  StreamClassDeviceNotification(DeviceRequestComplete, nullptr, &stray);
  StreamClassStreamNotification(StreamRequestComplete, nullptr, nullptr);
  EXPECT_EQ(take_host_accounting().unknown_completion, 2u);
}

// Makes sure requests the driver never completes are abandoned when their pin
// closes or their device goes: waiters released with STATUS_DEVICE_REMOVED, each
// counted. Catches a caller blocked for ever, or a lost request passing unseen.
TEST_F(HostContracts, NeverCompletedRequestsAreAbandonedAndCounted) {
  quiet_misuse();
  open_pin();
  testdriver::set_action(SRB_READ_DATA, Action::Never);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Never);
  std::unique_ptr<streamclass::FrameBuffer> read;
  ASSERT_EQ(pin_->submit(100, read), STATUS_PENDING);
  auto power = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(power), STATUS_PENDING);
  EXPECT_FALSE(power->wait(20ms));
  EXPECT_EQ(streamclass::host_accounting().outstanding, 2u);

  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  EXPECT_EQ(read->status(), STATUS_DEVICE_REMOVED);
  EXPECT_FALSE(power->finished());
  EXPECT_EQ(adapter_->remove(), STATUS_SUCCESS);
  EXPECT_TRUE(power->abandoned());
  EXPECT_EQ(power->status(), STATUS_DEVICE_REMOVED);
  HostAccounting a = take_host_accounting();
  EXPECT_EQ(a.never_completed, 2u);
  EXPECT_EQ(a.outstanding, 0u);
}

// Makes sure a request the driver keeps and completes later on another thread
// wakes its waiter with the driver's status. Catches a lost wake-up.
TEST_F(HostContracts, RequestCompletedLaterOnAnotherThreadWakesItsWaiter) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(request), STATUS_PENDING);
  EXPECT_EQ(request->status(), STATUS_PENDING);
  std::thread completer([] { testdriver::complete_held(STATUS_NO_MATCH); });
  EXPECT_TRUE(request->wait(10s));
  completer.join();
  EXPECT_EQ(request->status(), STATUS_NO_MATCH);
  EXPECT_NE(request->trace().completed_on, request->trace().delivered_on);
}

// Makes sure the watchdog calls HwRequestTimeoutHandler once for a request
// outstanding past its limit and leaves the request to the driver, and never
// calls it for a request without a limit. Catches a time-out that completes or
// frees a request under the driver, or a handler called at every tick.
TEST_F(HostContracts, WatchdogCallsTheTimeoutHandlerOncePerLimitedRequest) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto unlimited = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  streamclass::HostOptions options = rig::host_options();
  options.device_request_timeout = 2;
  streamclass::set_host_options(options);
  auto limited = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(limited->srb().TimeoutOriginal, 2u);
  ASSERT_EQ(adapter_->deliver(unlimited), STATUS_PENDING);
  ASSERT_EQ(adapter_->deliver(limited), STATUS_PENDING);
  EXPECT_TRUE(rig::wait_until([] { return testdriver::timeouts() > 0; }, 10s));
  std::this_thread::sleep_for(40ms); // several more ticks
  EXPECT_EQ(testdriver::timeouts(), 1u);
  EXPECT_EQ(streamclass::host_accounting().timeouts, 1u);
  EXPECT_FALSE(limited->finished());
  testdriver::complete_held();
  EXPECT_TRUE(limited->wait(10s) && unlimited->wait(10s));
  EXPECT_EQ(limited->status(), STATUS_SUCCESS);
}

// Makes sure HwCancelPacket reaches the driver for an outstanding request only.
// Catches a cancel of a completed request, whose block the driver no longer owns.
TEST_F(HostContracts, CancelReachesTheDriverForOutstandingRequestsOnly) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto held = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(held), STATUS_PENDING);
  adapter_->cancel(held);
  EXPECT_EQ(testdriver::cancels(), 1u);
  EXPECT_FALSE(held->finished()); // the stand-in cancels only reads
  testdriver::complete_held();
  ASSERT_TRUE(held->wait(10s));
  adapter_->cancel(held);
  EXPECT_EQ(testdriver::cancels(), 1u);
  EXPECT_EQ(streamclass::host_accounting().cancels, 1u);
}

// Makes sure the host asks for the stream descriptor only when its announced
// size holds a header, checks it before reading it, and that an unusable or
// failed one leaves the device started without streams. Catches a descriptor
// read past its buffer, or a stream table trusted whole.
TEST_F(HostContracts, UnusableStreamDescriptorLeavesTheDeviceWithoutStreams) {
  quiet_misuse();
  using Edit = std::function<void(HW_STREAM_DESCRIPTOR &)>;
  constexpr ULONG kWhole = sizeof(HW_STREAM_DESCRIPTOR);
  struct Case {
    const char *what;
    ULONG size;
    Edit edit;
    NTSTATUS driver_status;
    NTSTATUS info_status;
    size_t reports;
  } const cases[] = {
      {"size below a header", 8, {}, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, 1},
      {"two streams in the room of one", kWhole, [](auto &d) { d.StreamHeader.NumberOfStreams = 2; },
       STATUS_SUCCESS, STATUS_INVALID_PARAMETER, 1},
      {"stream information of another size", kWhole,
       [](auto &d) { d.StreamHeader.SizeOfHwStreamInformation -= 8; }, STATUS_SUCCESS,
       STATUS_INVALID_PARAMETER, 1},
      {"format list missing", kWhole, [](auto &d) { d.StreamInfo.StreamFormatsArray = nullptr; },
       STATUS_SUCCESS, STATUS_INVALID_PARAMETER, 1},
      {"request failed", kWhole, {}, STATUS_NOT_IMPLEMENTED, STATUS_NOT_IMPLEMENTED, 0},
  };
  std::vector<uint8_t> format(sizeof(KSDATAFORMAT));
  reinterpret_cast<KSDATAFORMAT *>(format.data())->FormatSize = sizeof(KSDATAFORMAT);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    testdriver::reset();
    testdriver::set_descriptor(c.size, c.edit);
    testdriver::set_action(SRB_GET_STREAM_INFO, Action::Complete, c.driver_status);
    ASSERT_EQ(start(), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->stream_info_status(), c.info_status);
    EXPECT_EQ(adapter_->stream_count(), 0u);
    EXPECT_EQ(count(SRB_GET_STREAM_INFO), c.size < sizeof(HW_STREAM_HEADER) ? 0 : 1);
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), c.reports);
    EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_INVALID_PARAMETER);
    adapter_.reset();
  }
}

} // namespace
