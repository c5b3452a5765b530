// Frames end to end: the camera's pictures through the bus, the driver and the
// stream class host to the application, decoded, numbered and time-stamped.
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "platform/kernel/control.h"
#include "platform/kernel/pool.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/capture/capture_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr LONGLONG kInterval = 666666;

// The stream's frame sizes: width and bitmap height (negative: top-down).
struct FrameShape {
  LONG width;
  LONG height;
};

std::string shape_name(const ::testing::TestParamInfo<FrameShape> &info) {
  return std::to_string(info.param.width) + "x" +
         std::to_string(info.param.height < 0 ? -info.param.height : info.param.height) +
         (info.param.height < 0 ? "TopDown" : "BottomUp");
}

} // namespace

// Every frame is, byte for byte, one of the camera's pictures decoded straight by
// libjpeg in the format's row order and scale; catches wrong rows, colour order,
// scale, pitch or a frame built from a stale or partial picture.
class CaptureFramesTest : public CaptureTest, public ::testing::WithParamInterface<FrameShape> {};

TEST_P(CaptureFramesTest, FramesAreTheCamerasPicturesDecodedByLibjpeg) {
  const FrameShape shape = GetParam();
  const std::vector<std::vector<uint8_t>> pictures = {captest::scene_jpeg(1), captest::scene_jpeg(40),
                                                      captest::scene_jpeg(80)};
  std::vector<std::vector<uint8_t>> expected;
  for (const auto &picture : pictures)
    expected.push_back(captest::reference_frame(picture, shape.width == 160, shape.height < 0));
  const size_t image_size =
      static_cast<size_t>(shape.width) * 3 * static_cast<size_t>(std::abs(shape.height));
  ASSERT_EQ(expected[0].size(), image_size);

  start(file_camera(pictures));
  ASSERT_NO_FATAL_FAILURE(stream(3, shape.width, shape.height));
  ASSERT_TRUE(stream_->wait_frames(9, 20s));
  close();

  std::set<size_t> seen;
  for (const captest::FrameRecord &frame : stream_->records()) {
    if (frame.status != STATUS_SUCCESS)
      continue;
    ASSERT_EQ(frame.header.DataUsed, image_size);
    size_t match = expected.size();
    for (size_t i = 0; i < expected.size(); ++i)
      if (frame.data == expected[i])
        match = i;
    ASSERT_LT(match, expected.size()) << "frame " << frame.frame_number << " is none of the pictures";
    seen.insert(match);
  }
  EXPECT_EQ(seen.size(), pictures.size()) << "every picture of the loop reaches the application";
}

INSTANTIATE_TEST_SUITE_P(Shapes, CaptureFramesTest,
                         ::testing::Values(FrameShape{320, 240}, FrameShape{320, -240}, FrameShape{160, 120},
                                           FrameShape{160, -120}),
                         shape_name);

