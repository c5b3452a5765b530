// Stream control requests through the rig's pin: state, format proposal and
// change, stream properties, the master clock, the commands the stream does not
// serve, and the order control requests are processed in.
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
  // The pin's allocator framing, and the status of the request.
  NTSTATUS framing(KSALLOCATOR_FRAMING &result, ULONG *returned = nullptr) {
    KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET};
    std::memset(&result, 0xEE, sizeof(result));
    return rig_.pin().get_property(std::span(reinterpret_cast<const uint8_t *>(&property), sizeof(property)),
                                   std::span(reinterpret_cast<uint8_t *>(&result), sizeof(result)), returned);
  }
  // A control request delivered as it stands; its status.
  NTSTATUS call(const std::shared_ptr<Request> &request) {
    EXPECT_EQ(rig_.pin().deliver(request), STATUS_PENDING);
    EXPECT_TRUE(request->wait(10s));
    return request->status();
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

// Makes sure the stream state is stored for the four states and kept for any
// other value, read back (STATUS_NO_DATA_DETECTED when paused) with the lines
// the log shows. Catches a state of 7 stored, with which reads would be queued
// on a stream the class takes for stopped.
TEST_F(StreamControl, StateIsStoredAndReadBack) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  EXPECT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(log(),
            (Lines{"SRB_SET_STREAM_STATE\n", "SetStreamState (0) 00000003\n", "QueueCount 00000000\n"}));
  clear_log();
  auto get = rig_.pin().make_request(SRB_GET_STREAM_STATE);
  EXPECT_EQ(call(get), STATUS_SUCCESS);
  EXPECT_EQ(get->srb().CommandData.StreamState, KSSTATE_RUN);
  EXPECT_EQ(get->srb().ActualBytesTransferred, sizeof(KSSTATE));
  EXPECT_EQ(log(), (Lines{"SRB_GET_STREAM_STATE\n", "GetStreamState 00000003\n"}));

  struct Case {
    KSSTATE set;
    NTSTATUS status;
    KSSTATE got;
  } const cases[] = {
      {KSSTATE_ACQUIRE, STATUS_SUCCESS, KSSTATE_ACQUIRE},
      {KSSTATE_PAUSE, STATUS_NO_DATA_DETECTED, KSSTATE_PAUSE},
      {KSSTATE_STOP, STATUS_SUCCESS, KSSTATE_STOP},
      {KSSTATE_RUN, STATUS_SUCCESS, KSSTATE_RUN},
      {static_cast<KSSTATE>(7), STATUS_SUCCESS, KSSTATE_RUN},
      {static_cast<KSSTATE>(-1), STATUS_SUCCESS, KSSTATE_RUN},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.set));
    clear_log();
    EXPECT_EQ(rig_.pin().set_state(c.set), STATUS_SUCCESS);
    char line[64];
    std::snprintf(line, sizeof(line), "SetStreamState (0) %08X\n", static_cast<unsigned>(c.set));
    EXPECT_EQ(log_count(line), 1u);
    KSSTATE state = KSSTATE_STOP;
    EXPECT_EQ(rig_.pin().get_state(state), c.status);
    EXPECT_EQ(state, c.got);
  }
}

