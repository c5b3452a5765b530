// The capture pin through the stream class host: open and close, stream state,
// format, stream properties, master clock, and frame buffers.
#include <cstring>

#include "platform/streamclass/ks_guids.h"
#include "tests/streamclass/test_driver_fixture.h"

using namespace streamclass;
using testdriver::Action;

namespace {

class HostPin : public TestDriverHost {};

// Open and close: makes sure the driver gets a fresh stream object and a zero-filled
// extension, the published instance count holds, and close takes the stream's
// requests back. Example failure: a second pin on a one-instance stream, or reads
// stranded at close.

TEST_F(HostPin, OpenGivesTheDriverAStreamObjectAndAZeroFilledExtension) {
  open_pin();
  HW_STREAM_OBJECT &object = pin_->stream_object();
  EXPECT_EQ(object.SizeOfThisPacket, sizeof(HW_STREAM_OBJECT));
  EXPECT_EQ(object.StreamNumber, 0u);
  EXPECT_EQ(object.HwStreamExtension, pin_->stream_extension());
  EXPECT_EQ(object.HwDeviceExtension, adapter_->device_extension());
  EXPECT_NE(object.ReceiveDataPacket, nullptr);
  const auto *bytes = static_cast<const uint8_t *>(pin_->stream_extension());
  for (ULONG i = 0; i < driver().registration().PerStreamExtensionSize; i++)
    ASSERT_EQ(bytes[i], 0);
  EXPECT_TRUE(pin_->is_open());
}

TEST_F(HostPin, OneInstanceStreamRefusesASecondPinUntilTheFirstCloses) {
  open_pin();
  auto format = adapter_->data_ranges(0)[0];
  std::unique_ptr<Pin> second;
  EXPECT_EQ(adapter_->open_pin(0, format, second), STATUS_DEVICE_BUSY);
  EXPECT_EQ(adapter_->open_pin(1, format, second), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->open_pin(0, format, second), STATUS_SUCCESS);
}

TEST_F(HostPin, UncheckedOpenReachesTheDriverForAnyStream) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  EXPECT_EQ(adapter_->open_pin(1, format, pin_, false), STATUS_SUCCESS);
  EXPECT_EQ(pin_->stream_number(), 1u);
}

TEST_F(HostPin, FailedOpenLeavesNoPin) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  testdriver::set_action(SRB_OPEN_STREAM, Action::Complete, STATUS_INVALID_PARAMETER);
  auto format = adapter_->data_ranges(0)[0];
  EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pin_, nullptr);
  testdriver::set_action(SRB_OPEN_STREAM, Action::Complete);
  EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_SUCCESS);
}

