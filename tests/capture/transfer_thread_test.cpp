// The transfer thread against the emulated camera: pictures with no waiting
// read, a failed size exchange, a stop while a picture is fetched.
#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "emulator/camera/camera_clock.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

constexpr ULONG kFrameBytes = 320 * 240 * 3;
constexpr int64_t kFramePeriodNs = 66'666'667; // 15 fps
const std::string kStopped = "VELTRA_ProcessTransferThread Stopped\n";

// "%X" of an address, as the driver logs a request: its low 32 bits.
std::string hex(const void *address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

} // namespace

// The camera on a clock the test moves: a 15 fps camera answers a size command
// only when its next picture is due, so that the thread can be held in an
// exchange while the test queues reads.
class TransferThreadTest : public RigTest {
protected:
  void start_paced(const char *fault = nullptr, int64_t latency_ns = 0, size_t chunk = 4096) {
    emu::CameraConfig config = rig::fast_camera();
    config.fps = 15;
    config.latency_ns = latency_ns;
    config.chunk = chunk;
    if (fault != nullptr) {
      ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
    }
    std::string error;
    ASSERT_TRUE(rig_.plug_camera(config, &error, clock_)) << error;
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
    ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  }
  // Waits until the thread has fetched picture 1 (due at once, dropped: no
  // read waits) and waits for the size answer of picture 2, a period later.
  void hold_in_size_exchange() {
    ASSERT_TRUE(rig::wait_until(
        [&] {
          const emu::CameraSnapshot s = rig_.camera().snapshot();
          return s.counters.pictures == 2 && s.counters.pictures_sent == 1 && s.waiting_in == 1;
        },
        10s));
  }
  std::unique_ptr<streamclass::FrameBuffer> submit() {
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    EXPECT_EQ(rig_.pin().submit(kFrameBytes, buffer), STATUS_PENDING);
    return buffer;
  }
  STREAMEX &stream_extension() { return *static_cast<PSTREAMEX>(rig_.pin().stream_extension()); }

  std::shared_ptr<emu::ManualCameraClock> clock_ = std::make_shared<emu::ManualCameraClock>();
};

// Makes sure pictures with no read waiting are fetched and dropped unnumbered. Catches a thread that stalls
// without a read, keeps a picture for later or counts drops as frames.
TEST_F(TransferThreadTest, PicturesWithoutAWaitingReadAreFetchedAndDropped) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(rig::wait_until([&] { return rig_.camera().snapshot().counters.pictures_sent >= 5; }, 10s));
  auto read = submit();
  ASSERT_TRUE(read->wait(10s));
  const streamclass::Frame frame = read->frame();
  EXPECT_EQ(frame.status(), STATUS_SUCCESS);
  EXPECT_EQ(frame.header().PresentationTime.Time, 0);
  ASSERT_NE(frame.frame_info(), nullptr);
  EXPECT_EQ(frame.frame_info()->PictureNumber, 1);
  EXPECT_EQ(rig_.camera().snapshot().counters.replies_abandoned, 0u);
}