// Makes sure a proposal is verified (and logged) but always refused, that a set
// format replaces the stored one, so that framing and frames follow it, with
// the old copies freed, and that a set failing for lack of memory leaves the
// stored format. Catches an old copy leaked or freed while still in use, or
// frames of the open format after a change.
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
  clear_log();
  EXPECT_EQ(rig_.pin().set_format(small), STATUS_SUCCESS);
  const Lines logged = log();
  ASSERT_GE(logged.size(), 4u);
  EXPECT_EQ(Lines(logged.end() - 4, logged.end()),
            (Lines{"AdapterSetFormat size = 00000098\n", "KSDATAFORMAT_SPECIFIER_VIDEOINFO\n",
                   "BITMAP SIZE 160x120x24\n", "KSDATAFORMAT_SPECIFIER_VIDEOINFO\n"}));
  EXPECT_EQ(wdm_blocks(), blocks);
  EXPECT_EQ(wdm_frees(), frees + 2);
  KSALLOCATOR_FRAMING result;
  ASSERT_EQ(framing(result), STATUS_SUCCESS);
  EXPECT_EQ(result.FrameSize, 57600u);

  platform::pool_fail_tag(PoolTag("Wdm "));
  EXPECT_EQ(rig_.pin().set_format(large), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();
  platform::pool_fail_nth(2, PoolTag("Wdm ")); // the format's copy made, the header's refused
  EXPECT_EQ(rig_.pin().set_format(large), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();
  EXPECT_EQ(wdm_blocks(), blocks);
  ASSERT_EQ(framing(result), STATUS_SUCCESS);
  EXPECT_EQ(result.FrameSize, 57600u);
  EXPECT_EQ(next_frame(230400).data().size(), 57600u);

  frees = wdm_frees();
  EXPECT_EQ(rig_.pin().set_format(large), STATUS_SUCCESS);
  EXPECT_EQ(wdm_frees(), frees + 2);
  EXPECT_EQ(next_frame(230400).data().size(), 230400u);
}

// Makes sure the allocator framing and the dropped-frames record answer with
// their documented values, sizes and lines, and that another connection
// property gives no data. Catches a FrameSize taken from the range rather than
// the format in force, or a record of the wrong size.
TEST_F(StreamControl, StreamPropertiesAnswerWithTheirRecords) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  KSALLOCATOR_FRAMING result;
  ULONG returned = 0;
  ASSERT_EQ(framing(result, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(result.RequirementsFlags, 0x80000003u);
  EXPECT_EQ(result.PoolType, 1);
  EXPECT_EQ(result.Frames, 2u);
  EXPECT_EQ(result.FrameSize, 230400u);
  EXPECT_EQ(result.FileAlignment, 0u);
  EXPECT_EQ(result.Reserved, 0u);
  EXPECT_EQ(log(), (Lines{"KSPROPERTY_CONNECTION_ALLOCATORFRAMING\n", "FrameSize=00038400\n"}));

  KSPROPERTY state{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
  std::vector<uint8_t> data(4);
  returned = 99;
  EXPECT_EQ(rig_.pin().get_property(std::span(reinterpret_cast<const uint8_t *>(&state), sizeof(state)), data,
                                    &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
}

// Makes sure frames are stamped by the master clock the stream is given, the
// dropped-frames record counts by it, NULL removes it, and its handle is
// unknown once the pin is closed. Catches a handle not stored (every frame at
// time 0), or a clock read after the application let it go.
TEST_F(StreamControl, FramesAreStampedByTheMasterClock) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  clear_log();
  constexpr LONGLONG kInterval = 666666;
  EXPECT_EQ(rig_.pin().set_master_clock(std::make_shared<streamclass::ManualMasterClock>(10 * kInterval)),
            STATUS_SUCCESS);
  EXPECT_EQ(log(), Lines{"SRB_INDICATE_MASTER_CLOCK\n"});
  const HANDLE handle = StreamGetMasterClock(&stream());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(next_frame(rig_.image_bytes()).header().PresentationTime.Time, 10 * kInterval);

  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  dropped.Property = KSPROPERTY{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
  ULONG returned = 0;
  ASSERT_EQ(rig_.pin().get_property(dropped, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(dropped.PictureNumber, 1);
  EXPECT_EQ(dropped.DropCount, 9); // ten intervals by the clock, one frame
  EXPECT_EQ(dropped.AverageFrameSize, 230400u);

  EXPECT_EQ(rig_.pin().set_master_clock(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(StreamGetMasterClock(&stream()), nullptr);
  EXPECT_EQ(close_pin(), STATUS_SUCCESS);
  HW_TIME_CONTEXT context{};
  context.Function = TIME_GET_STREAM_TIME;
  context.Time = 99;
  StreamClassQueryMasterClockSync(handle, &context);
  EXPECT_EQ(context.Time, 0u);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), 1u);
}

// Makes sure each command the stream does not serve ends with
// STATUS_NOT_IMPLEMENTED and its line. Catches an unknown command left pending,
// which would hang the class driver.
TEST_F(StreamControl, UnservedCommandsAreNotImplemented) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  KSPROPERTY foreign{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_GET};
  std::vector<uint8_t> data(40);
  EXPECT_EQ(
      rig_.pin().get_property(std::span(reinterpret_cast<const uint8_t *>(&foreign), sizeof(foreign)), data),
      STATUS_NOT_IMPLEMENTED);
  const SRB_COMMAND commands[] = {SRB_SET_STREAM_PROPERTY,       SRB_GET_DATA_FORMAT, SRB_OPEN_MASTER_CLOCK,
                                  SRB_UNKNOWN_STREAM_COMMAND,    SRB_SET_STREAM_RATE, SRB_CLOSE_MASTER_CLOCK,
                                  SRB_PROPOSE_STREAM_RATE,       SRB_BEGIN_FLUSH,     SRB_END_FLUSH,
                                  static_cast<SRB_COMMAND>(0x77)};
  for (SRB_COMMAND command : commands) {
    SCOPED_TRACE(command);
    clear_log();
    EXPECT_EQ(call(rig_.pin().make_request(command)), STATUS_NOT_IMPLEMENTED);
    const char *line = command == SRB_SET_STREAM_PROPERTY ? "SRB_SET_STREAM_PROPERTY\n"
                       : command == SRB_GET_DATA_FORMAT   ? "SRB_GET_DATA_FORMAT\n"
                                                          : "\n";
    EXPECT_EQ(log(), Lines{line});
  }
}

// Makes sure control requests arriving while one is processed wait, then are
// completed after it in arrival order on the thread that processed it. Catches
// a queued request processed at once on its own thread (two handlers running
// together), or one stranded in the list.
TEST_F(StreamControl, RequestsArrivingDuringProcessingFollowInOrderOnTheSameThread) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  auto running = rig_.pin().make_request(SRB_GET_STREAM_STATE);
  auto first = rig_.pin().make_request(SRB_SET_STREAM_STATE);
  first->srb().CommandData.StreamState = KSSTATE_RUN;
  auto second = rig_.pin().make_request(SRB_GET_STREAM_STATE);
  // While `running` is being completed (the stream still busy with it), the
  // other two arrive from its completion callback.
  NTSTATUS deliveries[2] = {STATUS_SUCCESS, STATUS_SUCCESS};
  bool done_when_delivered = true;
  running->on_complete([&](Request &) {
    deliveries[0] = rig_.pin().deliver(first);
    deliveries[1] = rig_.pin().deliver(second);
    done_when_delivered = first->finished() || second->finished();
  });
  ASSERT_EQ(rig_.pin().deliver(running), STATUS_PENDING);
  EXPECT_EQ(deliveries[0], STATUS_PENDING);
  EXPECT_EQ(deliveries[1], STATUS_PENDING);
  EXPECT_FALSE(done_when_delivered);
  ASSERT_TRUE(first->finished() && second->finished());
  EXPECT_EQ(running->srb().CommandData.StreamState, KSSTATE_STOP);
  EXPECT_EQ(second->srb().CommandData.StreamState, KSSTATE_RUN);
  EXPECT_LT(running->trace().completed, first->trace().completed);
  EXPECT_LT(first->trace().completed, second->trace().completed);
  EXPECT_EQ(second->trace().completed_on, std::this_thread::get_id());
  EXPECT_EQ(log_count("AddToListIfBusy Busy\n"), 2u);
  EXPECT_EQ(device().ProcessingControlSRB[0], 0u);
  EXPECT_TRUE(IsListEmpty(&device().StreamControlSRBList[0]));
}

} // namespace
