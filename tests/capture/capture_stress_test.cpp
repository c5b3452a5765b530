// Concurrency stress of frame acquisition (run under ThreadSanitizer too): the
// transfer thread against reads queued and cancelled from several threads,
// stream close, thread stops and restarts, and format changes.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

const std::string kStarted = "VELTRA_ProcessTransferThread Started\n";

} // namespace

using CaptureStress = RigTest;

// Makes sure open/stream/close cycles lose no read while two threads queue and cancel reads, also during the
// close. Catches a close that does not wait for a cancel holding a read, a leak, a data race.
TEST_F(CaptureStress, OpenStreamCloseCyclesWithReadsQueuedAndCancelledConcurrently) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  std::atomic<size_t> cancelled{0};
  constexpr int kCycles = 12;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    const bool half = cycle % 2 != 0;
    ASSERT_EQ(rig_.open_pin(half ? 160 : 320, half ? 120 : 240, false), STATUS_SUCCESS);
    ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(rig_.stream({.buffers = 2, .keep_data = false, .hook = {}}), STATUS_SUCCESS);
    std::atomic<bool> go{true};
    std::atomic<size_t> submitted{0};
    std::vector<std::thread> submitters;
    for (unsigned t = 0; t < 2; ++t) {
      submitters.emplace_back([&, t] {
        std::mt19937 random(static_cast<unsigned>(cycle) * 7 + t);
        while (go) {
          std::unique_ptr<streamclass::FrameBuffer> buffer;
          if (rig_.pin().submit(rig_.image_bytes(), buffer) != STATUS_PENDING)
            continue; // the pin is closing
          submitted++;
          const unsigned choice = random() % 3;
          if (choice == 1)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
          if (choice != 2)
            buffer->cancel();
          buffer->wait(choice == 2 ? 20ms : 10s);
          buffer->wait(10s); // the close completes what is still queued
          if (buffer->status() == STATUS_CANCELLED)
            cancelled++;
        }
      });
    }
    ASSERT_TRUE(rig_.frames().wait_frames(4, 20s));
    ASSERT_TRUE(rig::wait_until([&] { return submitted >= 12; }, 20s));
    EXPECT_EQ(rig_.pin().close(), STATUS_SUCCESS); // while the submitters go on
    go = false;
    for (std::thread &t : submitters)
      t.join();
    ASSERT_EQ(rig_.close_pin(), STATUS_SUCCESS);
  }
  EXPECT_GT(cancelled.load(), 0u);
  EXPECT_EQ(log_count(kStarted), size_t{kCycles});
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), size_t{kCycles});
}

// Makes sure frames, some damaged, decode while the format is set and the picture counts read again and
// again. Catches the decoder reading a freed format copy (ASan, TSan), a frame of two formats (a DataUsed of
// neither size), a count read torn or going back.
TEST_F(CaptureStress, FramesDecodeWhileTheFormatIsSetAgainAndAgain) {
  emu::CameraConfig config = rig::fast_camera();
  for (const char *fault : {"damaged=0.3", "size-smaller=0.2"})
    ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
  ASSERT_NO_FATAL_FAILURE(start_streaming(320, 240, 3, config));
  ASSERT_TRUE(rig_.frames().wait_frames(2, 20s));
  KSPROPERTY_VELTRA_PICTURE_COUNTS_S counts, last{};
  std::vector<uint8_t> formats[4];
  const LONG shapes[4][2] = {{320, -240}, {160, 120}, {320, 240}, {160, -120}};
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, shapes[i][0], shapes[i][1], formats[i]),
              STATUS_SUCCESS);
  for (int i = 0; i < 120; ++i) {
    ASSERT_EQ(rig_.pin().set_format(formats[i % 4]), STATUS_SUCCESS);
    ASSERT_EQ(rig::picture_counts(rig_.pin(), &counts), STATUS_SUCCESS);
    EXPECT_GE(counts.DamagedFrames, last.DamagedFrames);
    EXPECT_GE(counts.LongerThanAnnounced, last.LongerThanAnnounced);
    last = counts;
    if (i % 8 == 0)
      std::this_thread::sleep_for(1ms);
  }
  EXPECT_GT(last.DamagedFrames, 0u);
  EXPECT_GT(last.LongerThanAnnounced, 0u);
  const size_t frames = rig_.frames().frames();
  EXPECT_TRUE(rig_.frames().wait_frames(frames + 2, 20s));
  for (const rig::FrameRecord &frame : rig_.frames().records())
    EXPECT_TRUE(frame.header.DataUsed == 230400u || frame.header.DataUsed == 57600u) << frame.header.DataUsed;
}
