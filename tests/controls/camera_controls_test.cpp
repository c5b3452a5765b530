// The camera controls as an application uses them, through the host, the bus
// and the emulated camera: zoom Sets and Gets, auto focus, refused requests,
// and the commands' hold on the transfer thread while the stream runs.
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/controls/controls_fixture.h"

namespace {
const std::string kStarted = "VELTRA_ProcessTransferThread Started\n";
const std::string kStopped = "VELTRA_ProcessTransferThread Stopped\n";
} // namespace

// Makes sure zoom Sets complete at once and move the camera later, 101 never, a Set without pool fails alone.
// Catches the zoom range check off by one, a Get taking the pending value, a work item left set.
TEST_F(ControlsTest, ZoomSetsMoveTheCameraWithinTheRange) {
  ASSERT_NO_FATAL_FAILURE(start(camera_with({})));
  ASSERT_EQ(set_zoom(70), STATUS_SUCCESS);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 50) << "the camera has not moved yet";
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 70u);
  const uint64_t commands = camera().counters.commands;
  for (LONG value : {0, 100, 101}) {
    ASSERT_EQ(set_zoom(value), STATUS_SUCCESS);
    ASSERT_TRUE(zoom_settled());
    EXPECT_EQ(rig_.extension()->ZoomValue, value);
  }
  EXPECT_EQ(camera().zoom, 100u);
  EXPECT_EQ(camera().counters.commands, commands + 2) << "101 never reaches the bus";

  platform::pool_fail_nth(1, PoolTag("Wdm "));
  EXPECT_EQ(set_zoom(60), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(set_zoom(80), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 80u);
}

// Makes sure a zoom Get reads the camera, a reading above 100 becoming 50. Catches a Get not asking it.
TEST_F(ControlsTest, ZoomGetReadsTheCameraAndReplacesAReadingAbove100) {
  ASSERT_NO_FATAL_FAILURE(start(camera_with({"zoom-high@2"})));
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ULONG returned = 0;
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom, &returned), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 30);
  EXPECT_EQ(zoom.Capabilities, ULONG{KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL});
  EXPECT_EQ(returned, 40u);
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 0u);
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS); // the camera says 150
  EXPECT_EQ(zoom.Value, 50);
  EXPECT_EQ(rig_.extension()->ZoomValue, 50);
  EXPECT_EQ(log_count("VELTRA_GetZoomProperty Modified 50\n"), 1u);
}

// Makes sure focus AUTO runs one camera cycle (ACK, then ENQ) and other flags none. Catches a failed focus
// (ACK then ACK) reported as set.
TEST_F(ControlsTest, FocusAutoRunsOneCycleAndOtherFlagsNeedNoCamera) {
  ASSERT_NO_FATAL_FAILURE(start(camera_with({"focus-fail@2"})));
  KSPROPERTY_CAMERACONTROL_S focus{};
  ULONG returned = 0;
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_FOCUS, focus, &returned), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(focus.Value, focus.Flags, focus.Capabilities, returned),
            std::make_tuple(0, 2u, 3u, 40u));
  ASSERT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  EXPECT_EQ(rig_.extension()->FocusFlags, 1u);
  EXPECT_GE(tapped("** CAM_FOCUS_MODE_ADDR(2) Received Type 5\n"), 0);
  EXPECT_EQ(set_focus(2), STATUS_SUCCESS);
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_INVALID_PARAMETER);
  EXPECT_GE(tapped("** CAM_FOCUS_MODE_ADDR(2) Received Type 6\n"), 0);
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_FOCUS, focus), STATUS_SUCCESS);
  EXPECT_EQ(focus.Flags, 2u);
  ASSERT_EQ(set_focus(3), STATUS_SUCCESS);
  EXPECT_EQ(rig_.extension()->FocusFlags, 3u);
  EXPECT_EQ(camera().counters.focus_runs, 2u);
  EXPECT_EQ(camera().counters.commands, 2u);
}

// Makes sure other properties and sets, and short data, are refused with their lines and no command. Catches
// a pan Get answered as zoom, a value read past its buffer.
TEST_F(ControlsTest, OtherPropertiesSetsAndMalformedRequestsAreRefused) {
  ASSERT_NO_FATAL_FAILURE(start(camera_with({})));
  streamclass::Adapter &adapter = rig_.adapter();
  KSPROPERTY_CAMERACONTROL_S pan{};
  KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
  mode.Property = KSPROPERTY{PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, 0};
  EXPECT_EQ(get(KSPROPERTY_CAMERACONTROL_PAN, pan), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_PAN, 1, 2),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter.get_property(mode), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(adapter.set_property(mode), STATUS_NOT_IMPLEMENTED);
  for (const char *line :
       {"AdapterGetCameraControlProperty(UNKNOWN)\n", "SetCameraControlProperty InvalidParameter\n",
        "AdapterGetDeviceProperty(UNKNOWN)\n"})
    EXPECT_EQ(log_count(line), 1u) << line;
  for (SRB_COMMAND command : {SRB_GET_DEVICE_PROPERTY, SRB_SET_DEVICE_PROPERTY}) {
    // A zoom record with 8 bytes of data, built by hand: the host refuses short published items itself.
    auto request = adapter.make_request(command);
    auto *descriptor = request->add_record<STREAM_PROPERTY_DESCRIPTOR>();
    auto *property = request->add_record<KSPROPERTY>();
    *property = {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, 0};
    *descriptor = {property, 2, request->add_block(8), sizeof(KSPROPERTY), 8};
    request->srb().CommandData.PropertyInfo = descriptor;
    EXPECT_EQ(adapter.call(request), STATUS_BUFFER_TOO_SMALL);
  }
  EXPECT_EQ(camera().counters.commands, 0u);
}

