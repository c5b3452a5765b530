// Sink tests: the recorder's search and bounded waits, the file and stderr
// sinks writing texts unchanged.
#include "platform/debugdev/debug_sink.h"
#include "platform/debugdev/line_recorder.h"
#include "tests/support/platform_test.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {
class DebugSinkTest : public PlatformTest {};
} // namespace

// Reading and searching: catches texts altered on the way in and a clear that
// leaves messages or the dropped count behind.
TEST_F(DebugSinkTest, RecorderKeepsTextsAsDelivered) {
  platform::LineRecorder recorder(3);
  recorder.write("Frame Number is 1\n");
  recorder.write("two lines\nin one message\n");
  recorder.write("Frame Number is 2\n");
  recorder.write("over the limit\n");
  EXPECT_EQ(recorder.size(), 3u);
  EXPECT_EQ(recorder.dropped(), 1u);
  EXPECT_TRUE(recorder.contains("two lines\nin one message\n"));
  EXPECT_FALSE(recorder.contains("Frame Number is 1"));
  EXPECT_EQ(recorder.find("Number is 2").value_or(""), "Frame Number is 2\n");
  EXPECT_FALSE(recorder.find("absent").has_value());
  EXPECT_EQ(recorder.count("Frame Number"), 2u);
  recorder.clear();
  EXPECT_EQ(recorder.size(), 0u);
  EXPECT_EQ(recorder.dropped(), 0u);
  recorder.write("after clear\n");
  EXPECT_EQ(recorder.lines(), std::vector<std::string>{"after clear\n"});
}

// Waiting: catches a wait that misses a message already kept, one that misses
// a message arriving later, and a wait that does not end at its timeout.
TEST_F(DebugSinkTest, RecorderWaitsBounded) {
  platform::LineRecorder recorder;
  recorder.write("already here\n");
  EXPECT_TRUE(recorder.wait_for("already", 0ms));

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(recorder.wait_for("never", 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  std::thread writer([&] {
    std::this_thread::sleep_for(20ms);
    recorder.write("noise\n");
    recorder.write("late arrival\n");
  });
  EXPECT_TRUE(recorder.wait_for("late arrival", 10s));
  EXPECT_TRUE(recorder.wait_for_size(3, 10s));
  writer.join();
  EXPECT_FALSE(recorder.wait_for_size(4, 10ms));
}

// The file sink writes each text unchanged and in order; the null sink counts.
TEST_F(DebugSinkTest, FileAndNullSinks) {
  auto path =
      std::filesystem::temp_directory_path() / ("dscam_debug_sink_" + std::to_string(::getpid()) + ".log");
  {
    platform::FileSink sink(path.string());
    ASSERT_TRUE(sink.is_open());
    sink.write("first\n");
    sink.write("no end, ");
    sink.write("second\n");
  }
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "first\nno end, second\n");
  std::filesystem::remove(path);

  platform::FileSink missing("/nonexistent-dir/x.log");
  EXPECT_FALSE(missing.is_open());
  missing.write("dropped\n");

  platform::NullSink null;
  null.write("a\n");
  null.write("b\n");
  EXPECT_EQ(null.messages(), 2u);

  testing::internal::CaptureStderr();
  platform::StderrSink err;
  err.write("to stderr\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
}
