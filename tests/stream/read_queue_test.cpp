// The read-request queue through the host's frame buffers: which reads are queued
// and which are refused, FIFO order, single cancel and cancel-all, and the one
// completion path. The test takes queued reads itself where the transfer thread
// would, and hands them back empty and cancelled: no frame is made here.
#include <cstdio>
#include <cstring>

#include "platform/kernel/control.h"
#include "tests/stream/stream_harness.h"

using namespace streamclass;

namespace {

class ReadQueue : public StreamHost {
protected:
  // Submits an empty frame buffer of the large format's size; it must be delivered.
  std::unique_ptr<FrameBuffer> submit() {
    std::unique_ptr<FrameBuffer> buffer;
    EXPECT_EQ(pin_->submit(230400, buffer), STATUS_PENDING);
    return buffer;
  }

  // Takes the oldest queued read as the transfer thread would.
  PHW_STREAM_REQUEST_BLOCK remove() { return QueueRemoveSRB(&device_extension(), 0); }

  // Hands a read taken from the queue back, empty.
  static void give_back(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->CommandData.DataBufferArray->DataUsed = 0;
    srb->Status = STATUS_CANCELLED;
    CompleteStreamSRB(srb);
  }

  LONG count() const { return device_extension().StreamSRBListSize[0]; }

  static std::string with_address(const char *format, const void *pointer) {
    char text[128];
    std::snprintf(text, sizeof(text), format, static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
  }

  // A completed read's status and DataUsed.
  static void expect_cancelled(const FrameBuffer &buffer) {
    ASSERT_TRUE(buffer.completed());
    EXPECT_EQ(buffer.status(), STATUS_CANCELLED);
    EXPECT_EQ(buffer.frame().header().DataUsed, 0u);
  }
};

// Admission: makes sure a read on a stopped stream is refused at once and one in
// any other state waits, and that writes are not served. Example failure: a read
// queued on a stopped stream, which would wait for ever once the stream is closed.

TEST_F(ReadQueue, ReadOnStoppedStreamIsCancelledAtOnce) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  auto buffer = submit();
  ASSERT_TRUE(buffer);
  expect_cancelled(*buffer);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"BadState DataReqest\n"});
}

TEST_F(ReadQueue, ReadsWaitInAcquirePauseAndRun) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  std::vector<std::unique_ptr<FrameBuffer>> buffers;
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(pin_->set_state(state), STATUS_SUCCESS);
    buffers.push_back(submit());
    EXPECT_FALSE(buffers.back()->completed()) << "state " << state;
  }
  EXPECT_EQ(count(), 3);
  // Stopping does not empty the queue.
  ASSERT_EQ(pin_->set_state(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(count(), 3);
  for (auto &buffer : buffers)
    EXPECT_FALSE(buffer->completed());
  // Close cancels them.
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  for (auto &buffer : buffers)
    expect_cancelled(*buffer);
}

TEST_F(ReadQueue, WriteIsNotImplemented) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  auto request = pin_->make_request(SRB_WRITE_DATA);
  auto *header = request->add_record<KSSTREAM_HEADER>();
  request->srb().CommandData.DataBufferArray = header;
  header->DataUsed = 77;
  EXPECT_EQ(pin_->deliver(request), STATUS_PENDING);
  ASSERT_TRUE(request->finished());
  EXPECT_EQ(request->status(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(header->DataUsed, 77u);
  EXPECT_EQ(count(), 0);
}

// Order and cancellation: makes sure reads come out oldest first with the count
// following, that a single cancel completes exactly the request asked for, and
// that cancel-all completes every queued read oldest first. Example failure: a
// cancel that completes the head instead of the request named, or a count left
// at 1 after the queue is empty.

TEST_F(ReadQueue, ReadsComeOutOldestFirst) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  auto r1 = submit();
  auto r2 = submit();
  auto r3 = submit();
  EXPECT_EQ(count(), 3);
  for (FrameBuffer *expected : {r1.get(), r2.get(), r3.get()}) {
    PHW_STREAM_REQUEST_BLOCK srb = remove();
    ASSERT_EQ(srb, &expected->request().srb());
    EXPECT_FALSE(expected->completed());
    give_back(srb);
  }
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(remove(), nullptr);
  EXPECT_TRUE(IsListEmpty(&device_extension().StreamSRBList[0]));
}

TEST_F(ReadQueue, CancellingTheMiddleReadCompletesOnlyIt) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  auto r1 = submit();
  auto r2 = submit();
  auto r3 = submit();
  log_->clear();
  r2->cancel();
  expect_cancelled(*r2);
  EXPECT_FALSE(r1->completed());
  EXPECT_FALSE(r3->completed());
  EXPECT_EQ(count(), 2);
  EXPECT_EQ(log_lines(),
            std::vector<std::string>{with_address("Cancelled SRB %08X\n", &r2->request().srb())});

  // Not queued any more: nothing happens.
  log_->clear();
  EXPECT_FALSE(QueueCancelOneSRB(&stream_extension(), &r2->request().srb()));
  EXPECT_TRUE(log_lines().empty());

  PHW_STREAM_REQUEST_BLOCK srb = remove();
  EXPECT_EQ(srb, &r1->request().srb());
  // A read the transfer thread holds is not in the queue either.
  EXPECT_FALSE(QueueCancelOneSRB(&stream_extension(), srb));
  EXPECT_FALSE(r1->completed());
  give_back(srb);
  EXPECT_TRUE(QueueCancelOneSRB(&stream_extension(), &r3->request().srb()));
  expect_cancelled(*r3);
  EXPECT_EQ(count(), 0);
}

