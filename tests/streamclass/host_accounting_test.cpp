// The stream class host's request accounting, time-outs and cancellation, tested
// with a driver that completes requests wrongly on purpose.
#include "platform/kernel/control.h"
#include "tests/streamclass/test_driver_fixture.h"

using namespace streamclass;
using testdriver::Action;

namespace {

class HostAccountingTest : public TestDriverHost {};

// Accounting: makes sure every wrong completion is counted and reported, and that a
// clean run counts each request once. Example failure: a driver that completes a
// request twice, or never, passing its tests unnoticed.

TEST_F(HostAccountingTest, CleanRunCountsEachRequestOnce) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->change_power_state(PowerDeviceD0), STATUS_SUCCESS);
  HostAccounting a = host_accounting();
  EXPECT_EQ(a.delivered, 4u); // initialize, stream info, initialization complete, power
  EXPECT_EQ(a.completed, 4u);
  EXPECT_EQ(a.outstanding, 0u);
  EXPECT_TRUE(a.clean());
}

TEST_F(HostAccountingTest, DoubleCompletionIsCaught) {
  quiet_misuse();
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::CompleteTwice);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(adapter_->call(request), STATUS_SUCCESS);
  EXPECT_EQ(request->completions(), 2);
  HostAccounting a = take_host_accounting();
  EXPECT_EQ(a.completed_twice, 1u);
  EXPECT_EQ(a.completed, 4u);
  EXPECT_FALSE(a.clean());
}

TEST_F(HostAccountingTest, NeverCompletedRequestIsCaughtAtRemoval) {
  quiet_misuse();
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Never);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(request), STATUS_PENDING);
  EXPECT_FALSE(request->wait(std::chrono::milliseconds(20)));
  EXPECT_EQ(host_accounting().outstanding, 1u);
  adapter_->remove();
  // The waiter is released; the request counts as never completed.
  EXPECT_TRUE(request->wait(std::chrono::milliseconds(0)));
  EXPECT_TRUE(request->abandoned());
  EXPECT_EQ(request->status(), STATUS_DEVICE_REMOVED);
  HostAccounting a = take_host_accounting();
  EXPECT_EQ(a.never_completed, 1u);
  EXPECT_EQ(a.outstanding, 0u);
}

TEST_F(HostAccountingTest, CompletionThroughTheWrongNotificationIsCaught) {
  quiet_misuse();
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::WrongNotification);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(adapter_->call(request), STATUS_SUCCESS);
  HostAccounting a = take_host_accounting();
  EXPECT_EQ(a.wrong_notification, 1u);
  EXPECT_EQ(a.outstanding, 0u); // still handed back
}

TEST_F(HostAccountingTest, StreamRequestCompletedAsAdapterRequestIsCaught) {
  quiet_misuse();
  open_pin();
  testdriver::set_action(SRB_SET_STREAM_STATE, Action::WrongNotification);
  EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(take_host_accounting().wrong_notification, 1u);
}

TEST_F(HostAccountingTest, CompletionOfABlockThatIsNoRequestIsCaught) {
  quiet_misuse();
  HW_STREAM_REQUEST_BLOCK stray{};
  StreamClassDeviceNotification(DeviceRequestComplete, nullptr, &stray);
  StreamClassStreamNotification(StreamRequestComplete, nullptr, nullptr);
  EXPECT_EQ(take_host_accounting().unknown_completion, 2u);
}

TEST_F(HostAccountingTest, RequestsDeliveredOnlyOnce) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(adapter_->call(request), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->deliver(request), STATUS_INVALID_PARAMETER);
}

// Completion from another thread: makes sure a request the driver keeps and later
// completes elsewhere wakes its waiter with the driver's status. Example failure: a
// lost wake-up leaving the caller blocked.

TEST_F(HostAccountingTest, RequestCompletedLaterOnAnotherThreadWakesItsWaiter) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(request), STATUS_PENDING);
  EXPECT_EQ(request->status(), STATUS_PENDING);
  std::thread completer([] { testdriver::complete_held(STATUS_NO_MATCH); });
  EXPECT_TRUE(request->wait(std::chrono::seconds(10)));
  completer.join();
  EXPECT_EQ(request->status(), STATUS_NO_MATCH);
  Request::Trace trace = request->trace();
  EXPECT_NE(trace.completed_on, trace.delivered_on);
  EXPECT_GT(trace.completed, trace.delivery_returned);
}

// Time-outs: makes sure the host calls HwRequestTimeoutHandler once for a request
// outstanding past its limit, leaves the request alone, and does nothing for a
// request without a limit. Example failure: a time-out that completes or frees the
// request under the driver.

TEST_F(HostAccountingTest, RequestOutstandingTooLongReachesTheTimeoutHandlerOnce) {
  HostOptions options = test_options();
  options.device_request_timeout = 2;
  set_options(options);
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(request->srb().TimeoutOriginal, 2u);
  ASSERT_EQ(adapter_->deliver(request), STATUS_PENDING);
  for (int i = 0; i < 2000 && testdriver::timeouts() == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30)); // several more ticks
  EXPECT_EQ(testdriver::timeouts(), 1u);
  EXPECT_EQ(host_accounting().timeouts, 1u);
  EXPECT_FALSE(request->finished());
  testdriver::complete_held();
  EXPECT_TRUE(request->wait(std::chrono::seconds(10)));
  EXPECT_EQ(request->status(), STATUS_SUCCESS);
}

TEST_F(HostAccountingTest, RequestWithoutTimeLimitNeverTimesOut) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(request), STATUS_PENDING);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(testdriver::timeouts(), 0u);
  testdriver::complete_held();
  EXPECT_TRUE(request->wait(std::chrono::seconds(10)));
}

// Cancellation: makes sure HwCancelPacket reaches the driver for an outstanding
// request only. Example failure: a cancel for a completed request whose block the
// driver no longer owns.

TEST_F(HostAccountingTest, CancelReachesTheDriverForOutstandingRequestsOnly) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  auto held = adapter_->make_request(SRB_CHANGE_POWER_STATE);
  ASSERT_EQ(adapter_->deliver(held), STATUS_PENDING);
  adapter_->cancel(held);
  EXPECT_EQ(testdriver::cancels(), 1u);
  EXPECT_FALSE(held->finished()); // the test driver cancels only reads
  testdriver::complete_held();
  ASSERT_TRUE(held->wait(std::chrono::seconds(10)));
  adapter_->cancel(held);
  EXPECT_EQ(testdriver::cancels(), 1u);
  EXPECT_EQ(host_accounting().cancels, 1u);
}

} // namespace
