// The read-request queue through the rig's pin: which reads wait and which are
// refused, the order frames fill them, and their cancellation one by one and
// all together at close.
#include <cstdio>

#include "tests/stream/stream_test.h"

using namespace std::chrono_literals;
using streamclass::FrameBuffer;
using Lines = std::vector<std::string>;

namespace {

class ReadQueue : public StreamTest {
protected:
  std::unique_ptr<FrameBuffer> submit() {
    std::unique_ptr<FrameBuffer> buffer;
    EXPECT_EQ(rig_.pin().submit(rig_.image_bytes(), buffer), STATUS_PENDING);
    return buffer;
  }

  static std::string line(const char *format, const FrameBuffer &buffer) {
    char text[128];
    std::snprintf(text, sizeof(text), format,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(&buffer.request().srb())));
    return text;
  }

  // A read that came back cancelled, once, with no data.
  static void expect_cancelled(const FrameBuffer &buffer) {
    ASSERT_TRUE(buffer.completed());
    EXPECT_EQ(buffer.status(), STATUS_CANCELLED);
    EXPECT_EQ(buffer.request().completions(), 1);
    EXPECT_EQ(buffer.frame().header().DataUsed, 0u);
  }
};

// Makes sure a read on a stopped stream comes back cancelled at once, and that a
// write is not served. Catches a read queued on a stopped stream, which would
// wait for ever once the stream is closed.
TEST_F(ReadQueue, StoppedStreamRefusesReadsAndNoStreamTakesWrites) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  auto buffer = submit();
  ASSERT_NO_FATAL_FAILURE(expect_cancelled(*buffer));
  EXPECT_EQ(log(), Lines{"BadState DataReqest\n"});

  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  auto write = rig_.pin().make_request(SRB_WRITE_DATA);
  auto *header = write->add_record<KSSTREAM_HEADER>();
  write->srb().CommandData.DataBufferArray = header;
  header->DataUsed = 77;
  EXPECT_EQ(rig_.pin().deliver(write), STATUS_PENDING);
  ASSERT_TRUE(write->finished());
  EXPECT_EQ(write->status(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(header->DataUsed, 77u);
  EXPECT_EQ(queued(), 0);
}

// Makes sure reads wait in ACQUIRE, PAUSE and RUN, stay queued when the stream
// stops, and come back cancelled at close, oldest first, each with its line.
// Catches reads stranded at close, or a queue emptied by a state change.
TEST_F(ReadQueue, CloseCancelsTheWaitingReadsOldestFirst) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  std::vector<std::unique_ptr<FrameBuffer>> reads;
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(rig_.pin().set_state(state), STATUS_SUCCESS);
    reads.push_back(submit());
  }
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(queued(), 3);
  for (auto &read : reads)
    EXPECT_FALSE(read->completed());
  clear_log();
  EXPECT_EQ(close_pin(), STATUS_SUCCESS);
  Lines expected{"QueueCancelAllSRBs Called\n"};
  for (auto &read : reads) {
    ASSERT_NO_FATAL_FAILURE(expect_cancelled(*read));
    expected.push_back(line("QueueCancelAllSRBs %08X\n", *read));
  }
  EXPECT_LT(reads[0]->request().trace().completed, reads[1]->request().trace().completed);
  EXPECT_LT(reads[1]->request().trace().completed, reads[2]->request().trace().completed);
  Lines cancel_lines;
  for (const std::string &logged : log())
    if (logged.rfind("QueueCancelAllSRBs", 0) == 0)
      cancel_lines.push_back(logged);
  EXPECT_EQ(cancel_lines, expected);
}

// Makes sure each picture fills the oldest waiting read. Catches a queue that
// hands out its newest read first, so that frames reach the application out of
// order.
TEST_F(ReadQueue, PicturesFillTheOldestReadFirst) {
  ASSERT_NO_FATAL_FAILURE(open_pin(320, 240, true));
  std::vector<std::unique_ptr<FrameBuffer>> reads;
  for (int i = 0; i < 3; i++)
    reads.push_back(submit());
  for (size_t filled = 0; filled < reads.size(); filled++) {
    SCOPED_TRACE(filled);
    next_picture();
    ASSERT_TRUE(reads[filled]->wait(10s));
    EXPECT_EQ(reads[filled]->status(), STATUS_SUCCESS);
    EXPECT_EQ(reads[filled]->frame().data().size(), rig_.image_bytes());
    for (size_t later = filled + 1; later < reads.size(); later++)
      EXPECT_FALSE(reads[later]->completed());
    EXPECT_EQ(queued(), static_cast<LONG>(reads.size() - filled - 1));
  }
}

// Makes sure a cancel completes exactly the read asked for, once, as cancelled
// and empty, with its line; that dropping a waiting buffer cancels it; that a
// second cancel does nothing; and that the next picture fills the oldest read
// left. Catches a cancelled read completed twice or as a success, or a cancel
// that takes the head of the queue instead of the read named.
TEST_F(ReadQueue, CancelCompletesOnlyTheReadAskedFor) {
  ASSERT_NO_FATAL_FAILURE(open_pin(320, 240, true));
  auto first = submit();
  auto middle = submit();
  auto last = submit();
  middle->cancel();
  ASSERT_NO_FATAL_FAILURE(expect_cancelled(*middle));
  EXPECT_EQ(log(),
            (Lines{line("AdapterCancelPacket pSrb=0x%08X \n", *middle), line("Cancelled SRB %08X\n", *middle),
                   line("AdapterCancelPacket Done! pSrb=0x%08X \n", *middle)}));
  EXPECT_FALSE(first->completed() || last->completed());
  EXPECT_EQ(queued(), 2);

  clear_log();
  middle->cancel();
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(middle->request().completions(), 1);
  last.reset();
  EXPECT_EQ(queued(), 1);

  next_picture();
  ASSERT_TRUE(first->wait(10s));
  EXPECT_EQ(first->status(), STATUS_SUCCESS);
  EXPECT_EQ(queued(), 0);
}

} // namespace
