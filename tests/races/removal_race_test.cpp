// Races of the device's removal against the camera conversation, and against
// the pin being opened, stopped and closed.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/streamclass/frame_stream.h"
#include "tests/races/race_test.h"

using namespace std::chrono_literals;

namespace {

using Reads = std::vector<std::unique_ptr<streamclass::FrameBuffer>>;

void submit_reads(streamclass::Pin &pin, ULONG bytes, size_t count, Reads &out) {
  for (size_t i = 0; i < count; ++i) {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    if (pin.submit(bytes, buffer) == STATUS_PENDING)
      out.push_back(std::move(buffer));
  }
}

// Fails the test unless each read ended once: a whole frame of `bytes` with
// success, or a failure with no data.
void expect_truthful(const Reads &reads, ULONG bytes) {
  for (const auto &read : reads) {
    ASSERT_TRUE(read->wait(10s)) << "a read never completed";
    EXPECT_EQ(read->request().completions(), 1);
    const ULONG used = read->frame().header().DataUsed;
    EXPECT_EQ(used, read->status() == STATUS_SUCCESS ? bytes : 0u) << "status " << std::hex << read->status();
  }
}

// Where a round stops the camera's conversation and what the removal finds.
struct RemovalRound {
  size_t step;                     // the bulk transfer, counted from the pin's open
  rig::SteppedDevice::AtStep mode; // the camera falls silent there, or answers on
  bool unplug;                     // the camera is pulled before the host's removal
};

} // namespace

// Makes sure a surprise removal at every step of the exchange (camera silent or answering, unplugged or not)
// ends cleanly. Catches a thread left waiting on an ended transfer, a read completed twice, a leak.
TEST_F(RaceTest, SurpriseRemovalAtEveryStepOfThePictureExchange) {
  // The steps of one picture cycle after the pin opens, and of the next size exchange:
  ASSERT_NO_FATAL_FAILURE(start_stepped(false));
  const size_t before = device_->transfers();
  ASSERT_EQ(rig_.open_pin(320, 240), STATUS_SUCCESS);
  Reads reads;
  submit_reads(rig_.pin(), rig_.image_bytes(), 1, reads);
  ASSERT_TRUE(reads.at(0)->wait(10s));
  const size_t steps = std::min<size_t>(device_->transfers() - before + 3, 30);
  ASSERT_GE(steps, 6u);
  reads.clear();
  end_round();

  std::vector<RemovalRound> rounds;
  for (size_t step = 1; step <= steps; ++step) {
    rounds.push_back({step, rig::SteppedDevice::AtStep::Hold, true});
    rounds.push_back({step, rig::SteppedDevice::AtStep::Pass, true});
    if (step <= 4)
      rounds.push_back({step, rig::SteppedDevice::AtStep::Hold, false});
  }
  size_t opens = 0;
  RaceBudget budget(static_cast<int>(rounds.size()) * 10, 12s); // every round, as time allows
  while (budget.next() && static_cast<size_t>(budget.done()) <= rounds.size()) {
    const RemovalRound &round = rounds[static_cast<size_t>(budget.done() - 1)];
    SCOPED_TRACE(std::string(round.mode == rig::SteppedDevice::AtStep::Hold ? "silent" : "answering") +
                 (round.unplug ? ", unplugged" : ", not unplugged") + " at step " +
                 std::to_string(round.step));
    ASSERT_NO_FATAL_FAILURE(start_stepped(false));
    device_->stop_at(round.step, round.mode);
    ASSERT_EQ(rig_.open_pin(320, 240), STATUS_SUCCESS);
    ++opens;
    submit_reads(rig_.pin(), rig_.image_bytes(), 3, reads);
    ASSERT_TRUE(device_->wait_step(10s));
    if (round.unplug)
      rig_.unplug();
    EXPECT_EQ(rig_.remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(expect_truthful(reads, rig_.image_bytes()));
    reads.clear();
    end_round();
  }
  RecordProperty("rounds_covered", static_cast<int>(opens));
  RecordProperty("rounds", static_cast<int>(rounds.size()));
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), opens + 1);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), opens + 1);
}

// Makes sure opens, stops and closes racing a removal complete every read once and leave nothing. Catches a
// close and removal completing the same reads, a thread started for a stream the removal never closes.
TEST_F(RaceTest, OpenStopAndCloseConcurrentWithRemoval) {
  std::mt19937 random(11);
  RaceBudget budget(300, 6s);
  while (budget.next()) {
    SCOPED_TRACE("round " + std::to_string(budget.done()));
    ASSERT_NO_FATAL_FAILURE(start_stepped(false));
    const bool half = random() % 2 == 0;
    std::vector<uint8_t> format;
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, half ? 160 : 320, half ? 120 : 240, format),
              STATUS_SUCCESS);
    const ULONG bytes = streamclass::video_image_size(format);
    const auto head_start = std::chrono::microseconds(random() % 5000);
    const bool unplug = random() % 2 == 0;
    std::atomic<bool> removed{false};
    Reads reads;
    std::thread opener([&] {
      do {
        std::unique_ptr<streamclass::Pin> pin;
        if (rig_.adapter().open_pin(0, format, pin) != STATUS_SUCCESS)
          continue;
        pin->set_state(KSSTATE_RUN);
        submit_reads(*pin, bytes, 2, reads);
        if (reads.size() % 4 == 0) {
          pin->set_state(KSSTATE_PAUSE);
          pin->set_state(KSSTATE_STOP);
        }
        pin->close();
      } while (!removed);
    });
    std::this_thread::sleep_for(head_start);
    if (unplug)
      rig_.unplug();
    EXPECT_EQ(rig_.remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
    removed = true;
    opener.join();
    ASSERT_NO_FATAL_FAILURE(expect_truthful(reads, bytes));
    reads.clear();
    end_round();
  }
}