TEST_F(HostPin, CloseCompletesTheQueuedReadsAsCancelled) {
  open_pin();
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  std::unique_ptr<FrameBuffer> a, b;
  ASSERT_EQ(pin_->submit(1000, a), STATUS_PENDING);
  ASSERT_EQ(pin_->submit(1000, b), STATUS_PENDING);
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  EXPECT_TRUE(a->completed());
  EXPECT_EQ(a->status(), STATUS_CANCELLED);
  EXPECT_EQ(b->status(), STATUS_CANCELLED);
  EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(HostPin, ReadLeftOutstandingAfterCloseIsCounted) {
  quiet_misuse();
  open_pin();
  testdriver::set_action(SRB_READ_DATA, Action::Never);
  std::unique_ptr<FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(100, buffer), STATUS_PENDING);
  pin_->close();
  EXPECT_EQ(buffer->status(), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(take_host_accounting().never_completed, 1u);
}

// Control requests: makes sure state, format and stream properties reach the
// stream's control entry with their data. Example failure: a state request sent to
// the adapter entry, or a Get whose answer is not copied back.

TEST_F(HostPin, StateIsSetAndReadBack) {
  open_pin();
  EXPECT_EQ(pin_->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(testdriver::stream_state(), KSSTATE_PAUSE);
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(pin_->get_state(state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_PAUSE);
  for (const testdriver::Received &r : testdriver::received())
    if (r.command == SRB_SET_STREAM_STATE) {
      EXPECT_EQ(r.flags, static_cast<ULONG>(SRB_HW_FLAGS_STREAM_REQUEST));
    }
}

TEST_F(HostPin, FormatRequestsCarryTheFormat) {
  open_pin();
  auto format = adapter_->data_ranges(0)[0];
  EXPECT_EQ(pin_->propose_format(format), STATUS_SUCCESS);
  EXPECT_EQ(pin_->set_format(format), STATUS_SUCCESS);
  std::vector<uint8_t> current;
  EXPECT_EQ(pin_->get_format(200, current), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(pin_->set_format(std::span<const uint8_t>(format).first(40)), STATUS_INVALID_PARAMETER);
}

TEST_F(HostPin, StreamPropertyGetReturnsTheDriversData) {
  open_pin();
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  dropped.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
  dropped.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
  ULONG returned = 0;
  EXPECT_EQ(pin_->get_property(dropped, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(dropped.AverageFrameSize, 1000u);
}

// Master clock: makes sure the handle given with SRB_INDICATE_MASTER_CLOCK reads the
// application's clock, stays valid while the pin is open, and is gone after close.
// Example failure: a time read from a clock the application has replaced and freed.

TEST_F(HostPin, MasterClockIsReadThroughItsHandle) {
  open_pin();
  auto clock = std::make_shared<ManualMasterClock>(2000000);
  EXPECT_EQ(pin_->set_master_clock(clock), STATUS_SUCCESS);
  ASSERT_NE(testdriver::master_clock(), nullptr);
  EXPECT_EQ(testdriver::read_master_clock(), 2000000u);
  clock->advance(666666);
  EXPECT_EQ(testdriver::read_master_clock(), 2666666u);
  HANDLE first = testdriver::master_clock();

  EXPECT_EQ(pin_->use_default_clock(), STATUS_SUCCESS);
  EXPECT_NE(testdriver::master_clock(), first);
  ULONGLONG t1 = testdriver::read_master_clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(testdriver::read_master_clock(), t1);

  EXPECT_EQ(pin_->set_master_clock(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(testdriver::master_clock(), nullptr);
}

TEST_F(HostPin, ClockHandleIsUnknownAfterClose) {
  quiet_misuse();
  open_pin();
  ASSERT_EQ(pin_->set_master_clock(std::make_shared<ManualMasterClock>(5)), STATUS_SUCCESS);
  HANDLE handle = testdriver::master_clock();
  pin_->close();
  HW_TIME_CONTEXT context{};
  context.Function = TIME_GET_STREAM_TIME;
  context.Time = 99;
  StreamClassQueryMasterClockSync(handle, &context);
  EXPECT_EQ(context.Time, 0u);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), 1u);
}

// Frame buffers: makes sure each read carries one stream header with the declared
// media-specific header behind it, and comes back with its data through the buffer
// and the callback. Example failure: a frame information read from past the header,
// or data longer than the buffer reported.

TEST_F(HostPin, ReadCarriesAStreamHeaderAndFrameInformation) {
  open_pin();
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  std::unique_ptr<FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(4096, buffer), STATUS_PENDING);
  const HW_STREAM_REQUEST_BLOCK &srb = buffer->request().srb();
  EXPECT_EQ(srb.Command, SRB_READ_DATA);
  EXPECT_EQ(srb.NumberOfBuffers, 1u);
  EXPECT_EQ(srb.Flags, static_cast<ULONG>(SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER));
  EXPECT_EQ(srb.CommandData.DataBufferArray->Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
  EXPECT_EQ(srb.CommandData.DataBufferArray->FrameExtent, 4096u);
  EXPECT_NE(srb.Irp, nullptr);

  auto clock = std::make_shared<ManualMasterClock>(1234);
  ASSERT_EQ(pin_->set_master_clock(clock), STATUS_SUCCESS);
  ASSERT_TRUE(testdriver::fill_oldest_read(0xAB, 100));
  ASSERT_TRUE(buffer->wait(std::chrono::seconds(10)));
  Frame frame = buffer->frame();
  EXPECT_EQ(frame.status(), STATUS_SUCCESS);
  ASSERT_EQ(frame.data().size(), 100u);
  EXPECT_EQ(frame.data()[99], 0xAB);
  EXPECT_EQ(frame.header().PresentationTime.Time, 1234);
  ASSERT_NE(frame.frame_info(), nullptr);
  EXPECT_EQ(frame.frame_info()->PictureNumber, 1);
  EXPECT_EQ(frame.frame_info()->ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
}

TEST_F(HostPin, CompletedFramesReachTheCallbackInOrder) {
  open_pin();
  std::mutex mutex;
  std::vector<LONGLONG> pictures;
  std::vector<std::unique_ptr<FrameBuffer>> buffers(3);
  for (auto &buffer : buffers)
    ASSERT_EQ(pin_->submit(10, buffer,
                           [&](const Frame &frame) {
                             std::lock_guard lock(mutex);
                             pictures.push_back(frame.frame_info()->PictureNumber);
                           }),
              STATUS_PENDING);
  std::thread filler([] {
    while (testdriver::fill_oldest_read(1, 10)) {
    }
  });
  filler.join();
  for (auto &buffer : buffers)
    ASSERT_TRUE(buffer->wait(std::chrono::seconds(10)));
  EXPECT_EQ(pictures, (std::vector<LONGLONG>{1, 2, 3}));
}

// A completion callback that closes its pin or removes its adapter would wait for the
// completing thread (or leave it holding the adapter's last reference): refused, reported, and
// the pin and the adapter still work afterwards.
TEST_F(HostPin, CloseAndRemovalFromACompletionCallbackAreRefused) {
  open_pin();
  NTSTATUS close_status = STATUS_PENDING;
  NTSTATUS remove_status = STATUS_PENDING;
  std::unique_ptr<FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(10, buffer,
                         [&](const Frame &) {
                           close_status = pin_->close();
                           remove_status = adapter_->remove();
                         }),
            STATUS_PENDING);
  std::thread filler([] { testdriver::fill_oldest_read(1, 10); });
  filler.join();
  ASSERT_TRUE(buffer->wait(std::chrono::seconds(10)));
  EXPECT_EQ(close_status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(remove_status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Request), 2u);
  EXPECT_TRUE(pin_->is_open());
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
}

TEST_F(HostPin, CancelledBufferComesBackCancelled) {
  open_pin();
  std::unique_ptr<FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(10, buffer), STATUS_PENDING);
  buffer->cancel();
  ASSERT_TRUE(buffer->wait(std::chrono::seconds(10)));
  EXPECT_EQ(buffer->status(), STATUS_CANCELLED);
  EXPECT_TRUE(buffer->frame().data().empty());
  EXPECT_EQ(testdriver::queued_reads(), 0u);
}

TEST_F(HostPin, DroppingAnOutstandingBufferCancelsIt) {
  open_pin();
  std::unique_ptr<FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(10, buffer), STATUS_PENDING);
  buffer.reset();
  EXPECT_EQ(testdriver::cancels(), 1u);
  EXPECT_EQ(testdriver::queued_reads(), 0u);
}

TEST_F(HostPin, DataLongerThanTheBufferIsNeverReported) {
  open_pin();
  std::unique_ptr<FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(16, buffer), STATUS_PENDING);
  // The test driver clamps its own write, then claims more than it wrote.
  testdriver::set_action(SRB_READ_DATA, Action::Complete);
  ASSERT_TRUE(testdriver::fill_oldest_read(7, 16));
  ASSERT_TRUE(buffer->wait(std::chrono::seconds(10)));
  const_cast<KSSTREAM_HEADER &>(buffer->frame().header()).DataUsed = 1000;
  EXPECT_EQ(buffer->frame().data().size(), 16u);
}

} // namespace
