// Stream control requests through the host's pin: state, format proposal and
// change, stream properties, master clock, the commands the stream does not serve,
// and the per-stream serialisation of control requests.
#include <cstring>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_harness.h"

using namespace streamclass;
using streamharness::bytes_of;
using streamharness::format_from_range;

namespace {

class StreamControl : public StreamHost {
protected:
  // Reads the allocator framing of the pin.
  NTSTATUS framing(KSALLOCATOR_FRAMING &result, ULONG *returned) {
    KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET};
    std::memset(&result, 0xEE, sizeof(result));
    return pin_->get_property(bytes_of(property),
                              std::span<uint8_t>(reinterpret_cast<uint8_t *>(&result), sizeof(result)),
                              returned);
  }

  // Reads the dropped-frames record of the pin.
  NTSTATUS dropped(KSPROPERTY_DROPPEDFRAMES_CURRENT_S &result, ULONG *returned) {
    std::memset(&result, 0, sizeof(result));
    result.Property = KSPROPERTY{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
    return pin_->get_property(result, returned);
  }

  // Delivers a control request of `command` as it stands and waits for it.
  NTSTATUS call(SRB_COMMAND command, std::shared_ptr<Request> *out = nullptr) {
    auto request = pin_->make_request(command);
    EXPECT_EQ(pin_->deliver(request), STATUS_PENDING);
    EXPECT_TRUE(request->wait(std::chrono::seconds(10)));
    if (out != nullptr)
      *out = request;
    return request->status();
  }

  static ULONG wdm_blocks() { return (ULONG)platform::pool_tag_counts(PoolTag("Wdm ")).live_blocks; }
};

// Stream state: makes sure the state is stored for 0..3 and kept for anything
// else, and that a paused stream answers STATUS_NO_DATA_DETECTED. Example failure:
// a state of 7 stored (reads would be queued on a stream the class thinks stopped).

TEST_F(StreamControl, StateRoundTripsWithItsLogLines) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"SRB_SET_STREAM_STATE\n", "SetStreamState (0) 00000003\n",
                                                   "QueueCount 00000000\n"}));
  log_->clear();
  std::shared_ptr<Request> request;
  EXPECT_EQ(call(SRB_GET_STREAM_STATE, &request), STATUS_SUCCESS);
  EXPECT_EQ(request->srb().CommandData.StreamState, KSSTATE_RUN);
  EXPECT_EQ(request->srb().ActualBytesTransferred, 4u);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"SRB_GET_STREAM_STATE\n", "GetStreamState 00000003\n"}));

  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(pin_->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(pin_->get_state(state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_ACQUIRE);
  EXPECT_EQ(pin_->set_state(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(pin_->get_state(state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_STOP);
}

TEST_F(StreamControl, PausedStreamReportsNoDataDetected) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  EXPECT_EQ(pin_->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(pin_->get_state(state), STATUS_NO_DATA_DETECTED);
  EXPECT_EQ(state, KSSTATE_PAUSE);
}

TEST_F(StreamControl, UnknownStateValueLeavesTheState) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(pin_->set_state(static_cast<KSSTATE>(7)), STATUS_SUCCESS);
  EXPECT_TRUE(log_->contains("SetStreamState (0) 00000007\n"));
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(pin_->get_state(state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN);
  EXPECT_EQ(pin_->set_state(static_cast<KSSTATE>(-1)), STATUS_SUCCESS);
  EXPECT_EQ(stream_extension().KSState, KSSTATE_RUN);
}

// Formats on an open stream: makes sure proposals are always refused, a set to
// the other offered size replaces the stored format (and the copy frames are made
// by), the old copies are freed, and a refused or failed set leaves the stream as
// it was. Example failure: the old copy leaked or freed while still published.

TEST_F(StreamControl, ProposalIsAlwaysRefused) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  EXPECT_EQ(pin_->propose_format(format_from_range(StreamFormatRGB24Bpp_Capture)), STATUS_NO_MATCH);
  EXPECT_EQ(log_lines().front(), "SRB_PROPOSE_DATA_FORMAT\n");
  EXPECT_TRUE(log_->contains("VIDEOINFOHEADER:Requested BMP biWidth,Height = 320, 240\n"));
  EXPECT_EQ(pin_->propose_format(format_from_range(StreamFormatRGB24Bpp_Capture2)), STATUS_NO_MATCH);
}

TEST_F(StreamControl, SetFormatToSmallSizeChangesFramingAndFrameHeader) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  EXPECT_EQ(wdm_blocks(), 2u); // the format and the video info header
  uint64_t frees = platform::pool_tag_counts(PoolTag("Wdm ")).frees;

  EXPECT_EQ(pin_->set_format(format_from_range(StreamFormatRGB24Bpp_Capture2)), STATUS_SUCCESS);
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "SRB_SET_DATA_FORMAT\n");
  EXPECT_EQ(
      std::vector<std::string>(lines.end() - 4, lines.end()),
      (std::vector<std::string>{"AdapterSetFormat size = 00000098\n", "KSDATAFORMAT_SPECIFIER_VIDEOINFO\n",
                                "BITMAP SIZE 160x120x24\n", "KSDATAFORMAT_SPECIFIER_VIDEOINFO\n"}));
  // Both copies were replaced and the old ones freed.
  EXPECT_EQ(wdm_blocks(), 2u);
  EXPECT_EQ(platform::pool_tag_counts(PoolTag("Wdm ")).frees, frees + 2);

  KSALLOCATOR_FRAMING result;
  ULONG returned = 0;
  ASSERT_EQ(framing(result, &returned), STATUS_SUCCESS);
  EXPECT_EQ(result.FrameSize, 57600u);
  EXPECT_EQ(result.Frames, 2u);

  STREAM_FORMAT_SNAPSHOT snapshot;
  ASSERT_TRUE(StreamGetFormatSnapshot(&stream_extension(), &snapshot));
  EXPECT_EQ(snapshot.DataFormatHeader.bmiHeader.biWidth, 160);
  ASSERT_TRUE(snapshot.bVideoInfoHeader);
  EXPECT_EQ(snapshot.VideoInfoHeader.bmiHeader.biWidth, 160);
  EXPECT_EQ(snapshot.VideoInfoHeader.bmiHeader.biSizeImage, 57600u);
  EXPECT_EQ(snapshot.AvgTimePerFrame, 666666);

  // And back: the second set frees the first set's copies.
  EXPECT_EQ(pin_->set_format(format_from_range(StreamFormatRGB24Bpp_Capture)), STATUS_SUCCESS);
  EXPECT_EQ(wdm_blocks(), 2u);
  EXPECT_EQ(platform::pool_tag_counts(PoolTag("Wdm ")).frees, frees + 4);
  ASSERT_EQ(framing(result, &returned), STATUS_SUCCESS);
  EXPECT_EQ(result.FrameSize, 230400u);
}

TEST_F(StreamControl, RefusedOrFailedSetKeepsTheStoredFormat) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  auto other = format_from_range(StreamFormatRGB24Bpp_Capture2);
  streamharness::video_format(other)->VideoInfoHeader.bmiHeader.biWidth = 176;
  EXPECT_EQ(pin_->set_format(other), STATUS_NO_MATCH);
  EXPECT_TRUE(log_->contains("SRB_SET_DATA_FORMAT NO MATCH\n"));

  // Pool short while storing: the stream keeps the format it had.
  platform::pool_fail_tag(PoolTag("Wdm "));
  EXPECT_EQ(pin_->set_format(format_from_range(StreamFormatRGB24Bpp_Capture2)),
            STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_fail_tag(PoolTag("Wdm "), false);
  // The copy of the format succeeded and the video info header's failed.
  platform::pool_fail_nth(2, PoolTag("Wdm "));
  EXPECT_EQ(pin_->set_format(format_from_range(StreamFormatRGB24Bpp_Capture2)),
            STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();

  EXPECT_EQ(wdm_blocks(), 2u);
  KSALLOCATOR_FRAMING result;
  ULONG returned = 0;
  ASSERT_EQ(framing(result, &returned), STATUS_SUCCESS);
  EXPECT_EQ(result.FrameSize, 230400u);
  STREAM_FORMAT_SNAPSHOT snapshot;
  ASSERT_TRUE(StreamGetFormatSnapshot(&stream_extension(), &snapshot));
  EXPECT_EQ(snapshot.VideoInfoHeader.bmiHeader.biWidth, 320);
}

// Stream properties: makes sure allocator framing and dropped frames answer with
// the documented values and sizes, and that a stream without a stored format
// answers as documented. Example failure: FrameSize from the range rather than the
// format in force.

TEST_F(StreamControl, AllocatorFramingOfTheLargeFormat) {
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
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{"KSPROPERTY_CONNECTION_ALLOCATORFRAMING\n", "FrameSize=00038400\n"}));
}

