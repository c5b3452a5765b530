// The read-request queue through the rig's pin: the reads waiting, the order frames fill them, and their
// cancellation one by one and all together at close. Reads on a stopped pin: capture/frame_stream_test.cpp.
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

// Makes sure reads wait in ACQUIRE, PAUSE and RUN, stay queued when the stream stops, and come back cancelled
// at close, oldest first, each with its line. Catches reads stranded at close, or a queue emptied by a state
// change.
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

// Makes sure a cancel completes exactly the read asked for, once, cancelled and empty, with its lines; that a
// dropped buffer is cancelled and a second cancel does nothing; and that pictures fill the reads left oldest
// first. Catches a cancelled read completed twice or as a success, a cancel taking the head of the queue, or
// frames handed out newest first.
TEST_F(ReadQueue, CancelCompletesOnlyTheReadAskedFor) {
  ASSERT_NO_FATAL_FAILURE(open_pin(320, 240, true));
  auto first = submit(), middle = submit(), last = submit(), dropped = submit();
  middle->cancel();
  ASSERT_NO_FATAL_FAILURE(expect_cancelled(*middle));
  EXPECT_EQ(log(),
            (Lines{line("AdapterCancelPacket pSrb=0x%08X \n", *middle), line("Cancelled SRB %08X\n", *middle),
                   line("AdapterCancelPacket Done! pSrb=0x%08X \n", *middle)}));
  clear_log();
  middle->cancel();
  EXPECT_TRUE(log().empty());
  dropped.reset();
  EXPECT_EQ(queued(), 2);
  for (FrameBuffer *oldest : {first.get(), last.get()}) {
    EXPECT_FALSE(oldest->completed());
    next_picture();
    ASSERT_TRUE(oldest->wait(10s));
    EXPECT_EQ(oldest->status(), STATUS_SUCCESS);
    EXPECT_EQ(oldest->frame().data().size(), rig_.image_bytes());
  }
  EXPECT_EQ(queued(), 0);
}

} // namespace
