// The camera-control properties through the host, the bus and the emulated camera.
#include <cstdio>

#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/controls/controls_fixture.h"

using namespace ctltest;

namespace {

// The "PropSetId" line the driver logs for a set.
std::string prop_set_line(const GUID &g) {
  char text[80];
  std::snprintf(text, sizeof(text), "PropSetId %08X-%04X-%04X-%02X%02X%02X%02X%02X%02X%02X%02X\n", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  return text;
}

} // namespace

// Zoom Sets complete at once and move the camera once, to the last value, 0.5 s after the last Set; catches a
// timer that does not restart, one command per Set, a value beyond 0..100 sent, or a Get's reading applied.

TEST_F(ControlsTest, ZoomBurstMovesTheCameraOnceToTheLastValue) {
  start(camera_with({}));
  ASSERT_EQ(set_zoom(70), STATUS_SUCCESS);
  std::this_thread::sleep_for(200ms);
  const auto last = std::chrono::steady_clock::now();
  ASSERT_EQ(set_zoom(80), STATUS_SUCCESS);
  EXPECT_EQ(camera().counters.zoom_sets, 0u) << "the Sets complete before the camera moves";
  ASSERT_TRUE(wait_until([&] { return camera().counters.zoom_sets == 1; }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - last, 490ms);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().counters.zoom_sets, 1u);
  EXPECT_EQ(camera().zoom, 80u);
  EXPECT_EQ(log_count("** Start PropChangeTiemr **\n"), 1u);
  EXPECT_EQ(log_count("** Retry Start PropChangeTiemr **\n"), 2u);
  EXPECT_GE(find_line(tap_->texts(4), "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (50)\n"), 0);
}

TEST_F(ControlsTest, ZoomLimitsAreSentAndValuesBeyondThemAreNot) {
  start(camera_with({}));
  for (LONG value : {0, 100, 101}) {
    ASSERT_EQ(set_zoom(value), STATUS_SUCCESS);
    ASSERT_TRUE(zoom_settled());
    EXPECT_EQ(extension()->ZoomValue, value);
  }
  EXPECT_EQ(camera().counters.zoom_sets, 2u);
  EXPECT_EQ(camera().zoom, 100u);
  EXPECT_EQ(camera().counters.commands, 2u) << "101 never reaches the bus";
}

TEST_F(ControlsTest, ZoomGetWhileAChangeIsPendingDoesNotReplaceTheSetValue) {
  start(camera_with({}));
  ASSERT_EQ(set_zoom(70), STATUS_SUCCESS);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 50) << "the camera has not moved yet";
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 70u);
}

// No memory for the work item: the Set fails, the next Set still starts a change; catches a pointer left set.
TEST_F(ControlsTest, ZoomSetWithoutMemoryFailsAndTheNextSetWorks) {
  start(camera_with({}));
  platform::pool_fail_nth(1, PoolTag("Wdm "));
  EXPECT_EQ(set_zoom(70), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(extension()->ZoomValue, 70);
  ASSERT_EQ(set_zoom(80), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 80u);
}

// Zoom Gets read the camera (40 bytes, MANUAL), a reading above 100 becomes 50 with its line; catches a Get
// answered from ZoomValue without asking the camera.
TEST_F(ControlsTest, ZoomGetReadsTheCameraAndReplacesAReadingAbove100) {
  start(camera_with({"zoom-high@2"}));
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ULONG returned = 0;
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom, &returned), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 30);
  EXPECT_EQ(zoom.Capabilities, 2u);
  EXPECT_EQ(returned, 40u);
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 0u);

  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS); // the camera says 150
  EXPECT_EQ(zoom.Value, 50);
  EXPECT_EQ(extension()->ZoomValue, 50);
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 1u);
  EXPECT_EQ(log_count(prop_set_line(PROPSETID_VIDCAP_CAMERACONTROL)), 2u);
}

