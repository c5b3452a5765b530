// The stream class host's checks of what an application asks for, seen with the camera driver on the rig. The
// driver's own refusals of opens: capture/stream_open_test.cpp.
#include <atomic>

#include "platform/streamclass/ks_guids.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

class HostChecks : public RigTest {};

// Makes sure a one-instance stream takes a second pin only once the first is closed, and a stream the
// descriptor does not list none. Catches two pins on one transfer thread.
TEST_F(HostChecks, PinsOpenOnlyWhereTheDescriptorAllows) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  const std::vector<uint8_t> format = rig_.format();
  std::unique_ptr<streamclass::Pin> second;
  EXPECT_EQ(rig_.adapter().open_pin(0, format, second), STATUS_DEVICE_BUSY);
  EXPECT_EQ(rig_.adapter().open_pin(1, format, second), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(log_count("SRB_OPEN_STREAM\n"), 1u) << "a refused pin reached the driver";
  EXPECT_EQ(rig_.close_pin(), STATUS_SUCCESS);
  ASSERT_EQ(rig_.adapter().open_pin(0, format, second), STATUS_SUCCESS);
  EXPECT_EQ(second->close(), STATUS_SUCCESS);
}

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
  ASSERT_EQ(rig_.pin().submit(rig_.image_bytes(), buffer), STATUS_PENDING);
  ASSERT_TRUE(buffer->wait(10s));
  EXPECT_EQ(buffer->status(), STATUS_SUCCESS);
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