// Makes sure a failed size exchange fails the two oldest reads with no data and ends the thread. Catches a
// failed read with data, a thread going on after a device error.
TEST_F(TransferThreadTest, SizeFailureFailsTwoOldestReadsAndEndsTheThread) {
  ASSERT_NO_FATAL_FAILURE(start_paced("size-zero@2"));
  ASSERT_NO_FATAL_FAILURE(hold_in_size_exchange());
  auto r1 = submit();
  auto r2 = submit();
  auto r3 = submit();
  clock_->advance(kFramePeriodNs);
  ASSERT_TRUE(r1->wait(10s));
  ASSERT_TRUE(r2->wait(10s));
  ASSERT_TRUE(rig::wait_until([&] { return log_count(kStopped) == 1; }, 10s));
  for (auto *r : {r1.get(), r2.get()}) {
    EXPECT_EQ(r->status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(r->frame().header().DataUsed, 0u);
    EXPECT_EQ(log_count("StreamSRBComplete SRB " + hex(&r->request().srb()) + " STATUS C0000185\n"), 1u);
  }
  EXPECT_FALSE(r3->wait(50ms)) << "the third read waits for a new thread or the close";
  EXPECT_NE(stream_extension().pTransferThread, nullptr) << "a thread that gave up is still to be stopped";
  ASSERT_EQ(rig_.pin().close(), STATUS_SUCCESS);
  EXPECT_EQ(r3->status(), STATUS_CANCELLED);
  EXPECT_EQ(log_count("VELTRA_WaitEndingStalledTransfers Reset Pipes\n"), 0u);
}

// Makes sure a stop during a picture's fetch waits for its end. Catches a stop leaving the camera mid-reply.
TEST_F(TransferThreadTest, StopDuringAFetchWaitsForThatPicture) {
  // Every packet takes 1 ms of camera time: the test moves the clock packet by packet.
  ASSERT_NO_FATAL_FAILURE(start_paced(nullptr, 1'000'000, 1024));
  auto mid_picture = [&] {
    bool mid = false;
    rig_.camera().inspect([&](const emu::CameraCore &core) {
      const emu::CameraState &state = core.state();
      mid = state.phase == emu::CameraState::Phase::PictureSent && !state.last_was_etx &&
            state.send_offset >= 2048;
    });
    if (!mid)
      clock_->advance(1'000'000);
    return mid;
  };
  ASSERT_TRUE(rig::wait_until(mid_picture, 10s));
  const uint64_t resets = rig_.camera().snapshot().counters.resets;
  auto closing = std::async(std::launch::async, [&] { return rig_.pin().close(); });
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
  const emu::CameraSnapshot s = rig_.camera().snapshot();
  EXPECT_EQ(s.counters.pictures_sent, s.counters.pictures) << "every picture taken was fetched to its end";
  EXPECT_EQ(s.counters.replies_abandoned, 0u);
  EXPECT_EQ(s.counters.resets, resets) << "no pipe was reset";
}

// Makes sure every picture the driver refuses is counted by its reason, with the last refusal and the size
// announced for it, the picture buffer's size beside; a size answer that holds no size (a NAK) fails the size
// exchange unacknowledged. Catches a refusal counted as nothing, a NAK's stale bytes taken for a size.
TEST_F(TransferThreadTest, RefusedPicturesAreCountedWithTheirReason) {
  const struct {
    const char *fault;
    VELTRA_PICTURE_REFUSAL reason;
    bool ends_thread; // a failed size exchange: no size was announced
  } cases[] = {
      {"oversized@2", VELTRA_REFUSAL_TOO_LARGE, false},
      {"size-smaller@2", VELTRA_REFUSAL_LONGER_THAN_ANNOUNCED, false},
      {"nak@2", VELTRA_REFUSAL_FETCH_FAILED, true},
      {"size-checksum@2", VELTRA_REFUSAL_FETCH_FAILED, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    clear_log();
    emu::CameraConfig config = rig::fast_camera();
    ASSERT_EQ(emu::fault_plan_apply(&config.faults, c.fault), "");
    ASSERT_NO_FATAL_FAILURE(start_camera(config));
    ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
    ASSERT_TRUE(rig::wait_until(
        [&] {
          return c.ends_thread ? log_count(kStopped) == 1 : rig_.camera().snapshot().counters.pictures >= 4;
        },
        10s));
    KSPROPERTY_VELTRA_PICTURE_COUNTS_S counts;
    ASSERT_EQ(rig::picture_counts(rig_.pin(), &counts), STATUS_SUCCESS);
    const ULONG announced = c.ends_thread ? 0 : rig_.camera().pictures().at(1).announced;
    EXPECT_EQ(std::vector<ULONG>({counts.TooLarge, counts.LongerThanAnnounced, counts.FailedFetches}),
              std::vector<ULONG>({c.reason == VELTRA_REFUSAL_TOO_LARGE,
                                  c.reason == VELTRA_REFUSAL_LONGER_THAN_ANNOUNCED,
                                  c.reason == VELTRA_REFUSAL_FETCH_FAILED}));
    EXPECT_EQ(counts.LastRefusal, ULONG{c.reason});
    EXPECT_EQ(counts.LastAnnouncedSize, announced);
    EXPECT_EQ(counts.PictureBufferSize, 65536u);
    EXPECT_EQ(counts.DamagedFrames, 0u);
    EXPECT_EQ(
        log_count("** CAM_PICTURE_BUFFER_ADDR PictureSize=" + std::to_string(announced) + " Too Large\n"),
        c.reason == VELTRA_REFUSAL_TOO_LARGE ? 1u : 0u);
    EXPECT_EQ(rig_.camera().snapshot().counters.stray_acks, 0u)
        << "only answers holding a size are acknowledged";
    end_round();
  }
}
