// The stream class host's own contracts: request accounting, abandoned requests and descriptor checks with
// the stand-in driver; its checks of completion callbacks and property sizes with the camera driver on the
// rig. Opens the host or the driver refuses: capture/stream_open_test.cpp; the time-out watchdog and cancels
// of queued requests: adapter/adapter_test.cpp.
#include <atomic>
#include <thread>

#include "platform/streamclass/ks_guids.h"
#include "tests/streamclass/test_driver.h"

using namespace std::chrono_literals;
using streamclass::HostAccounting;
using testdriver::Action;

namespace {

class HostContracts : public StandInHost {};

// Makes sure double, wrong-notification and stray completions are counted and reported, a request is
// delivered once, and a frame's data never exceeds its buffer. Catches a second completion not noticed, or a
// host that counts nothing.
TEST_F(HostContracts, WrongCompletionsAreCountedAndReported) {
  quiet_misuse();
  open_pin();
  HostAccounting a = take_host_accounting();
  EXPECT_EQ(a.delivered, 4u); // initialize, stream information, initialization complete, open
  EXPECT_EQ(a.completed, 4u);
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
    EXPECT_EQ(device ? adapter_->deliver(request) : pin_->deliver(request), STATUS_INVALID_PARAMETER);
    a = take_host_accounting();
    EXPECT_EQ(a.*c.counter, 1u);
    EXPECT_EQ(a.delivered, 1u);
    EXPECT_EQ(a.outstanding, 0u);
  }
  std::unique_ptr<streamclass::FrameBuffer> read; // its driver claims more data than the buffer holds
  ASSERT_EQ(pin_->submit(16, read), STATUS_PENDING);
  ASSERT_TRUE(testdriver::fill_oldest_read());
  EXPECT_EQ(read->frame().data().size(), 16u);
  HW_STREAM_REQUEST_BLOCK stray{};
  StreamClassDeviceNotification(DeviceRequestComplete, nullptr, &stray);
  StreamClassStreamNotification(StreamRequestComplete, nullptr, nullptr);
  EXPECT_EQ(take_host_accounting().unknown_completion, 2u);
}

// Makes sure requests never completed are abandoned (STATUS_DEVICE_REMOVED) and counted when their pin closes
// or their device goes. Catches a caller blocked for ever, or a lost request passing unseen.
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

// Makes sure a start asks for the stream descriptor after initialization, only when its size holds a header,
// and checks it before reading it; an unusable or failed one leaves the device without streams. Catches a
// descriptor read past its buffer.
TEST_F(HostContracts, UnusableStreamDescriptorLeavesTheDeviceWithoutStreams) {
  quiet_misuse();
  const struct {
    ULONG size;
    std::function<void(HW_STREAM_DESCRIPTOR &)> edit;
    NTSTATUS driver_status;
    size_t reports;
  } cases[] = {
      {8, {}, STATUS_SUCCESS, 1},
      {sizeof(HW_STREAM_DESCRIPTOR), [](auto &d) { d.StreamHeader.NumberOfStreams = 2; }, STATUS_SUCCESS, 1},
      {sizeof(HW_STREAM_DESCRIPTOR), {}, STATUS_NOT_IMPLEMENTED, 0},
  };
  std::vector<uint8_t> format(sizeof(KSDATAFORMAT));
  reinterpret_cast<KSDATAFORMAT *>(format.data())->FormatSize = sizeof(KSDATAFORMAT);
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << ", status " << c.driver_status);
    testdriver::reset();
    testdriver::set_descriptor(c.size, c.edit);
    testdriver::set_action(SRB_GET_STREAM_INFO, Action::Complete, c.driver_status);
    ASSERT_EQ(start(), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->stream_info_status(), c.reports ? STATUS_INVALID_PARAMETER : c.driver_status);
    EXPECT_EQ(adapter_->stream_count(), 0u);
    std::vector<SRB_COMMAND> sent{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_INITIALIZATION_COMPLETE};
    sent.erase(sent.begin() + 1, sent.begin() + (c.size < sizeof(HW_STREAM_HEADER) ? 2 : 1));
    EXPECT_EQ(testdriver::commands(), sent) << "the start's requests, in order";
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), c.reports);
    EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_INVALID_PARAMETER);
    adapter_.reset();
  }
}

class HostChecks : public RigTest {};

// Makes sure a completion callback that closes its pin or removes its device is refused and reported, and
// that the pin works on. Catches the transfer thread made to wait for itself (a close stops it) or left
// holding its adapter.
TEST_F(HostChecks, CloseAndRemovalFromACompletionCallbackAreRefused) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
  std::atomic<NTSTATUS> closed{STATUS_PENDING}, removed{STATUS_PENDING};
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  ASSERT_EQ(rig_.pin().submit(rig_.image_bytes(), buffer,
                              [&](const streamclass::Frame &) {
                                closed = rig_.pin().close();
                                removed = rig_.adapter().remove();
                              }),
            STATUS_PENDING);
  ASSERT_TRUE(rig::wait_until([&] { return removed != STATUS_PENDING; }, 10s));
  EXPECT_EQ(closed.load(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(removed.load(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Request), 2u);
  std::unique_ptr<streamclass::FrameBuffer> next;
  ASSERT_EQ(rig_.pin().submit(rig_.image_bytes(), next), STATUS_PENDING);
  ASSERT_TRUE(next->wait(10s));
  EXPECT_EQ(next->status(), STATUS_SUCCESS);
}

// Makes sure property requests below the sizes the driver publishes never reach it. Catches a short buffer
// handed on for the driver to write past.
TEST_F(HostChecks, PropertyBuffersBelowThePublishedMinimumAreRefused) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  KSPROPERTY_CAMERACONTROL_S zoom{};
  zoom.Property =
      KSPROPERTY{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_GET};
  const auto property = std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&zoom), sizeof(zoom));
  std::vector<uint8_t> data(sizeof(zoom)), small(sizeof(zoom) - 4);
  streamclass::Adapter &adapter = rig_.adapter();
  clear_log();
  EXPECT_EQ(adapter.get_property(property, small), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(adapter.get_property(property.first(sizeof(KSPROPERTY)), data), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(adapter.get_property(property.first(8), data), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter.set_property(property, std::span<const uint8_t>(small)), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(log().empty()) << "a refused property request reached the driver";
  EXPECT_EQ(adapter.get_property(property, data), STATUS_SUCCESS);
}

} // namespace
