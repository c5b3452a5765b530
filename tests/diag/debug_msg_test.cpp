// Debug channel tests: messages go through DubugMsg, the level filter and the
// debug device's procedure into a LineRecorder, exactly as the driver logs.
#include "diag/debug_msg.h"
#include "platform/debugdev/debug_device.h"
#include "platform/debugdev/line_recorder.h"
#include "platform/kernel/control.h"
#include "platform/kernel/pool.h"
#include "tests/support/log_tap.h"
#include "tests/support/platform_test.h"

#include <climits>
#include <memory>
#include <string>
#include <vector>

namespace {

class DebugMsgTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gDebugMsgProc.store(nullptr);
  }
  void TearDown() override {
    platform::debug_device_remove();
    gDebugMsgProc.store(nullptr);
    PlatformTest::TearDown();
  }

  // Creates the debug device over recorder_ and opens the channel.
  void StartWithDevice() {
    ASSERT_EQ(platform::debug_device_create(recorder_), STATUS_SUCCESS);
    StartDebugMsg();
    ASSERT_NE(gDebugMsgProc.load(), nullptr);
  }

  std::shared_ptr<platform::LineRecorder> recorder_ = std::make_shared<platform::LineRecorder>();
};

} // namespace

// The level filter: catches an unsigned comparison (negative levels dropped)
// and an off-by-one at level 3.
TEST_F(DebugMsgTest, LevelFilterPassesThreeAndBelow) {
  StartWithDevice();
  struct {
    LONG level;
    bool passed;
  } const rows[] = {{3, true}, {4, false}, {0, true},  {-1, true},      {INT_MIN, true},
                    {1, true}, {2, true},  {5, false}, {INT_MAX, false}};
  std::vector<std::string> expected;
  for (const auto &row : rows) {
    std::string text = "level " + std::to_string(row.level) + "\n";
    DubugMsg(row.level, "level %d\n", row.level);
    if (row.passed)
      expected.push_back(text);
  }
  EXPECT_EQ(recorder_->lines(), expected);
}

// The trace tap sees every level while the channel still filters: catches a tap
// placed behind the filter and a tap that changes what the device receives.
TEST_F(DebugMsgTest, TraceTapSeesEveryLevel) {
  StartWithDevice();
  std::vector<test_support::TappedLine> tapped;
  {
    test_support::LogTap tap;
    DubugMsg(4, "detail %08X\n", 0x1A2Bu);
    DubugMsg(3, "progress\n");
    tapped = tap.lines();
  }
  DubugMsg(4, "after the tap\n");
  ASSERT_EQ(tapped.size(), 2u);
  EXPECT_EQ(tapped[0].level, 4);
  EXPECT_EQ(tapped[0].text, "detail 00001A2B\n");
  EXPECT_EQ(tapped[1].text, "progress\n");
  EXPECT_EQ(recorder_->lines(), std::vector<std::string>{"progress\n"});
}

// Messages are passed as formatted: catches an added prefix or line end, a
// lost argument on the way through the slots, and a long message not cut.
TEST_F(DebugMsgTest, TextIsPassedAsFormatted) {
  StartWithDevice();
  const std::string long_text(600, 'q');
  auto *srb = reinterpret_cast<void *>(0x00007F12DEADBEEFull);
  DubugMsg(3, "Plain text with no conversion: 100 percent\n");
  DubugMsg(3, "no line end");
  DubugMsg(3, "StreamReceiveDataPacket %08X %08X %08X\n", srb, 5, 0xFFFFFFFFu);
  DubugMsg(3, "** CAM_PICTURE_SIZE_ADDR Received %d\n", -1);
  DubugMsg(3, "%s|%ws|%I64d|%c\n", "text", u"wide", -5000000000LL, 'z');
  DubugMsg(3, long_text.c_str());
  DubugMsg(3, "%d %s %X|\n"); // more conversions than arguments
  const std::vector<std::string> expected = {
      "Plain text with no conversion: 100 percent\n",
      "no line end",
      "StreamReceiveDataPacket DEADBEEF 00000005 FFFFFFFF\n",
      "** CAM_PICTURE_SIZE_ADDR Received -1\n",
      "text|wide|-5000000000|z\n",
      std::string(511, 'q'),
      "0 (null) 0|\n",
  };
  EXPECT_EQ(recorder_->lines(), expected);
}