TEST_F(ReadQueue, CancelAllCompletesEveryReadOldestFirst) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  auto r1 = submit();
  auto r2 = submit();
  auto r3 = submit();
  log_->clear();
  QueueCancelAllSRBs(&stream_extension());
  for (FrameBuffer *buffer : {r1.get(), r2.get(), r3.get()})
    expect_cancelled(*buffer);
  EXPECT_LT(r1->request().trace().completed, r2->request().trace().completed);
  EXPECT_LT(r2->request().trace().completed, r3->request().trace().completed);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{
                             "QueueCancelAllSRBs Called\n",
                             with_address("QueueCancelAllSRBs %08X\n", &r1->request().srb()),
                             with_address("QueueCancelAllSRBs %08X\n", &r2->request().srb()),
                             with_address("QueueCancelAllSRBs %08X\n", &r3->request().srb()),
                         }));
  // An empty queue: only the first line.
  log_->clear();
  QueueCancelAllSRBs(&stream_extension());
  EXPECT_EQ(log_lines(), std::vector<std::string>{"QueueCancelAllSRBs Called\n"});
}

TEST_F(ReadQueue, QueueLinksThroughTheRequestsIrpAndAllocatesNothing) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  uint64_t allocations = platform::pool_tag_counts(PoolTag("Wdm ")).allocations;
  auto r1 = submit();
  auto r2 = submit();
  PIRP irp1 = r1->request().srb().Irp;
  PIRP irp2 = r2->request().srb().Irp;
  ASSERT_NE(irp1, nullptr);
  ASSERT_NE(irp2, nullptr);
  EXPECT_EQ(irp1->Tail.Overlay.DriverContext[0], &r1->request().srb());
  EXPECT_EQ(device_extension().StreamSRBList[0].Flink, &irp1->Tail.Overlay.ListEntry);
  EXPECT_EQ(irp1->Tail.Overlay.ListEntry.Flink, &irp2->Tail.Overlay.ListEntry);
  EXPECT_EQ(device_extension().StreamSRBList[0].Blink, &irp2->Tail.Overlay.ListEntry);
  give_back(remove());
  EXPECT_TRUE(QueueCancelOneSRB(&stream_extension(), &r2->request().srb()));
  EXPECT_EQ(platform::pool_tag_counts(PoolTag("Wdm ")).allocations, allocations);
}

// The completion path: makes sure a NULL request is logged and nothing else.
TEST_F(ReadQueue, CompletingNothingOnlyLogs) {
  CompleteStreamSRB(nullptr);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"Error CompleteStreamSRB pSrb=0x00000000\n"});
}

} // namespace