// Makes sure each command while streaming stops the thread before its packet and starts it after the reply.
// Catches a command colliding with the thread on the camera's one channel, a thread left stopped.
TEST_F(ControlsTest, CommandsWhileStreamingStopAndRestartTheThread) {
  ASSERT_NO_FATAL_FAILURE(start_streaming(320, 240, 4, camera_with({"focus-fail@2"})));
  ASSERT_TRUE(rig_.frames().wait_frames(3, 10s));
  tap_->clear();
  ASSERT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_INVALID_PARAMETER);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  ASSERT_EQ(set_zoom(20), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 20u);

  long at = 0;
  for (const char *exchange : {"** Send CAM_ONETOUCH_AF_OPCODE\n", "** Send CAM_ONETOUCH_AF_OPCODE\n",
                               "## Enter VELTRA_GetVarLenReceive() BufferSize = 12\n",
                               "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (14)\n"}) {
    const long stopped = tapped(kStopped, at);
    const long command = tapped(exchange, at);
    const long started = tapped(kStarted, at);
    ASSERT_GE(stopped, 0) << exchange;
    EXPECT_LT(stopped, command) << exchange;
    EXPECT_LT(command, started) << exchange;
    at = started + 1;
  }
  EXPECT_EQ(tapped(kStopped, at), -1);
  ASSERT_TRUE(rig_.frames().wait_frames(rig_.frames().frames() + 3, 10s));
  const auto records = rig_.frames().records();
  for (size_t i = 1; i < records.size(); ++i) {
    EXPECT_GT(records[i].info.PictureNumber, records[i - 1].info.PictureNumber);
    EXPECT_GE(records[i].header.PresentationTime.Time, records[i - 1].header.PresentationTime.Time);
  }
}

// Makes sure a command restarts a thread that gave up, and starts none once the stream is closed. Catches a
// stream left without its thread for good.
TEST_F(ControlsTest, CommandsRestartAThreadThatGaveUpAndStartNoneWithoutStream) {
  ASSERT_NO_FATAL_FAILURE(start(camera_with({"size-zero@3"})));
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  ASSERT_TRUE(rig::wait_until([&] { return log_count(kStopped) == 1; }, 10s));
  for (const std::string &line : log())
    EXPECT_EQ(line.rfind("StreamSRBComplete", 0), std::string::npos) << line;
  EXPECT_EQ(camera().counters.pictures, 3u) << "no picture is asked for after the failure";
  KSPROPERTY_CAMERACONTROL_S zoom{};
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(log_count(kStarted), 2u);
  const uint64_t pictures = camera().counters.pictures;
  ASSERT_TRUE(rig::wait_until([&] { return camera().counters.pictures > pictures + 2; }, 10s));
  ASSERT_EQ(rig_.close_pin(), STATUS_SUCCESS);
  ASSERT_EQ(get(KSPROPERTY_CAMERACONTROL_ZOOM, zoom), STATUS_SUCCESS);
  EXPECT_EQ(log_count(kStarted), 2u);
}

// Makes sure a zoom Set arriving while the previous one is applied reaches the camera. Catches a work item
// going idle without looking for a newer Set.
TEST_F(ControlsTest, ZoomSetWhileTheChangeIsAppliedIsNotLost) {
  ASSERT_NO_FATAL_FAILURE(start(camera_with({}, 200'000'000)));
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(
      rig::wait_until([&] { return tapped("** Send CAM_RELATIVE_ZOOM_ADDR(Set) (1E)\n") >= 0; }, 10s));
  ASSERT_EQ(set_zoom(60), STATUS_SUCCESS); // the camera's ACK of 30 is still 200 ms away
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().counters.zoom_sets, 2u);
  EXPECT_EQ(camera().zoom, 60u);
  EXPECT_EQ(log_count("** Start PropChangeTiemr **\n"), 1u) << "the same work item applied both";
}

// Makes sure a zoom change that comes due while a focus holds the camera waits for it, then moves the camera
// with the transfer thread stopped. Catches a change that stops the thread before it holds the camera (the
// focus's end restarts the thread under it, and the change is dropped).
TEST_F(ControlsTest, ZoomChangeDueDuringAFocusWaitsForTheCamera) {
  emu::CameraConfig config = camera_with({});
  config.focus_ns = 1'500'000'000; // past the zoom change's delay
  ASSERT_NO_FATAL_FAILURE(start(config));
  ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
  ASSERT_EQ(rig_.stream({.buffers = 4, .keep_data = false, .hook = {}}), STATUS_SUCCESS);
  ASSERT_TRUE(rig_.frames().wait_frames(3, 10s));
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  EXPECT_EQ(set_focus(KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().zoom, 30u);
  EXPECT_TRUE(rig_.frames().wait_frames(rig_.frames().frames() + 3, 10s)) << "the thread runs again";
  rig_.stop();
}
