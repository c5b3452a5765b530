// The transfer thread against the emulated camera: pictures with no waiting read,
// device errors, stops during an exchange, cameras that do not answer, removal.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "emulator/camera/camera_clock.h"
#include "tests/capture/capture_fixture.h"

using namespace std::chrono_literals;

namespace {

// Polls `done` every millisecond until it holds or `timeout` passes.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// "%X" of a request's address, as the driver logs it (low 32 bits).
std::string hex(const void *address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

// "%08X" of a request's address.
std::string hex8(const void *address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

constexpr int64_t kFramePeriodNs = 66'666'667; // 15 fps

} // namespace

// The thread with the camera on a clock the test moves: the camera answers a
// size command only when its next picture is due, so the thread can be held in
// an exchange while the test queues reads.
class TransferThreadTest : public CaptureTest {
protected:
  // A 15 fps camera on the manual clock, unlimited link.
  void start_paced(const std::vector<std::string> &faults = {}, int64_t latency_ns = 0, size_t chunk = 4096) {
    emu::CameraConfig config = fast_camera();
    config.fps = 15;
    config.latency_ns = latency_ns;
    config.chunk = chunk;
    for (const std::string &fault : faults)
      ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
    std::string error;
    ASSERT_EQ(rig_->start(config, &error, clock_), STATUS_SUCCESS) << error;
  }

  // Opens and runs the pin, then waits until the thread has fetched picture 1
  // (due at once, dropped: no read waits) and waits for the size answer of
  // picture 2, due one frame period later.
  void open_and_hold() {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
    ASSERT_TRUE(wait_until(
        [&] {
          emu::CameraSnapshot s = rig_->camera().snapshot();
          return s.counters.pictures == 2 && s.counters.pictures_sent == 1 && s.waiting_in == 1;
        },
        10s));
  }

  // Submits a full-size frame buffer; it stays pending.
  std::unique_ptr<streamclass::FrameBuffer> submit() {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    EXPECT_EQ(pin_->submit(230400, buffer), STATUS_PENDING);
    return buffer;
  }

  std::shared_ptr<emu::ManualCameraClock> clock_ = std::make_shared<emu::ManualCameraClock>();
};

// With no read waiting, pictures are fetched and dropped without being numbered;
// catches a thread that stalls, keeps a picture for later or counts drops as
// frames.
TEST_F(CaptureTest, PicturesWithoutAWaitingReadAreFetchedAndDropped) {
  start(fast_camera());
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
  ASSERT_TRUE(wait_until([&] { return rig_->camera().snapshot().counters.pictures_sent >= 5; }, 10s));

  std::unique_ptr<streamclass::FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(230400, buffer), STATUS_PENDING);
  ASSERT_TRUE(buffer->wait(10s));
  streamclass::Frame frame = buffer->frame();
  EXPECT_EQ(frame.status(), STATUS_SUCCESS);
  EXPECT_EQ(frame.header().PresentationTime.Time, 0);
  ASSERT_NE(frame.frame_info(), nullptr);
  EXPECT_EQ(frame.frame_info()->PictureNumber, 1);
  const emu::CameraSnapshot s = rig_->camera().snapshot();
  EXPECT_GE(s.counters.pictures_sent, 5u); // the read may get the fifth, fetched just before it came
  EXPECT_EQ(s.counters.replies_abandoned, 0u);
}

// A size failure fails the two oldest reads with STATUS_IO_DEVICE_ERROR and no
// data, leaves the third queued and ends the thread; the close then cancels the
// third and needs no pipe reset.
TEST_F(TransferThreadTest, SizeFailureFailsTwoOldestReadsAndEndsTheThread) {
  ASSERT_NO_FATAL_FAILURE(start_paced({"size-zero@2"}));
  ASSERT_NO_FATAL_FAILURE(open_and_hold());
  auto r1 = submit();
  auto r2 = submit();
  auto r3 = submit();
  clock_->advance(kFramePeriodNs);

  ASSERT_TRUE(r1->wait(10s));
  ASSERT_TRUE(r2->wait(10s));
  ASSERT_TRUE(wait_until([&] { return log_count("VELTRA_ProcessTransferThread Stopped\n") == 1; }, 10s));
  for (auto *r : {r1.get(), r2.get()}) {
    EXPECT_EQ(r->status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(r->frame().header().DataUsed, 0u);
    EXPECT_EQ(log_count("StreamSRBComplete SRB " + hex(&r->request().srb()) + " STATUS C0000185\n"), 1u);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(r3->completed()) << "the third read waits for a new thread or the close";
  EXPECT_NE(stream_extension().pTransferThread, nullptr) << "a thread that gave up is still to be stopped";

  close();
  EXPECT_EQ(r3->status(), STATUS_CANCELLED);
  EXPECT_EQ(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 0u);
  EXPECT_EQ(stream_extension().pTransferThread, nullptr);
}

// A size failure with nothing queued ends the thread without completing anything.
TEST_F(CaptureTest, SizeFailureWithNoReadEndsTheThreadCompletingNothing) {
  emu::CameraConfig config = fast_camera();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "size-zero@3"), "");
  start(config);
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
  ASSERT_TRUE(wait_until([&] { return log_count("VELTRA_ProcessTransferThread Stopped\n") == 1; }, 10s));
  EXPECT_EQ(log_->count("StreamSRBComplete"), 0u);
  EXPECT_EQ(rig_->camera().snapshot().counters.pictures, 3u) << "no picture is asked for after the failure";

  // A read now waits: no thread serves the queue until the close.
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(230400, buffer), STATUS_PENDING);
  EXPECT_FALSE(buffer->wait(50ms));
  close();
  EXPECT_EQ(buffer->status(), STATUS_CANCELLED);
}