// Focus AUTO runs ACK then ENQ and fails on ACK then ACK keeping the flags; other flags need no camera; a Get
// reports the flags (Value 0, Capabilities 3, 40 bytes); catches a failed focus reported as set.
TEST_F(ControlsTest, FocusAutoRunsOneCycleAndOtherFlagsNeedNoCamera) {
  start(camera_with({"focus-fail@2"}));
  KSPROPERTY_CAMERACONTROL_S focus{};
  ULONG returned = 0;
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_FOCUS, focus, &returned), STATUS_SUCCESS);
  EXPECT_EQ(focus.Value, 0);
  EXPECT_EQ(focus.Flags, 2u);
  EXPECT_EQ(focus.Capabilities, 3u);
  EXPECT_EQ(returned, 40u);

  ASSERT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  EXPECT_EQ(extension()->FocusFlags, 1u);
  EXPECT_GE(find_line(tap_->texts(4), "** CAM_FOCUS_MODE_ADDR(2) Received Type 5\n"), 0);
  EXPECT_EQ(set_focus(2), STATUS_SUCCESS);
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_INVALID_PARAMETER);
  EXPECT_GE(find_line(tap_->texts(4), "** CAM_FOCUS_MODE_ADDR(2) Received Type 6\n"), 0);
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_FOCUS, focus), STATUS_SUCCESS);
  EXPECT_EQ(focus.Flags, 2u);
  ASSERT_EQ(set_focus(3), STATUS_SUCCESS);
  EXPECT_EQ(extension()->FocusFlags, 3u);
  EXPECT_EQ(camera().counters.focus_runs, 2u);
  EXPECT_EQ(camera().counters.commands, 2u);
}

// Other properties are STATUS_INVALID_PARAMETER, other sets STATUS_NOT_IMPLEMENTED, requests without a
// property or with short data are refused; catches a pan Get answered as zoom or data read past its buffer.
TEST_F(ControlsTest, OtherPropertiesSetsAndMalformedRequestsAreRefused) {
  start(camera_with({}));
  KSPROPERTY_CAMERACONTROL_S pan{};
  KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
  mode.Property.Set = PROPSETID_VIDCAP_VIDEOCONTROL;
  mode.Property.Id = KSPROPERTY_VIDEOCONTROL_MODE;
  log_->clear();
  EXPECT_EQ(get(KSPROPERTY_CAMERACONTROL_PAN, pan), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(streamclass::set_camera_control(adapter(), KSPROPERTY_CAMERACONTROL_PAN, 1, 2),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter().get_property(mode), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(adapter().set_property(mode), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(log_->lines(),
            (std::vector<std::string>{
                "SRB_GET_DEVICE_PROPERTY\n", prop_set_line(PROPSETID_VIDCAP_CAMERACONTROL),
                "AdapterGetCameraControlProperty(UNKNOWN)\n", "SRB_SET_DEVICE_PROPERTY\n",
                "SetCameraControlProperty 00000000 \n", "SetCameraControlProperty InvalidParameter\n",
                "SRB_GET_DEVICE_PROPERTY\n", prop_set_line(PROPSETID_VIDCAP_VIDEOCONTROL),
                "AdapterGetDeviceProperty(UNKNOWN)\n", "SRB_SET_DEVICE_PROPERTY\n"}));

  for (SRB_COMMAND command : {SRB_GET_DEVICE_PROPERTY, SRB_SET_DEVICE_PROPERTY}) {
    EXPECT_EQ(adapter().call(adapter().make_request(command)), STATUS_INVALID_PARAMETER);
    // A zoom record with 8 bytes of data, built by hand: the host refuses short published items itself.
    auto request = adapter().make_request(command);
    auto *descriptor = request->add_record<STREAM_PROPERTY_DESCRIPTOR>();
    auto *property = request->add_record<KSPROPERTY>();
    *property = {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, 0};
    *descriptor = {property, 2, request->add_block(8), sizeof(KSPROPERTY), 8};
    request->srb().CommandData.PropertyInfo = descriptor;
    EXPECT_EQ(adapter().call(request), STATUS_BUFFER_TOO_SMALL);
  }
  EXPECT_EQ(camera().counters.commands, 0u);
}

// The application reads zoom's range 0..100 step 1 default 50, a Get-only pan, nothing unpublished; catches a
// members walk that mixes ranges and defaults.
TEST_F(ControlsTest, PublishedDescriptionsGiveRangesAndDefaults) {
  start(camera_with({}));
  streamclass::ControlDescription zoom, pan, none;
  ASSERT_TRUE(
      describe_control(adapter(), PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, zoom));
  EXPECT_TRUE(zoom.get && zoom.set_supported && zoom.has_range && zoom.has_default);
  EXPECT_EQ(std::make_tuple(zoom.minimum, zoom.maximum, zoom.step, zoom.default_value),
            std::make_tuple(0, 100, 1u, 50));
  ASSERT_TRUE(describe_control(adapter(), PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_PAN, pan));
  EXPECT_TRUE(pan.get);
  EXPECT_FALSE(pan.set_supported || pan.has_range || pan.has_default);
  EXPECT_FALSE(describe_control(adapter(), PROPSETID_VIDCAP_CAMERACONTROL, 7, none));
}