TEST_F(StreamControl, DroppedFramesReportTheStreamCounters) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  stream_extension().FrameInfo.PictureNumber = 12;
  stream_extension().FrameInfo.DropCount = 3;
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S result;
  ULONG returned = 0;
  ASSERT_EQ(dropped(result, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(result.PictureNumber, 12);
  EXPECT_EQ(result.DropCount, 3);
  EXPECT_EQ(result.AverageFrameSize, 230400u);
}

TEST_F(StreamControl, WithoutStoredFormatFramingIsRefusedAndDroppedFramesEmpty) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  StreamFreeFormats(&stream_extension());
  KSALLOCATOR_FRAMING framing_result;
  ULONG returned = 99;
  EXPECT_EQ(framing(framing_result, &returned), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log_->contains("pDataFormat NULL\n"));
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped_result;
  returned = 99;
  EXPECT_EQ(dropped(dropped_result, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
}

TEST_F(StreamControl, OtherConnectionPropertyGivesNoData) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
  std::vector<uint8_t> data(4);
  ULONG returned = 99;
  EXPECT_EQ(pin_->get_property(bytes_of(property), data, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
}

// Commands the stream does not serve: makes sure each is completed with
// STATUS_NOT_IMPLEMENTED and its line. Example failure: an unknown command left
// pending, which would hang the class driver.

TEST_F(StreamControl, UnservedCommandsAreNotImplemented) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  KSPROPERTY foreign{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_GET};
  std::vector<uint8_t> data(40);
  EXPECT_EQ(pin_->get_property(bytes_of(foreign), data), STATUS_NOT_IMPLEMENTED);

  log_->clear();
  KSPROPERTY framing_property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                              KSPROPERTY_TYPE_SET};
  EXPECT_EQ(pin_->set_property(bytes_of(framing_property), std::vector<uint8_t>(24)), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"SRB_SET_STREAM_PROPERTY\n"});

  log_->clear();
  std::vector<uint8_t> format;
  EXPECT_EQ(pin_->get_format(152, format), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"SRB_GET_DATA_FORMAT\n"});

  for (SRB_COMMAND command :
       {SRB_OPEN_MASTER_CLOCK, SRB_UNKNOWN_STREAM_COMMAND, SRB_SET_STREAM_RATE, SRB_CLOSE_MASTER_CLOCK,
        SRB_PROPOSE_STREAM_RATE, SRB_BEGIN_FLUSH, SRB_END_FLUSH, static_cast<SRB_COMMAND>(0x77)}) {
    log_->clear();
    EXPECT_EQ(call(command), STATUS_NOT_IMPLEMENTED) << "command " << command;
    EXPECT_EQ(log_lines(), std::vector<std::string>{"\n"}) << "command " << command;
  }
}