// A stop while a picture is being fetched waits for that picture: its last
// packet is acknowledged and nothing is cut short or reset. Catches a stop that
// abandons the exchange (leaving the camera mid-reply) or returns too early.
TEST_F(TransferThreadTest, StopDuringAFetchWaitsForThatPicture) {
  // Every packet takes 1 ms of camera time to arrive: the test moves the clock
  // packet by packet.
  ASSERT_NO_FATAL_FAILURE(start_paced({}, 1'000'000, 1024));
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
  auto mid_picture = [&] {
    bool mid = false;
    rig_->camera().inspect([&](const emu::CameraCore &core) {
      const emu::CameraState &state = core.state();
      mid = state.phase == emu::CameraState::Phase::PictureSent && !state.last_was_etx &&
            state.send_offset >= 2048;
    });
    return mid;
  };
  ASSERT_TRUE(wait_until(
      [&] {
        if (mid_picture())
          return true;
        clock_->advance(1'000'000);
        return false;
      },
      10s));

  const uint64_t resets = rig_->camera().snapshot().counters.resets; // initialization resets both pipes
  auto closing = std::async(std::launch::async, [&] { return pin_->close(); });
  EXPECT_EQ(closing.wait_for(200ms), std::future_status::timeout) << "the stop waits for the picture";
  std::atomic<bool> pumping{true};
  std::thread pump([&] {
    while (pumping) {
      clock_->advance(1'000'000);
      std::this_thread::sleep_for(2ms);
    }
  });
  const bool closed = closing.wait_for(10s) == std::future_status::ready;
  pumping = false;
  pump.join();
  ASSERT_TRUE(closed);
  EXPECT_EQ(closing.get(), STATUS_SUCCESS);

  const emu::CameraSnapshot s = rig_->camera().snapshot();
  EXPECT_EQ(s.counters.pictures_sent, s.counters.pictures) << "every picture taken was fetched to its end";
  EXPECT_EQ(s.counters.replies_abandoned, 0u);
  EXPECT_EQ(s.counters.resets, resets) << "no pipe was reset";
}

