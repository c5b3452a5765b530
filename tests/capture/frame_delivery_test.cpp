// Frames end to end: the camera's pictures through the bus, the driver and the
// stream class host to the application, decoded, numbered and time-stamped.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "adapter/adapter.h"
#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/support/pictures.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

constexpr LONGLONG kInterval = 666666; // the stream's frame interval (100 ns units)
constexpr ULONG kFrameBytes = 320 * 240 * 3;

// One read under a master clock: the clock when it is submitted, and the
// frame's time, drop count and picture number.
struct ClockStep {
  LONGLONG clock, time, drops, picture;
};

} // namespace

using FrameDeliveryTest = RigTest;

// Makes sure every frame is one of the camera's pictures as the reference decoder makes it, in the format's
// row order and scale. Catches rows upside down, a wrong colour order, scale or pitch, a stale picture.
TEST_F(FrameDeliveryTest, FramesAreTheCamerasPicturesDecoded) {
  const emu::CameraConfig config = rig::fast_camera();
  const std::vector<std::vector<uint8_t>> pictures =
      rig::prerendered_pictures(config.prerendered, config.jpeg_quality);
  for (const auto &[width, height] : {std::pair{320, 240}, {320, -240}, {160, 120}, {160, -120}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    std::vector<std::vector<uint8_t>> expected;
    for (const auto &picture : pictures)
      expected.push_back(rig::reference_frame(picture, width == 160, height < 0));
    ASSERT_NO_FATAL_FAILURE(start_streaming(width, height, 3, config));
    ASSERT_TRUE(rig_.frames().wait_frames(9, 20s));
    std::set<size_t> seen;
    for (const rig::FrameRecord &frame : rig_.frames().records()) {
      ASSERT_EQ(frame.status, STATUS_SUCCESS);
      ASSERT_EQ(frame.data.size(), expected[0].size());
      const auto match = std::find(expected.begin(), expected.end(), frame.data);
      ASSERT_NE(match, expected.end()) << "frame " << frame.frame_number << " is none of the pictures";
      seen.insert(static_cast<size_t>(match - expected.begin()));
    }
    EXPECT_EQ(seen.size(), pictures.size()) << "every picture of the loop reaches the application";
    end_round();
  }
}

// Makes sure a picture that does not decode whole still becomes a frame, marked damaged, counted and logged,
// decoded from the bytes the camera sent alone; the count starts afresh with the pin. Catches a damaged frame
// passed as good, a picture without its end-of-image marker ended silently, stale bytes of an earlier picture
// decoded in place of those that never came.
TEST_F(FrameDeliveryTest, DamagedPicturesAreDeliveredMarkedAndCounted) {
  const emu::CameraConfig fast = rig::fast_camera();
  std::vector<std::vector<uint8_t>> halves; // the camera's pictures cut in half, decoded
  for (const auto &picture : rig::prerendered_pictures(fast.prerendered, fast.jpeg_quality))
    halves.push_back(
        rig::reference_frame({picture.begin(), picture.begin() + picture.size() / 2}, false, false));
  std::vector<uint8_t> no_end = rig::make_picture({});
  no_end.resize(no_end.size() - 2); // FF D9 gone: every byte of image data is there
  const std::filesystem::path file = std::filesystem::path(::testing::TempDir()) / "dscam-no-end.jpg";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char *>(no_end.data()), static_cast<std::streamsize>(no_end.size()));
  const struct {
    const char *what;
    std::vector<const char *> faults;
    bool from_file;
    const std::vector<std::vector<uint8_t>> *frames; // what each frame must be, when known
  } cases[] = {
      {"corrupt image data", {"damaged"}, false, nullptr},
      {"cut in half, announced longer", {"truncated", "size-larger"}, false, &halves},
      {"a picture smaller than the frame", {"odd-size"}, false, nullptr},
      {"no end-of-image marker", {}, true, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    clear_log();
    emu::CameraConfig config = fast;
    config.odd_width = 160;
    config.odd_height = 120;
    config.pictures = c.from_file ? emu::PictureMode::Files : config.pictures;
    config.picture_path = file.string();
    for (const char *fault : c.faults)
      ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
    ASSERT_NO_FATAL_FAILURE(start_camera(config));
    ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
    std::vector<std::unique_ptr<streamclass::FrameBuffer>> reads(4);
    for (auto &read : reads)
      ASSERT_EQ(rig_.pin().submit(kFrameBytes, read), STATUS_PENDING);
    for (auto &read : reads) {
      ASSERT_TRUE(read->wait(10s));
      const streamclass::Frame frame = read->frame();
      ASSERT_EQ(frame.status(), STATUS_SUCCESS);
      ASSERT_NE(frame.frame_info(), nullptr);
      EXPECT_EQ(frame.frame_info()->dwFrameFlags, ULONG{VELTRA_FRAMEF_DAMAGED});
      EXPECT_EQ(frame.header().DataUsed, kFrameBytes);
      const ULONG number =
          static_cast<const SRB_EXTENSION *>(frame.request().srb().SRBExtension)->FrameNumber;
      EXPECT_EQ(log_count("Frame Number " + std::to_string(number) + " is damaged\n"), 1u);
      const std::vector<uint8_t> data(frame.data().begin(), frame.data().end());
      if (c.frames != nullptr) {
        EXPECT_NE(std::find(c.frames->begin(), c.frames->end(), data), c.frames->end()) << "frame " << number;
      }
    }
    KSPROPERTY_VELTRA_PICTURE_COUNTS_S counts;
    ASSERT_EQ(rig::picture_counts(rig_.pin(), &counts), STATUS_SUCCESS);
    EXPECT_EQ(counts.DamagedFrames, reads.size()) << "pictures with no read waiting are not decoded";
    reads.clear();
    ASSERT_EQ(rig_.close_pin(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
    ASSERT_EQ(rig::picture_counts(rig_.pin(), &counts), STATUS_SUCCESS);
    EXPECT_EQ(counts.DamagedFrames, 0u);
    end_round();
  }
  std::filesystem::remove(file);
}

// Makes sure that without a clock frame n is number n at n-1 intervals, nothing dropped, its number logged.
// Catches the frame number not counted, a wrong time, flag or frame information.
TEST_F(FrameDeliveryTest, FramesWithoutAClockCountFrameIntervalsFromZero) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  rig::StreamOptions options;
  options.keep_data = false;
  ASSERT_EQ(rig_.stream(options), STATUS_SUCCESS);
  ASSERT_TRUE(rig_.frames().wait_frames(12, 20s));
  LONGLONG n = 0;
  for (const rig::FrameRecord &frame : rig_.frames().records()) {
    SCOPED_TRACE("frame " + std::to_string(++n));
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.frame_number, static_cast<ULONG>(n));
    EXPECT_EQ(frame.header.PresentationTime.Time, (n - 1) * kInterval);
    EXPECT_EQ(frame.header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(frame.header.PresentationTime.Denominator, 1u);
    EXPECT_EQ(frame.header.Duration, kInterval);
    EXPECT_EQ(frame.header.OptionsFlags,
              ULONG{KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID});
    EXPECT_EQ(frame.header.DataUsed, kFrameBytes);
    ASSERT_TRUE(frame.has_info);
    KS_FRAME_INFO expected{};
    expected.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    expected.PictureNumber = n;
    EXPECT_EQ(std::memcmp(&frame.info, &expected, sizeof(expected)), 0)
        << "PictureNumber " << frame.info.PictureNumber << " DropCount " << frame.info.DropCount;
  }
  EXPECT_EQ(log_count("Frame Number is 1\n"), 1u);
  EXPECT_EQ(log_count("Frame Number is 12\n"), 1u);
}

// Makes sure frames under a master clock take its time (never going back), count the frames it says were
// missed, and number pictures with them. Catches the drop count off by one, a division by a zero interval.
TEST_F(FrameDeliveryTest, FramesUnderAMasterClockCountDrops) {
  // Per case: the frame interval of the format (0 is not refused), and the reads.
  const std::pair<LONGLONG, std::vector<ClockStep>> cases[] = {
      {kInterval, // the clock runs, stands, jumps and goes back
       {{2000000, 2000000, 2, 1},
        {2000000, 2666666, 2, 4},
        {10000000, 10000000, 12, 5},
        {100, 10666666, 12, 16},
        {11000000, 11000000, 11, 17}}},
      {kInterval, {{300000, 300000, 0, 1}, {300000, 300000 + kInterval, 0, 2}}}, // below one interval
      {0, {{5000000, 5000000, 0, 1}, {5000000, 5000000, 0, 2}}},
  };
  for (const auto &[interval, steps] : cases) {
    SCOPED_TRACE("interval " + std::to_string(interval) + ", first clock " + std::to_string(steps[0].clock));
    ASSERT_NO_FATAL_FAILURE(start_camera());
    std::vector<uint8_t> format;
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, 320, 240, format), STATUS_SUCCESS);
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data())->VideoInfoHeader.AvgTimePerFrame =
        interval;
    ASSERT_EQ(rig_.adapter().open_pin(0, format, rig_.pin_slot()), STATUS_SUCCESS);
    auto clock = std::make_shared<streamclass::ManualMasterClock>();
    ASSERT_EQ(rig_.pin().set_master_clock(clock), STATUS_SUCCESS);
    ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
    for (const ClockStep &step : steps) {
      clock->set(step.clock);
      std::unique_ptr<streamclass::FrameBuffer> buffer;
      ASSERT_EQ(rig_.pin().submit(kFrameBytes, buffer), STATUS_PENDING);
      ASSERT_TRUE(buffer->wait(10s));
      const streamclass::Frame frame = buffer->frame();
      ASSERT_EQ(frame.status(), STATUS_SUCCESS);
      ASSERT_NE(frame.frame_info(), nullptr);
      EXPECT_EQ(frame.header().PresentationTime.Time, step.time) << "clock " << step.clock;
      EXPECT_EQ(frame.frame_info()->DropCount, step.drops) << "clock " << step.clock;
      EXPECT_EQ(frame.frame_info()->PictureNumber, step.picture) << "clock " << step.clock;
    }
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S counts{};
    counts.Property = KSPROPERTY{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
    ASSERT_EQ(rig_.pin().get_property(counts), STATUS_SUCCESS);
    EXPECT_EQ(counts.PictureNumber, steps.back().picture);
    EXPECT_EQ(counts.DropCount, steps.back().drops);
    EXPECT_EQ(counts.AverageFrameSize, kFrameBytes);
    end_round();
  }
}

// Makes sure the buffers of completed reads are reused, except one whose frame is held. Catches a buffer per
// frame, a held frame overwritten by a later read.
TEST_F(FrameDeliveryTest, BuffersOfCompletedReadsAreReusedUnlessAFrameIsHeld) {
  std::mutex mutex;
  std::set<const uint8_t *> buffers;
  std::vector<streamclass::Frame> kept; // the first frame, held
  rig::StreamOptions options;
  options.buffers = 3;
  options.hook = [&](const streamclass::Frame &frame) {
    std::lock_guard lock(mutex);
    buffers.insert(frame.data().data());
    if (kept.empty())
      kept.push_back(frame);
  };
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
  ASSERT_EQ(rig_.stream(options), STATUS_SUCCESS);
  ASSERT_TRUE(rig_.frames().wait_frames(60, 20s));
  rig_.frames().stop();
  ASSERT_EQ(rig_.close_pin(), STATUS_SUCCESS);
  std::lock_guard lock(mutex);
  EXPECT_LE(buffers.size(), options.buffers + 2u) << "those queued, the one in its callback, the one held";
  EXPECT_EQ(static_cast<const SRB_EXTENSION *>(kept.at(0).request().srb().SRBExtension)->FrameNumber, 1u);
}
