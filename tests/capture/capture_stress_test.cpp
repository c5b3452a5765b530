// Concurrency stress of frame acquisition (run under ThreadSanitizer too): the
// transfer thread against reads queued and cancelled from several threads,
// stream close, thread stops and restarts, and format changes.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "capture/capture.h"
#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

const std::string kStarted = "VELTRA_ProcessTransferThread Started\n";

} // namespace

using CaptureStress = RigTest;

// Makes sure open, stream and close, again and again, while two more threads
// keep queuing reads and cancelling some of them (also during the close),
// loses no read and completes none twice. Catches a read lost between the
// queue, the thread, a cancel and the close (the host's accounting; a close
// that does not wait for a cancel that took a read out of the queue), a leak,
// or a data race.
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

// Makes sure the transfer thread stopped and started again and again (as the
// camera controls do, under the camera lock) while frames flow and another
// thread reads the dropped-frames property fills every read, numbers run on
// one by one and times never go back. Catches a frame count or time reset by
// a restart, a read lost across it, and a restart that leaves the pipes stalled.
TEST_F(CaptureStress, TransferThreadStopsAndStartsWhileFramesFlow) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(rig_.stream({.buffers = 3, .keep_data = false, .hook = {}}), STATUS_SUCCESS);
  ASSERT_TRUE(rig_.frames().wait_frames(2, 20s));
  std::atomic<bool> go{true};
  std::thread reader([&] {
    while (go) {
      KSPROPERTY_DROPPEDFRAMES_CURRENT_S counts{};
      counts.Property = KSPROPERTY{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
      EXPECT_EQ(rig_.pin().get_property(counts), STATUS_SUCCESS);
      EXPECT_EQ(counts.DropCount, 0);
      std::this_thread::sleep_for(1ms);
    }
  });
  PHW_DEVICE_EXTENSION ext = rig_.extension();
  STREAMEX &stream = *static_cast<PSTREAMEX>(rig_.pin().stream_extension());
  for (int i = 0; i < 30; ++i) {
    KeWaitForSingleObject(&ext->CameraLockEvent, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(VELTRA_StopTransferThread(&stream));
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    EXPECT_EQ(VELTRA_StartTransferThread(&stream), STATUS_SUCCESS);
    KeSetEvent(&ext->CameraLockEvent, 0, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + i % 4));
  }
  EXPECT_TRUE(rig_.frames().wait_frames(rig_.frames().frames() + 2, 20s));
  go = false;
  reader.join();
  ULONG expected = 0;
  LONGLONG last_time = -1;
  for (const rig::FrameRecord &frame : rig_.frames().records()) {
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.frame_number, ++expected);
    EXPECT_GT(frame.header.PresentationTime.Time, last_time);
    last_time = frame.header.PresentationTime.Time;
  }
  EXPECT_EQ(log_count(kStarted), 31u);
  EXPECT_EQ(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 0u);
}

// Makes sure frames decode while another thread sets the stream's format again
// and again (bottom-up, top-down, half size). Catches the decoder reading a
// format copy that SRB_SET_DATA_FORMAT has just freed (ASan, TSan) or a frame
// made of two formats at once (a DataUsed that is neither size).
TEST_F(CaptureStress, FramesDecodeWhileTheFormatIsSetAgainAndAgain) {
  ASSERT_NO_FATAL_FAILURE(start_streaming(320, 240, 3));
  ASSERT_TRUE(rig_.frames().wait_frames(2, 20s));
  std::vector<uint8_t> formats[4];
  const LONG shapes[4][2] = {{320, -240}, {160, 120}, {320, 240}, {160, -120}};
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, shapes[i][0], shapes[i][1], formats[i]),
              STATUS_SUCCESS);
  for (int i = 0; i < 120; ++i) {
    ASSERT_EQ(rig_.pin().set_format(formats[i % 4]), STATUS_SUCCESS);
    if (i % 8 == 0)
      std::this_thread::sleep_for(1ms);
  }
  const size_t frames = rig_.frames().frames();
  EXPECT_TRUE(rig_.frames().wait_frames(frames + 2, 20s));
  for (const rig::FrameRecord &frame : rig_.frames().records())
    EXPECT_TRUE(frame.header.DataUsed == 230400u || frame.header.DataUsed == 57600u) << frame.header.DataUsed;
}
