// Stream control requests through the rig's pin: state, format proposal and change, the allocator framing,
// the master clock and the commands the stream does not serve. Their order: stream_stress_test.cpp.
#include <cstring>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/kernel/pool.h"
#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_test.h"

using namespace std::chrono_literals;
using streamclass::Request;
using Lines = std::vector<std::string>;

namespace {

class StreamControl : public StreamTest {
protected:
  std::vector<uint8_t> format(LONG width, LONG height) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(streamclass::video_format(rig_.adapter(), 0, width, height, bytes), STATUS_SUCCESS);
    return bytes;
  }
  // One frame: a read of `bytes` filled by the camera's next picture.
  streamclass::Frame next_frame(ULONG bytes) {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    EXPECT_EQ(rig_.pin().submit(bytes, buffer), STATUS_PENDING);
    next_picture();
    EXPECT_TRUE(buffer->wait(10s));
    return buffer->frame();
  }
  static size_t wdm_blocks() { return platform::pool_tag_counts(PoolTag("Wdm ")).live_blocks; }
  static uint64_t wdm_frees() { return platform::pool_tag_counts(PoolTag("Wdm ")).frees; }
};

// Makes sure the stream state is stored for the four states and kept for any other value, and read back
// (STATUS_NO_DATA_DETECTED when paused). Catches a state of 7 stored, with which reads would be queued on a
// stream the class takes for stopped.
TEST_F(StreamControl, StateIsStoredAndReadBack) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  const struct {
    int set;
    NTSTATUS status;
    int got;
  } cases[] = {{KSSTATE_ACQUIRE, STATUS_SUCCESS, KSSTATE_ACQUIRE},
               {KSSTATE_PAUSE, STATUS_NO_DATA_DETECTED, KSSTATE_PAUSE},
               {KSSTATE_STOP, STATUS_SUCCESS, KSSTATE_STOP},
               {KSSTATE_RUN, STATUS_SUCCESS, KSSTATE_RUN},
               {7, STATUS_SUCCESS, KSSTATE_RUN}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.set);
    EXPECT_EQ(rig_.pin().set_state(static_cast<KSSTATE>(c.set)), STATUS_SUCCESS);
    KSSTATE state = KSSTATE_STOP;
    EXPECT_EQ(rig_.pin().get_state(state), c.status);
    EXPECT_EQ(state, c.got);
  }
}

// Makes sure a proposal is verified (and logged) but always refused, that a set format replaces the stored
// one, so that the allocator framing and the frames follow it, with the old copies freed, and that a set
// failing for lack of memory leaves the stored format. Catches an old copy leaked or freed while in use, or a
// frame size taken from the open format rather than the one in force.
TEST_F(StreamControl, SetFormatReplacesTheStoredFormat) {
  ASSERT_NO_FATAL_FAILURE(open_pin(320, 240, true));
  const std::vector<uint8_t> small = format(160, 120), large = format(320, 240);
  clear_log();
  EXPECT_EQ(rig_.pin().propose_format(small), STATUS_NO_MATCH);
  EXPECT_EQ(log().front(), "SRB_PROPOSE_DATA_FORMAT\n");
  EXPECT_EQ(log_count("VIDEOINFOHEADER:Requested BMP biWidth,Height = 160, 120\n"), 1u);

  // Two copies (the format and its video info header) replace two.
  const size_t blocks = wdm_blocks();
  uint64_t frees = wdm_frees();
  EXPECT_EQ(rig_.pin().set_format(small), STATUS_SUCCESS);
  EXPECT_EQ(wdm_blocks(), blocks);
  EXPECT_EQ(wdm_frees(), frees + 2);
  KSPROPERTY framing{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET};
  KSALLOCATOR_FRAMING result{};
  ULONG returned = 0;
  ASSERT_EQ(rig_.pin().get_property(std::span(reinterpret_cast<const uint8_t *>(&framing), sizeof(framing)),
                                    std::span(reinterpret_cast<uint8_t *>(&result), sizeof(result)),
                                    &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(result));
  EXPECT_EQ(result.FrameSize, 57600u);

  platform::pool_fail_tag(PoolTag("Wdm "));
  EXPECT_EQ(rig_.pin().set_format(large), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();
  platform::pool_fail_nth(2, PoolTag("Wdm ")); // the format's copy made, the header's refused
  EXPECT_EQ(rig_.pin().set_format(large), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();
  EXPECT_EQ(wdm_blocks(), blocks);
  EXPECT_EQ(next_frame(230400).data().size(), 57600u);

  frees = wdm_frees();
  EXPECT_EQ(rig_.pin().set_format(large), STATUS_SUCCESS);
  EXPECT_EQ(wdm_frees(), frees + 2);
  EXPECT_EQ(next_frame(230400).data().size(), 230400u);
}

// Makes sure the stream keeps the master clock handle it is given (frames are stamped by it) and NULL removes
// it, and that the handle is unknown once the pin is closed. Catches a handle not stored, or a clock read
// after the application let it go. Frame times and drops by the clock: capture/frame_delivery_test.cpp.
TEST_F(StreamControl, MasterClockHandleIsKeptUntilRemovedOrClosed) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(rig_.pin().set_master_clock(std::make_shared<streamclass::ManualMasterClock>(1234567)),
            STATUS_SUCCESS);
  const HANDLE handle = StreamGetMasterClock(&stream());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(next_frame(rig_.image_bytes()).header().PresentationTime.Time, 1234567);
  EXPECT_EQ(rig_.pin().set_master_clock(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(StreamGetMasterClock(&stream()), nullptr);
  EXPECT_EQ(unplug_and_close(), STATUS_SUCCESS);
  HW_TIME_CONTEXT context{};
  context.Function = TIME_GET_STREAM_TIME;
  context.Time = 99;
  StreamClassQueryMasterClockSync(handle, &context);
  EXPECT_EQ(context.Time, 0u);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), 1u);
}

// Makes sure each command the stream does not serve ends with STATUS_NOT_IMPLEMENTED and its line. Catches an
// unknown command left pending, which would hang the class driver.
TEST_F(StreamControl, UnservedCommandsAreNotImplemented) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  KSPROPERTY foreign{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_GET};
  std::vector<uint8_t> data(40);
  EXPECT_EQ(
      rig_.pin().get_property(std::span(reinterpret_cast<const uint8_t *>(&foreign), sizeof(foreign)), data),
      STATUS_NOT_IMPLEMENTED);
  for (SRB_COMMAND command : {SRB_SET_STREAM_PROPERTY, SRB_GET_DATA_FORMAT, SRB_OPEN_MASTER_CLOCK,
                              SRB_UNKNOWN_STREAM_COMMAND, SRB_SET_STREAM_RATE, SRB_CLOSE_MASTER_CLOCK,
                              SRB_PROPOSE_STREAM_RATE, SRB_BEGIN_FLUSH, SRB_END_FLUSH, SRB_COMMAND(0x77)}) {
    SCOPED_TRACE(command);
    clear_log();
    auto request = rig_.pin().make_request(command);
    EXPECT_EQ(rig_.pin().deliver(request), STATUS_PENDING);
    EXPECT_TRUE(request->wait(10s));
    EXPECT_EQ(request->status(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(log(), Lines{command == SRB_SET_STREAM_PROPERTY ? "SRB_SET_STREAM_PROPERTY\n"
                           : command == SRB_GET_DATA_FORMAT   ? "SRB_GET_DATA_FORMAT\n"
                                                              : "\n"});
  }
}

} // namespace
