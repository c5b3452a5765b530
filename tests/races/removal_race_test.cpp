// Races of the device's removal against the camera conversation, against the
// stream being stopped and closed, and against the pin being opened.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/streamclass/frame_stream.h"
#include "tests/races/race_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr ULONG kFrameBytes = 320 * 240 * 3;

// Fails the test unless each read ended once: a whole frame with success, or
// a failure with no data.
void expect_truthful(const std::vector<std::unique_ptr<streamclass::FrameBuffer>> &buffers,
                     const char *round) {
  for (const auto &buffer : buffers) {
    ASSERT_TRUE(buffer->wait(10s)) << round << ": a read never completed";
    EXPECT_EQ(buffer->request().completions(), 1) << round;
    const ULONG used = buffer->frame().header().DataUsed;
    if (buffer->status() == STATUS_SUCCESS)
      EXPECT_EQ(used, kFrameBytes) << round;
    else
      EXPECT_EQ(used, 0u) << round << ": failed with status " << std::hex << buffer->status();
  }
}

void submit_reads(streamclass::Pin &pin, size_t count,
                  std::vector<std::unique_ptr<streamclass::FrameBuffer>> &out) {
  for (size_t i = 0; i < count; ++i) {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    if (pin.submit(kFrameBytes, buffer) == STATUS_PENDING)
      out.push_back(std::move(buffer));
  }
}

} // namespace

// Makes sure a camera unplugged at any step of the picture exchange (the
// command, the camera's reply, the host's ACK, each payload packet) ends the
// conversation cleanly: the transfer thread returns, queued reads complete
// once with a failure or with a whole frame, the removal returns, nothing is
// left. Each step is tried with the camera fallen silent there (the transfer
// pending when the camera goes) and with the camera answering while the
// removal comes. Catches a transfer thread left waiting on a transfer that the
// removal ended, a read completed twice or never, a frame completed with a
// partial picture, and leaks on the failure paths of the exchange.
TEST_F(RaceTest, SurpriseRemovalAtEveryStepOfThePictureExchange) {
  // The steps of one picture cycle after the pin opens, and the size exchange
  // of the next.
  size_t steps = 0;
  {
    auto device = stepped_camera(fast_camera());
    ASSERT_NO_FATAL_FAILURE(start(device));
    const size_t before = device->transfers();
    ASSERT_NO_FATAL_FAILURE(open_running());
    std::vector<std::unique_ptr<streamclass::FrameBuffer>> reads;
    submit_reads(*pin_, 1, reads);
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_TRUE(reads.front()->wait(10s));
    steps = std::min<size_t>(device->transfers() - before + 3, 30);
    reads.clear();
    ASSERT_NO_FATAL_FAILURE(end_round());
  }
  ASSERT_GE(steps, 6u);

  // Step by step, each silent then answering; a slow build covers the first
  // steps within the budget.
  size_t opens = 0;
  RaceBudget budget(static_cast<int>(2 * steps) * kRaceRoundDivisor, 8s);
  while (budget.next()) {
    const size_t step = static_cast<size_t>(budget.done() + 1) / 2;
    const auto mode =
        budget.done() % 2 == 1 ? races::SteppedDevice::AtStep::Hold : races::SteppedDevice::AtStep::Pass;
    const std::string round =
        std::string(mode == races::SteppedDevice::AtStep::Hold ? "silent" : "answering") + " at step " +
        std::to_string(step);
    SCOPED_TRACE(round);
    auto device = stepped_camera(fast_camera());
    ASSERT_NO_FATAL_FAILURE(start(device));
    device->stop_at(step, mode);
    ASSERT_NO_FATAL_FAILURE(open_running());
    ++opens;
    std::vector<std::unique_ptr<streamclass::FrameBuffer>> reads;
    submit_reads(*pin_, 3, reads);
    ASSERT_TRUE(device->wait_step(10s));
    rig_->unplug();
    EXPECT_EQ(rig_->remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(expect_truthful(reads, round.c_str()));
    reads.clear();
    ASSERT_NO_FATAL_FAILURE(end_round());
  }
  RecordProperty("steps_covered", static_cast<int>(opens / 2));
  RecordProperty("steps", static_cast<int>(steps));
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), opens + 1);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), opens + 1);
}