// Master clock: makes sure the stream keeps the handle it is given, frames can be
// stamped by it, and NULL removes it. Example failure: the handle not stored, so
// every frame would carry time 0.

TEST_F(StreamControl, MasterClockIsKeptAndRemoved) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  auto clock = std::make_shared<ManualMasterClock>(1234567);
  EXPECT_EQ(pin_->set_master_clock(clock), STATUS_SUCCESS);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"SRB_INDICATE_MASTER_CLOCK\n"});
  HANDLE handle = StreamGetMasterClock(&stream_extension());
  ASSERT_NE(handle, nullptr);
  HW_TIME_CONTEXT context{};
  context.Function = TIME_GET_STREAM_TIME;
  StreamClassQueryMasterClockSync(handle, &context);
  EXPECT_EQ(context.Time, 1234567u);
  EXPECT_EQ(pin_->set_master_clock(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(StreamGetMasterClock(&stream_extension()), nullptr);
}

// Serialisation: makes sure control requests that arrive while one is processed
// wait, and are then completed after it, in arrival order, on the thread that
// processed it. Example failure: a queued request processed on its own thread at
// once (two handlers running together) or stranded in the list.

TEST_F(StreamControl, RequestsArrivingDuringProcessingFollowInOrderOnTheSameThread) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  auto third = pin_->make_request(SRB_GET_STREAM_STATE);
  auto first = pin_->make_request(SRB_SET_STREAM_STATE);
  first->srb().CommandData.StreamState = KSSTATE_RUN;
  auto second = pin_->make_request(SRB_GET_STREAM_STATE);
  // While `third` is being completed (the stream still busy with it), the other
  // two arrive from its completion callback.
  NTSTATUS first_delivery = STATUS_SUCCESS;
  NTSTATUS second_delivery = STATUS_SUCCESS;
  bool done_when_delivered = true;
  third->on_complete([&](Request &) {
    first_delivery = pin_->deliver(first);
    second_delivery = pin_->deliver(second);
    done_when_delivered = first->finished() || second->finished();
  });
  ASSERT_EQ(pin_->deliver(third), STATUS_PENDING);
  EXPECT_EQ(first_delivery, STATUS_PENDING);
  EXPECT_EQ(second_delivery, STATUS_PENDING);
  EXPECT_FALSE(done_when_delivered);
  ASSERT_TRUE(first->finished());
  ASSERT_TRUE(second->finished());
  EXPECT_EQ(third->status(), STATUS_SUCCESS);
  EXPECT_EQ(third->srb().CommandData.StreamState, KSSTATE_STOP);
  // In arrival order: the state was set before it was read again.
  EXPECT_EQ(second->srb().CommandData.StreamState, KSSTATE_RUN);
  EXPECT_LT(third->trace().completed, first->trace().completed);
  EXPECT_LT(first->trace().completed, second->trace().completed);
  EXPECT_EQ(first->trace().completed_on, std::this_thread::get_id());
  EXPECT_EQ(second->trace().completed_on, std::this_thread::get_id());
  EXPECT_EQ(log_->count_exact("AddToListIfBusy Busy\n"), 2u);
  EXPECT_EQ(device_extension().ProcessingControlSRB[0], 0u);
  EXPECT_TRUE(IsListEmpty(&device_extension().StreamControlSRBList[0]));
}

} // namespace
