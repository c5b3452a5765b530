// The read-request queue through the rig's pin: the reads waiting, their cancellation and the order frames
// fill them. Reads at close: reliability/silent_camera_test.cpp and capture/capture_stress_test.cpp.
#include "tests/stream/stream_test.h"

using namespace std::chrono_literals;
using streamclass::FrameBuffer;

namespace {

class ReadQueue : public StreamTest {};

// Makes sure reads wait in ACQUIRE, PAUSE and RUN and stay queued when the stream stops; that a cancel
// completes exactly the read asked for, once, cancelled and empty; that a dropped buffer is
// cancelled and a second cancel does nothing; and that pictures fill the reads left oldest first. Catches a
// queue emptied by a state change, a cancelled read completed twice or as a success, a cancel taking the head
// of the queue, or frames handed out newest first.
TEST_F(ReadQueue, CancelCompletesOnlyTheReadAskedFor) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  std::unique_ptr<FrameBuffer> first, middle, last, dropped;
  for (auto [state, read] : {std::pair{KSSTATE_ACQUIRE, &first},
                             {KSSTATE_PAUSE, &middle},
                             {KSSTATE_RUN, &last},
                             {KSSTATE_RUN, &dropped}}) {
    ASSERT_EQ(rig_.pin().set_state(state), STATUS_SUCCESS);
    ASSERT_EQ(rig_.pin().submit(rig_.image_bytes(), *read), STATUS_PENDING);
  }
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(queued(), 4);
  middle->cancel();
  ASSERT_TRUE(middle->completed());
  EXPECT_EQ(middle->status(), STATUS_CANCELLED);
  EXPECT_EQ(middle->request().completions(), 1);
  EXPECT_EQ(middle->frame().header().DataUsed, 0u);
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