// Makes sure the host's surprise removal alone (no unplug: the driver resets
// the port, which ends the pending transfer) also ends a conversation stopped
// at a step of the size exchange with the camera silent. The camera answers
// again after the reset, from its power-on state, so the exchange the reset
// broke may leave the transfer thread waiting until the close's own pipe
// resets end it (about a second per step): the first steps only.
TEST_F(RaceTest, SurpriseRemovalWithoutUnplugAtEarlySteps) {
  RaceBudget budget(4, 5s);
  while (budget.next()) {
    const size_t step = static_cast<size_t>(budget.done());
    SCOPED_TRACE("step " + std::to_string(step));
    auto device = stepped_camera(fast_camera());
    ASSERT_NO_FATAL_FAILURE(start(device));
    device->stop_at(step, races::SteppedDevice::AtStep::Hold);
    ASSERT_NO_FATAL_FAILURE(open_running());
    std::vector<std::unique_ptr<streamclass::FrameBuffer>> reads;
    submit_reads(*pin_, 2, reads);
    ASSERT_TRUE(device->wait_step(10s));
    EXPECT_EQ(rig_->remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(expect_truthful(reads, "surprise removal"));
    reads.clear();
    ASSERT_NO_FATAL_FAILURE(end_round());
  }
}

// Makes sure stopping and closing the stream on one thread while another
// unplugs the camera and removes the device ends with every read completed
// once and nothing left, whichever comes first. Catches a close and a removal
// both completing the same reads, a transfer thread stopped twice or never,
// and a removal that returns while the close still uses the device.
TEST_F(RaceTest, StopStreamingConcurrentWithRemoval) {
  std::mt19937 random(11);
  RaceBudget budget(200, 4s);
  while (budget.next()) {
    SCOPED_TRACE("round " + std::to_string(budget.done()));
    ASSERT_NO_FATAL_FAILURE(start(stepped_camera(fast_camera())));
    ASSERT_NO_FATAL_FAILURE(open_running());
    std::vector<std::unique_ptr<streamclass::FrameBuffer>> reads;
    submit_reads(*pin_, 4, reads);
    const auto head_start = std::chrono::microseconds(random() % 3000);
    const bool unplug = random() % 2 == 0;
    std::atomic<bool> go{false};
    std::thread stopper([&] {
      while (!go)
        std::this_thread::yield();
      pin_->set_state(KSSTATE_PAUSE);
      pin_->set_state(KSSTATE_STOP);
      pin_->close();
    });
    std::thread remover([&] {
      while (!go)
        std::this_thread::yield();
      std::this_thread::sleep_for(head_start);
      if (unplug)
        rig_->unplug();
      rig_->remove(streamclass::RemovalKind::Surprise);
    });
    go = true;
    stopper.join();
    remover.join();
    ASSERT_NO_FATAL_FAILURE(expect_truthful(reads, "stop vs removal"));
    reads.clear();
    ASSERT_NO_FATAL_FAILURE(end_round());
  }
}

// Makes sure the pin opened and closed again and again while the device is
// removed underneath ends cleanly: each open either succeeds (and its close
// or the removal closes it) or fails, and the removal waits for the open in
// progress. Catches a transfer thread started for a stream the removal never
// closes, a stream extension used after the removal, and leaks of the format
// copies on the open's failure paths.
TEST_F(RaceTest, OpenAndCloseConcurrentWithRemoval) {
  std::mt19937 random(5);
  RaceBudget budget(200, 4s);
  while (budget.next()) {
    SCOPED_TRACE("round " + std::to_string(budget.done()));
    ASSERT_NO_FATAL_FAILURE(start(stepped_camera(fast_camera())));
    std::vector<uint8_t> format;
    ASSERT_EQ(streamclass::video_format(rig_->adapter(), 0, 160, 120, format), STATUS_SUCCESS);
    const auto head_start = std::chrono::microseconds(random() % 5000);
    std::atomic<bool> removed{false};
    std::thread opener([&] {
      while (!removed) {
        std::unique_ptr<streamclass::Pin> pin;
        if (rig_->adapter().open_pin(0, format, pin) != STATUS_SUCCESS)
          continue;
        pin->set_state(KSSTATE_RUN);
        std::unique_ptr<streamclass::FrameBuffer> read;
        pin->submit(160 * 120 * 3, read);
        pin->close();
        if (read && !read->wait(10s))
          ADD_FAILURE() << "a read of a closed pin never completed";
      }
    });
    std::this_thread::sleep_for(head_start);
    rig_->unplug();
    rig_->remove(streamclass::RemovalKind::Surprise);
    removed = true;
    opener.join();
    ASSERT_NO_FATAL_FAILURE(end_round());
  }
}
