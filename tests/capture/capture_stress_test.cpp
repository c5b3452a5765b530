// Concurrency stress of frame acquisition (run under ThreadSanitizer too): the
// transfer thread against reads queued and cancelled from several threads,
// stream close, thread stops and restarts, and the dropped-frames property.
#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "capture/capture.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/capture/capture_fixture.h"

using namespace std::chrono_literals;

namespace {

// A camera that answers at once with a few pictures encoded at power-on.
emu::CameraConfig stress_camera() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 3;
  return config;
}

} // namespace

// Open, stream and close, again and again, while two more threads keep queuing
// reads and cancelling some of them; they go on queuing and cancelling during
// the close. Catches a read lost or completed twice between the queue, the
// thread, the cancel and the close (the host's accounting; a close that does not
// wait for a cancel that has taken a read out of the queue), a leak, or a data
// race.
TEST_F(CaptureTest, OpenStreamCloseCyclesWithReadsQueuedAndCancelledConcurrently) {
  start(stress_camera());
  std::atomic<size_t> cancelled{0};
  for (int cycle = 0; cycle < 12; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    ASSERT_NO_FATAL_FAILURE(stream(2, cycle % 2 == 0 ? 320 : 160, cycle % 2 == 0 ? 240 : 120, false));
    std::atomic<bool> go{true};
    std::atomic<size_t> submitted{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < 2; ++t) {
      submitters.emplace_back([&, t] {
        std::mt19937 random(static_cast<unsigned>(cycle * 7 + t));
        while (go) {
          std::unique_ptr<streamclass::FrameBuffer> buffer;
          if (pin_->submit(230400, buffer) != STATUS_PENDING)
            continue; // the pin is closing
          submitted++;
          auto cancel = [&] { buffer->cancel(); };
          switch (random() % 3) {
          case 0:
            cancel();
            break;
          case 1:
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            cancel();
            break;
          default:
            buffer->wait(20ms);
            break;
          }
          buffer->wait(10s); // the close completes what is still queued
          if (buffer->status() == STATUS_CANCELLED)
            cancelled++;
        }
      });
    }
    ASSERT_TRUE(stream_->wait_frames(4, 20s));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (submitted < 12 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    close(); // while the submitters go on queuing and cancelling
    go = false;
    for (std::thread &t : submitters)
      t.join();
    stream_.reset();
    pin_.reset();
  }
  EXPECT_GT(cancelled.load(), 0u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 12u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 12u);
}

// The transfer thread stopped and started again and again (as the camera
// controls do, under the camera lock) while frames flow and another thread
// reads the dropped-frames property: every read is filled, numbers run on one by
// one and times never go back.
TEST_F(CaptureTest, TransferThreadStopsAndStartsWhileFramesFlow) {
  start(stress_camera());
  ASSERT_NO_FATAL_FAILURE(stream(3, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(2, 20s));

  std::atomic<bool> go{true};
  std::thread reader([&] {
    while (go) {
      KSPROPERTY_DROPPEDFRAMES_CURRENT_S counts{};
      counts.Property = KSPROPERTY{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
      EXPECT_EQ(pin_->get_property(counts), STATUS_SUCCESS);
      EXPECT_EQ(counts.DropCount, 0);
      std::this_thread::sleep_for(1ms);
    }
  });
  PHW_DEVICE_EXTENSION ext = extension();
  STREAMEX &stream_ext = stream_extension();
  for (int i = 0; i < 30; ++i) {
    KeWaitForSingleObject(&ext->CameraLockEvent, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(VELTRA_StopTransferThread(&stream_ext));
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    EXPECT_EQ(VELTRA_StartTransferThread(&stream_ext), STATUS_SUCCESS);
    KeSetEvent(&ext->CameraLockEvent, 0, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + i % 4));
  }
  const size_t frames = stream_->frames();
  EXPECT_TRUE(stream_->wait_frames(frames + 2, 20s));
  go = false;
  reader.join();
  close();

  ULONG expected = 0;
  LONGLONG last_time = -1;
  for (const captest::FrameRecord &frame : stream_->records()) {
    if (frame.status == STATUS_CANCELLED)
      continue; // the close's
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.frame_number, ++expected);
    EXPECT_GT(frame.header.PresentationTime.Time, last_time);
    last_time = frame.header.PresentationTime.Time;
  }
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 31u);
  EXPECT_EQ(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 0u);
}

// Frames decode while another thread sets the stream's format again and again
// (bottom-up, top-down, half size): catches the decoder reading a format copy
// that SRB_SET_DATA_FORMAT has just freed (ASan, TSan) or a frame made of two
// formats at once (a DataUsed that is neither size).
TEST_F(CaptureTest, FramesDecodeWhileTheFormatIsSetAgainAndAgain) {
  start(stress_camera());
  ASSERT_NO_FATAL_FAILURE(stream(3, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(2, 20s));
  const std::vector<uint8_t> formats[] = {rig_->format(320, -240), rig_->format(160, 120),
                                          rig_->format(320, 240), rig_->format(160, -120)};
  for (int i = 0; i < 120; ++i) {
    ASSERT_EQ(pin_->set_format(formats[i % 4]), STATUS_SUCCESS);
    if (i % 8 == 0)
      std::this_thread::sleep_for(1ms);
  }
  const size_t frames = stream_->frames();
  EXPECT_TRUE(stream_->wait_frames(frames + 2, 20s));
  close();
  size_t good = 0;
  for (const captest::FrameRecord &frame : stream_->records()) {
    if (frame.status != STATUS_SUCCESS)
      continue; // the close's
    ++good;
    EXPECT_TRUE(frame.header.DataUsed == 230400u || frame.header.DataUsed == 57600u) << frame.header.DataUsed;
  }
  EXPECT_GE(good, frames + 2);
}