// Numbers and times without a master clock: frame n is number n at (n-1) frame
// intervals, with nothing dropped; catches a wrong stamp, flag or frame info.
TEST_F(CaptureTest, FramesWithoutMasterClockCountFrameIntervalsFromZero) {
  start(fast_camera());
  ASSERT_NO_FATAL_FAILURE(stream(4, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(12, 20s));
  close();

  const std::vector<captest::FrameRecord> records = stream_->records();
  LONGLONG n = 0;
  for (const captest::FrameRecord &frame : records) {
    if (frame.status != STATUS_SUCCESS)
      continue;
    ++n;
    SCOPED_TRACE("frame " + std::to_string(n));
    EXPECT_EQ(frame.frame_number, static_cast<ULONG>(n));
    EXPECT_EQ(frame.header.PresentationTime.Time, (n - 1) * kInterval);
    EXPECT_EQ(frame.header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(frame.header.PresentationTime.Denominator, 1u);
    EXPECT_EQ(frame.header.Duration, kInterval);
    EXPECT_EQ(frame.header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                                                            KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
    EXPECT_EQ(frame.header.DataUsed, 230400u);
    ASSERT_TRUE(frame.has_info);
    KS_FRAME_INFO expected{};
    expected.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    expected.PictureNumber = n;
    expected.DropCount = 0;
    EXPECT_EQ(std::memcmp(&frame.info, &expected, sizeof(expected)), 0)
        << "PictureNumber " << frame.info.PictureNumber << " DropCount " << frame.info.DropCount;
  }
  EXPECT_GE(n, 12);
  EXPECT_EQ(log_count("Frame Number is 1\n"), 1u);
  EXPECT_EQ(log_count("Frame Number is 12\n"), 1u);
}

// With a master clock: a request is submitted only after the clock is set, so
// each frame reads a known time. Catches wrong time rules (a clock that stands
// still or goes back), drop counts or picture numbers.
class MasterClockTest : public CaptureTest {
protected:
  struct Stamp {
    LONGLONG time;
    LONGLONG drop_count;
    LONGLONG picture_number;
  };

  // One frame read with the clock at `clock_time`.
  Stamp frame_at(LONGLONG clock_time) {
    clock_->set(clock_time);
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    EXPECT_EQ(pin_->submit(230400, buffer), STATUS_PENDING);
    if (!buffer || !buffer->wait(10s))
      return {-1, -1, -1};
    streamclass::Frame frame = buffer->frame();
    EXPECT_EQ(frame.status(), STATUS_SUCCESS);
    EXPECT_EQ(frame.header().DataUsed, 230400u);
    const KS_FRAME_INFO *info = frame.frame_info();
    if (info == nullptr)
      return {-1, -1, -1};
    return {frame.header().PresentationTime.Time, info->DropCount, info->PictureNumber};
  }

  void open_with_clock(std::vector<uint8_t> format = {}) {
    start(fast_camera());
    if (format.empty())
      format = rig_->format(320, 240);
    ASSERT_EQ(rig_->adapter().open_pin(0, format, pin_), STATUS_SUCCESS);
    ASSERT_EQ(pin_->set_master_clock(clock_), STATUS_SUCCESS);
    set_state(KSSTATE_RUN);
  }

  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped() {
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S result{};
    result.Property = KSPROPERTY{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
    EXPECT_EQ(pin_->get_property(result), STATUS_SUCCESS);
    return result;
  }

  std::shared_ptr<streamclass::ManualMasterClock> clock_ = std::make_shared<streamclass::ManualMasterClock>();
};

TEST_F(MasterClockTest, TimesFollowTheClockAndNeverGoBack) {
  ASSERT_NO_FATAL_FAILURE(open_with_clock());
  // Clock 2,000,000 = three intervals: two frames were due before frame 1.
  Stamp s = frame_at(2000000);
  EXPECT_EQ(s.time, 2000000);
  EXPECT_EQ(s.drop_count, 2);
  EXPECT_EQ(s.picture_number, 1); // frame 1 + the drop count before it (0)
  // The clock stands still: one interval later.
  s = frame_at(2000000);
  EXPECT_EQ(s.time, 2666666);
  EXPECT_EQ(s.drop_count, 2);
  EXPECT_EQ(s.picture_number, 4);
  // The clock jumps ahead.
  s = frame_at(10000000);
  EXPECT_EQ(s.time, 10000000);
  EXPECT_EQ(s.drop_count, 12);
  EXPECT_EQ(s.picture_number, 5);
  // The clock goes back: the time does not.
  s = frame_at(100);
  EXPECT_EQ(s.time, 10666666);
  EXPECT_EQ(s.drop_count, 12);
  EXPECT_EQ(s.picture_number, 16);
  s = frame_at(11000000);
  EXPECT_EQ(s.time, 11000000);
  EXPECT_EQ(s.drop_count, 11);
  EXPECT_EQ(s.picture_number, 17);

  // The dropped-frames property reports the last frame's counts.
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S counts = dropped();
  EXPECT_EQ(counts.PictureNumber, 17);
  EXPECT_EQ(counts.DropCount, 11);
  EXPECT_EQ(counts.AverageFrameSize, 230400u);
}

TEST_F(MasterClockTest, ClockBelowOneIntervalDropsNothing) {
  ASSERT_NO_FATAL_FAILURE(open_with_clock());
  Stamp s = frame_at(300000);
  EXPECT_EQ(s.time, 300000);
  EXPECT_EQ(s.drop_count, 0);
  EXPECT_EQ(s.picture_number, 1);
  s = frame_at(300000);
  EXPECT_EQ(s.time, 300000 + kInterval);
  EXPECT_EQ(s.drop_count, 0); // 1 interval by then, 2 frames delivered
  EXPECT_EQ(s.picture_number, 2);
}

// A format whose frame interval is 0 (format negotiation does not refuse it):
// the drop count is 0 without a division, times stand with a standing clock.
// Catches a division by zero (UBSan, or a crash).
TEST_F(MasterClockTest, ZeroFrameIntervalCountsNoDrops) {
  start(fast_camera());
  std::vector<uint8_t> format = rig_->format(320, 240);
  ASSERT_FALSE(format.empty());
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data())->VideoInfoHeader.AvgTimePerFrame = 0;
  ASSERT_EQ(rig_->adapter().open_pin(0, format, pin_), STATUS_SUCCESS);
  ASSERT_EQ(pin_->set_master_clock(clock_), STATUS_SUCCESS);
  set_state(KSSTATE_RUN);

  Stamp s = frame_at(5000000);
  EXPECT_EQ(s.time, 5000000);
  EXPECT_EQ(s.drop_count, 0);
  EXPECT_EQ(s.picture_number, 1);
  s = frame_at(5000000);
  EXPECT_EQ(s.time, 5000000); // no interval to add: the time stands, it does not go back
  EXPECT_EQ(s.drop_count, 0);
  EXPECT_EQ(s.picture_number, 2);
}

// A picture cut to half its length (announced so) still gives a whole frame.
TEST_F(CaptureTest, TruncatedPictureStillGivesAWholeFrame) {
  emu::CameraConfig config = fast_camera();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "truncated"), "");
  start(config);
  ASSERT_NO_FATAL_FAILURE(stream(2, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(3, 20s));
  close();
  for (const captest::FrameRecord &frame : stream_->records()) {
    if (frame.status == STATUS_SUCCESS) {
      EXPECT_EQ(frame.header.DataUsed, 230400u);
    }
  }
  EXPECT_GE(rig_->camera().snapshot().faults_injected[static_cast<size_t>(emu::Fault::Truncated)], 3u);
}
