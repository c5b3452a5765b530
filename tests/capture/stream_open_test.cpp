// Stream open and close through the host: what an open sets up, the opens it
// refuses and the failures it must leave no trace of, and what a close undoes.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "capture/capture.h"
#include "platform/kernel/control.h"
#include "platform/kernel/pool.h"
#include "platform/streamclass/frame_stream.h"
#include "tests/support/rig_test.h"

using namespace std::chrono_literals;

namespace {

const ULONG kWdm = PoolTag("Wdm ");
const std::string kStarted = "VELTRA_ProcessTransferThread Started\n";
const std::string kStopped = "VELTRA_ProcessTransferThread Stopped\n";

size_t driver_blocks() {
  return platform::pool_tag_counts(kWdm).live_blocks;
}

} // namespace

class StreamOpenTest : public RigTest {
protected:
  void SetUp() override {
    RigTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_camera());
  }
  STREAMEX &stream_extension() { return *static_cast<PSTREAMEX>(rig_.pin().stream_extension()); }
  // Runs the open pin without a master clock and streams on it.
  void run_stream() {
    ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
    rig::StreamOptions options;
    options.buffers = 2;
    options.keep_data = false;
    ASSERT_EQ(rig_.stream(options), STATUS_SUCCESS);
  }
};

// Makes sure an open sets up the stream and its thread, a close undoes it all, the next open counts from 1.
// Catches the close leaving the transfer thread running, a copy or clock kept, a frame count carried over.
TEST_F(StreamOpenTest, OpenSetsUpTheStreamAndCloseUndoesIt) {
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  const KS_VIDEOINFOHEADER &vih =
      reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(rig_.format().data())->VideoInfoHeader;
  STREAMEX &ext = stream_extension();
  EXPECT_EQ(rig_.extension()->pStrmEx[0], &ext);
  EXPECT_EQ(ext.KSState, KSSTATE_STOP);
  EXPECT_EQ(ext.AvgTimePerFrame, 666666);
  ASSERT_NE(ext.pVideoInfoHeader, nullptr);
  EXPECT_EQ(std::memcmp(ext.pVideoInfoHeader, &vih, sizeof(KS_VIDEOINFOHEADER)), 0);
  EXPECT_NE(ext.pTransferThread, nullptr);
  char line[96];
  std::snprintf(line, sizeof(line), "VIDEOINFOHEADER: rcTarget = (%d,%d) - (%d,%d)\n", vih.rcTarget.left,
                vih.rcTarget.top, vih.rcTarget.right, vih.rcTarget.bottom);
  EXPECT_EQ(log_count(line), 1u);
  EXPECT_EQ(log_count("VIDEOINFOHEADER: biWidth,Height = 320, 240\n"), 1u);
  EXPECT_EQ(log_count(kStarted), 1u);

  ASSERT_EQ(rig_.pin().use_default_clock(), STATUS_SUCCESS);
  ASSERT_EQ(rig_.pin().set_state(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(rig_.pin().close(), STATUS_SUCCESS);
  EXPECT_EQ(rig_.extension()->pStrmEx[0], nullptr);
  EXPECT_EQ(ext.pKSDataFormat, nullptr);
  EXPECT_EQ(ext.pVideoInfoHeader, nullptr);
  EXPECT_EQ(ext.hMasterClock, nullptr);
  EXPECT_EQ(ext.KSState, KSSTATE_STOP);
  EXPECT_EQ(ext.pTransferThread, nullptr);
  EXPECT_EQ(log_count("AdapterCloseStream 0x00000000\n"), 1u);
  EXPECT_EQ(log_count("QueueCancelAllSRBs Called\n"), 0u) << "no read was queued";
  EXPECT_EQ(log_count(kStopped), 1u);

  ASSERT_EQ(rig_.close_pin(), STATUS_SUCCESS);
  ASSERT_EQ(rig_.open_pin(160, 120, false), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(run_stream());
  ASSERT_TRUE(rig_.frames().wait_frames(2, 10s));
  const rig::FrameRecord first = rig_.frames().records().front();
  EXPECT_EQ(first.frame_number, 1u);
  EXPECT_EQ(first.header.PresentationTime.Time, 0);
  EXPECT_EQ(first.header.DataUsed, 160u * 120 * 3);
  EXPECT_EQ(log_count(kStarted), 2u);
}

// Makes sure refused or failed opens log, return their status and leave nothing. Catches format copies leaked
// on a failure path, a stream without its thread.
TEST_F(StreamOpenTest, RefusedAndFailedOpensLeaveNothing) {
  struct OpenCase {
    const char *name;
    ULONG stream;
    LONG width;
    std::function<void()> fault;
    NTSTATUS status;
    const char *line; // the driver's line for it, if any
  };
  const OpenCase cases[] = {
      {"stream 1", 1, 320, [] {}, STATUS_INVALID_PARAMETER, "Invalid StreamNumber\n"},
      {"a width not offered", 0, 640, [] {}, STATUS_INVALID_PARAMETER, "AdapterVerifyFormat Not Match\n"},
      {"no pool for the format copy", 0, 320, [] { platform::pool_fail_nth(1, kWdm); },
       STATUS_INSUFFICIENT_RESOURCES, "AdapterSetFormat Error\n"},
      {"no pool for the header copy", 0, 320, [] { platform::pool_fail_nth(2, kWdm); },
       STATUS_INSUFFICIENT_RESOURCES, nullptr},
      {"no thread", 0, 320, [] { platform::pool_fail_tag(PoolTag("Thrd")); }, STATUS_INSUFFICIENT_RESOURCES,
       "VELTRA_StartTransferThread Creation Failed\n"},
  };
  for (const OpenCase &c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    std::vector<uint8_t> format;
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, 320, 240, format), STATUS_SUCCESS);
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data())->VideoInfoHeader.bmiHeader.biWidth =
        c.width;
    const size_t blocks = driver_blocks();
    std::unique_ptr<streamclass::Pin> pin;
    c.fault();
    EXPECT_EQ(rig_.adapter().open_pin(c.stream, format, pin, false), c.status);
    platform::pool_faults_clear();
    if (c.line != nullptr) {
      EXPECT_EQ(log_count(c.line), 1u);
    }
    EXPECT_EQ(rig_.extension()->pStrmEx[0], nullptr);
    EXPECT_EQ(log_count(kStarted), 0u);
    EXPECT_EQ(driver_blocks(), blocks);
  }
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(run_stream());
  EXPECT_TRUE(rig_.frames().wait_frames(2, 10s));
}

// Makes sure a second open is refused while the open stream goes on. Catches it replacing the first.
TEST_F(StreamOpenTest, SecondOpenIsRefusedAndTheOpenStreamGoesOn) {
  ASSERT_EQ(rig_.open_pin(320, 240, false), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(run_stream());
  ASSERT_TRUE(rig_.frames().wait_frames(2, 10s));
  PSTREAMEX open_stream = rig_.extension()->pStrmEx[0];
  clear_log();
  std::unique_ptr<streamclass::Pin> second;
  EXPECT_EQ(rig_.adapter().open_pin(0, rig_.format(), second, false), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig_.extension()->pStrmEx[0], open_stream);
  EXPECT_EQ(log_count(kStarted), 0u);
  EXPECT_EQ(log_count("Invalid StreamNumber\n") + log_count("AdapterVerifyFormat Not Match\n"), 0u);
  const size_t frames = rig_.frames().frames();
  EXPECT_TRUE(rig_.frames().wait_frames(frames + 3, 10s));
}
