// The host's streaming helpers as a capture application uses them on the camera
// driver: choosing a format by picture size, and a frame stream's edge cases.
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "platform/streamclass/frame_stream.h"
#include "tests/capture/capture_fixture.h"

using namespace std::chrono_literals;

class FrameStreamTest : public CaptureTest {
protected:
  void SetUp() override {
    CaptureTest::SetUp();
    start(fast_camera());
  }
};

// The format of a picture size comes from the matching range, top-down when the
// height is negative; a size the pin does not offer has no format.
TEST_F(FrameStreamTest, VideoFormatPicksTheRangeOfThePictureSize) {
  std::vector<uint8_t> format;
  ASSERT_EQ(streamclass::video_format(rig_->adapter(), 0, 160, -120, format), STATUS_SUCCESS);
  const auto *video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
  EXPECT_EQ(video->VideoInfoHeader.bmiHeader.biWidth, 160);
  EXPECT_EQ(video->VideoInfoHeader.bmiHeader.biHeight, -120);
  EXPECT_EQ(streamclass::video_image_size(format), 160u * 120 * 3);

  EXPECT_EQ(streamclass::video_format(rig_->adapter(), 0, 640, 480, format), STATUS_NO_MATCH);
  EXPECT_TRUE(format.empty());
  EXPECT_EQ(streamclass::video_image_size(format), 0u);
}

// A pin that does not report its format needs the buffer size given: without it
// nothing is submitted.
TEST_F(FrameStreamTest, StreamWithoutBufferSizeSubmitsNothing) {
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
  streamclass::FrameStream stream(*pin_, {});
  EXPECT_EQ(stream.buffer_bytes(), 0u);
  EXPECT_EQ(stream.start(), STATUS_INVALID_PARAMETER);
  close();
  EXPECT_EQ(stream.completions(), 0u);
}

// In KSSTATE_STOP the driver cancels each read at once: the stream counts the
// completions and does not resubmit (no loop).
TEST_F(FrameStreamTest, StoppedPinCancelsEveryBufferOnce) {
  ASSERT_NO_FATAL_FAILURE(open());
  streamclass::FrameStream::Options options;
  options.buffers = 3;
  options.buffer_bytes = 230400;
  streamclass::FrameStream stream(*pin_, options);
  EXPECT_EQ(stream.start(), STATUS_SUCCESS);
  EXPECT_TRUE(stream.wait_completions(3, 10s));
  EXPECT_EQ(stream.frames(), 0u);
  EXPECT_EQ(log_count("BadState DataReqest\n"), 3u);
  close();
  EXPECT_EQ(stream.completions(), 3u);
}

// Steady streaming reuses the buffers of completed reads: catches a stream that
// allocates a new frame buffer per frame, a reused buffer handed out while the
// application still holds a Frame of it (its bytes overwritten), and a reused
// read that is not whole again (status, frame number, DataUsed).
TEST_F(FrameStreamTest, BuffersOfCompletedReadsAreReusedUnlessAFrameIsHeld) {
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
  std::mutex mutex;
  std::set<const uint8_t *> buffers;
  std::vector<ULONG> numbers;
  std::vector<streamclass::Frame> kept;
  streamclass::FrameStream::Options options;
  options.buffers = 3;
  options.buffer_bytes = 230400;
  streamclass::FrameStream stream(*pin_, options, [&](const streamclass::Frame &frame) {
    if (frame.status() != STATUS_SUCCESS)
      return;
    std::lock_guard lock(mutex);
    EXPECT_EQ(frame.data().size(), 230400u);
    buffers.insert(frame.data().data());
    const auto *ext = static_cast<const SRB_EXTENSION *>(frame.request().srb().SRBExtension);
    numbers.push_back(ext->FrameNumber);
    if (numbers.size() == 10)
      kept.push_back(frame); // held: its buffer must not be reused
  });
  ASSERT_EQ(stream.start(), STATUS_SUCCESS);
  ASSERT_TRUE(stream.wait_frames(60, 20s));
  stream.stop();
  close();
  std::lock_guard lock(mutex);
  // The buffers queued, the one whose callback runs, and the one the kept frame took away.
  EXPECT_LE(buffers.size(), options.buffers + 2u);
  for (size_t i = 0; i < numbers.size(); ++i)
    EXPECT_EQ(numbers[i], i + 1);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].status(), STATUS_SUCCESS);
  EXPECT_EQ(kept[0].data().size(), 230400u);
  const auto *ext = static_cast<const SRB_EXTENSION *>(kept[0].request().srb().SRBExtension);
  EXPECT_EQ(ext->FrameNumber, 10u);
}