// Close with reads queued completes each as cancelled before the thread is
// stopped. Here the camera keeps the thread waiting (its clock stands still), so
// the stop also has to end that wait: the close still returns, after resetting
// the pipes once the grace period is over.
TEST_F(TransferThreadTest, CloseCancelsQueuedReadsThenStopsAWaitingThread) {
  ASSERT_NO_FATAL_FAILURE(start_paced());
  ASSERT_NO_FATAL_FAILURE(open_and_hold());
  auto r1 = submit();
  auto r2 = submit();
  auto r3 = submit();
  log_->clear();
  const uint64_t resets = rig_->camera().snapshot().counters.resets;

  const auto began = std::chrono::steady_clock::now();
  close();
  const auto took = std::chrono::steady_clock::now() - began;
  std::printf("close with a waiting thread took %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

  for (auto *r : {r1.get(), r2.get(), r3.get()}) {
    EXPECT_EQ(r->status(), STATUS_CANCELLED);
    EXPECT_EQ(r->frame().header().DataUsed, 0u);
  }
  const std::vector<std::string> lines = log_->lines();
  auto at = [&](const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto cancel = at("QueueCancelAllSRBs Called\n");
  const auto last_cancel = at("QueueCancelAllSRBs " + hex8(&r3->request().srb()) + "\n");
  const auto stopped = at("VELTRA_ProcessTransferThread Stopped\n");
  ASSERT_LT(stopped, static_cast<std::ptrdiff_t>(lines.size()));
  EXPECT_LT(cancel, last_cancel);
  EXPECT_LT(last_cancel, stopped) << "reads are cancelled before the thread is stopped";
  EXPECT_GE(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 1u);
  EXPECT_GT(rig_->camera().snapshot().counters.resets, resets);
}

// After a close a new open starts a new thread, and frames start again at 1.
TEST_F(CaptureTest, ReopenStartsANewThread) {
  start(fast_camera());
  ASSERT_NO_FATAL_FAILURE(stream(2, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(3, 10s));
  close();
  stream_.reset();
  pin_.reset();
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 1u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 1u);

  ASSERT_NO_FATAL_FAILURE(stream(2, 160, 120, false));
  ASSERT_TRUE(stream_->wait_frames(3, 10s));
  close();
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Started\n"), 2u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 2u);
  const std::vector<captest::FrameRecord> records = stream_->records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front().frame_number, 1u);
  EXPECT_EQ(records.front().header.PresentationTime.Time, 0);
  EXPECT_EQ(records.front().header.DataUsed, 160u * 120 * 3);
}

// A camera that stops answering in the middle of streaming (it goes silent, a
// reply packet is lost, or a command never reaches it): the thread waits in a
// bulk transfer that has no time limit, and the close must still return. The
// close ends the wait by resetting the bulk pipes after its grace period.
class SilentCameraTest : public CaptureTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(SilentCameraTest, CloseReturnsPromptly) {
  emu::CameraConfig config = fast_camera();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, GetParam()), "");
  start(config);
  ASSERT_NO_FATAL_FAILURE(stream(2, 320, 240, false));
  // Frames flow until the fault, then stop.
  auto injected = [&] {
    const emu::CameraSnapshot s = rig_->camera().snapshot();
    return std::any_of(s.faults_injected.begin(), s.faults_injected.end(), [](uint64_t n) { return n > 0; });
  };
  ASSERT_TRUE(wait_until(injected, 10s));
  const size_t frames = stream_->frames();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stream_->frames(), frames) << "no frame comes from a camera that does not answer";

  const auto began = std::chrono::steady_clock::now();
  close();
  const auto took = std::chrono::steady_clock::now() - began;
  std::printf("close with a camera that does not answer (%s) took %lld ms\n", GetParam(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_GE(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 1u);
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 1u);
  EXPECT_EQ(stream_->completions(), stream_->frames() + 2) << "the two queued reads are cancelled";
}

INSTANTIATE_TEST_SUITE_P(Faults, SilentCameraTest,
                         ::testing::Values("stop-answering@3", "lost-packet@3", "write-error@3"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           std::string name;
                           for (const char *c = info.param; *c != '\0' && *c != '@'; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c)))
                               name += *c;
                           return name;
                         });

// The camera is unplugged while frames flow: the thread's transfers fail, it
// fails the two oldest reads with STATUS_IO_DEVICE_ERROR and gives up; the close
// and the removal that follow leave every request completed once and no pool.
TEST_F(CaptureTest, UnpluggedCameraEndsTheThreadAndTheRemovalIsClean) {
  emu::CameraConfig config = fast_camera();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "disconnect@4"), "");
  start(config);
  ASSERT_NO_FATAL_FAILURE(stream(3, 320, 240, false));
  ASSERT_TRUE(wait_until([&] { return log_count("VELTRA_ProcessTransferThread Stopped\n") == 1; }, 10s));
  ASSERT_TRUE(stream_->wait_completions(stream_->frames() + 2, 10s));
  size_t failed = 0;
  for (const captest::FrameRecord &frame : stream_->records())
    if (frame.status == STATUS_IO_DEVICE_ERROR)
      ++failed;
  EXPECT_EQ(failed, 2u);
  close();
  rig_->stop(streamclass::RemovalKind::Surprise);
}

// Surprise removal while frames flow, with the pin still open: the host closes
// the pin during the removal.
TEST_F(CaptureTest, SurpriseRemovalWhileStreamingIsClean) {
  start(fast_camera());
  ASSERT_NO_FATAL_FAILURE(stream(3, 320, 240, false));
  ASSERT_TRUE(stream_->wait_frames(3, 10s));
  stream_->stop();
  rig_->stop(streamclass::RemovalKind::Surprise);
  EXPECT_FALSE(pin_->is_open());
  EXPECT_EQ(log_count("VELTRA_ProcessTransferThread Stopped\n"), 1u);
}