// Every message is formatted whatever its level or the device: a %n in a
// filtered or undeliverable message still stores its count.
TEST_F(DebugMsgTest, FilteredMessagesAreFormatted) {
  LONG count = -1;
  DubugMsg(1, "abc%n\n", &count); // no channel
  EXPECT_EQ(count, 3);
  StartWithDevice();
  count = -1;
  DubugMsg(4, "abcd%n\n", &count); // filtered
  EXPECT_EQ(count, 4);
  EXPECT_EQ(recorder_->size(), 0u);
}

// Without the debug device the channel stays closed and messages vanish:
// catches a lookup that returns a stale or garbage procedure.
TEST_F(DebugMsgTest, AbsentDeviceDropsMessages) {
  EXPECT_EQ(QRNDBG_GetAddMsgProc(), nullptr);
  StartDebugMsg();
  EXPECT_EQ(gDebugMsgProc.load(), nullptr);
  DubugMsg(1, "DriverEntry    Arg1=0x%08X\n", 0x1234);
  DubugMsg(-3, "nothing\n");
  // A device created afterwards sees nothing of what was logged before.
  ASSERT_EQ(platform::debug_device_create(recorder_), STATUS_SUCCESS);
  DubugMsg(1, "before the channel is opened\n");
  EXPECT_EQ(recorder_->size(), 0u);
}

// StartDebugMsg looks the device up again each time: catches a procedure
// cached once for good, and a device that stays held after a lookup.
TEST_F(DebugMsgTest, StartLooksTheDeviceUpAgain) {
  StartDebugMsg();
  EXPECT_EQ(gDebugMsgProc.load(), nullptr);

  StartWithDevice();
  EXPECT_EQ(gDebugMsgProc.load(), &platform::debug_device_message);
  DubugMsg(3, "first device\n");

  // Removed while the driver still holds the procedure: messages are dropped
  // safely; the next start finds no device.
  platform::debug_device_remove();
  EXPECT_FALSE(platform::debug_device_present());
  DubugMsg(3, "after removal\n");
  StartDebugMsg();
  EXPECT_EQ(gDebugMsgProc.load(), nullptr);

  // A new device with another sink is found by the next start.
  auto second = std::make_shared<platform::LineRecorder>();
  ASSERT_EQ(platform::debug_device_create(second), STATUS_SUCCESS);
  DubugMsg(3, "not yet started\n");
  StartDebugMsg();
  DubugMsg(3, "second device\n");

  EXPECT_EQ(recorder_->lines(), std::vector<std::string>{"first device\n"});
  EXPECT_EQ(second->lines(), std::vector<std::string>{"second device\n"});
}

// The debug device: one at a time, its extension's first word is the
// procedure, and a failed creation leaves nothing behind.
TEST_F(DebugMsgTest, DebugDeviceLifecycle) {
  ASSERT_EQ(platform::debug_device_create(recorder_), STATUS_SUCCESS);
  EXPECT_EQ(platform::debug_device_create(recorder_), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_TRUE(platform::debug_device_present());
  EXPECT_EQ(QRNDBG_GetAddMsgProc(), &platform::debug_device_message);
  platform::debug_device_remove();
  platform::debug_device_remove(); // nothing left to remove
  EXPECT_FALSE(platform::debug_device_present());

  // Each allocation of the creation fails in turn.
  int failures = 0;
  for (uint64_t nth = 1; nth <= 4; ++nth) {
    platform::pool_fail_nth(nth);
    NTSTATUS status = platform::debug_device_create(recorder_);
    platform::pool_faults_clear();
    if (NT_SUCCESS(status)) {
      platform::debug_device_remove();
    } else {
      ++failures;
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
      EXPECT_FALSE(platform::debug_device_present());
      EXPECT_EQ(QRNDBG_GetAddMsgProc(), nullptr);
    }
  }
  EXPECT_GE(failures, 2); // the driver object and the device object
}

// The sink can be switched while the device exists; NULL drops messages.
TEST_F(DebugMsgTest, SinkSwitch) {
  StartWithDevice();
  auto other = std::make_shared<platform::LineRecorder>();
  DubugMsg(3, "one\n");
  platform::debug_device_set_sink(other);
  DubugMsg(3, "two\n");
  platform::debug_device_set_sink(nullptr);
  DubugMsg(3, "three\n");
  EXPECT_EQ(recorder_->lines(), std::vector<std::string>{"one\n"});
  EXPECT_EQ(other->lines(), std::vector<std::string>{"two\n"});
}
