// The debug channel: messages go through DubugMsg, the level filter and the
// debug device's procedure into its sink, exactly as the driver logs.
#include "diag/debug_msg.h"
#include "platform/kernel/control.h"
#include "tests/support/log_tap.h"
#include "tests/support/rig_test.h"

#include <climits>

namespace {

class DebugMsgTest : public RigTest {};

// Makes sure levels up to 3 pass as formatted and the tap sees all. Catches filter or text changes.
TEST_F(DebugMsgTest, MessagesPassTheLevelFilterAsFormatted) {
  std::vector<std::string> expected;
  for (LONG level : {3, 4, 0, -1, INT_MIN, 1, 2, 5, INT_MAX}) {
    DubugMsg(level, "level %d\n", level);
    if (level <= 3)
      expected.push_back("level " + std::to_string(level) + "\n");
  }
  DubugMsg(3, "no line end, %s|%ws|%I64d|%c", "text", u"wide", -5000000000LL, 'z');
  DubugMsg(3, std::string(600, 'q').c_str());
  DubugMsg(3, "%d %s %X|\n"); // more conversions than arguments
  expected.insert(expected.end(),
                  {"no line end, text|wide|-5000000000|z", std::string(511, 'q'), "0 (null) 0|\n"});
  test_support::LogTap tap;
  DubugMsg(4, "detail %08X\n", 0x1A2Bu);
  DubugMsg(3, "progress\n");
  expected.push_back("progress\n");
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(tap.texts(), (std::vector<std::string>{"detail 00001A2B\n", "progress\n"}));
  EXPECT_EQ(tap.texts(4), std::vector<std::string>{"detail 00001A2B\n"});
}

// Makes sure the channel follows sink switches, removal and new devices. Catches a stale procedure.
TEST_F(DebugMsgTest, ChannelFollowsTheDevice) {
  auto second = std::make_shared<platform::LineRecorder>();
  DubugMsg(3, "first device\n");
  platform::debug_device_set_sink(second);
  DubugMsg(3, "switched\n");
  platform::debug_device_set_sink(nullptr);
  DubugMsg(3, "to no sink\n");
  platform::debug_device_remove();
  LONG count = -1;
  DubugMsg(1, "abc%n after removal\n", &count); // formatted all the same
  EXPECT_EQ(count, 3);
  StartDebugMsg();
  EXPECT_EQ(gDebugMsgProc.load(), nullptr);
  auto third = std::make_shared<platform::LineRecorder>();
  ASSERT_EQ(platform::debug_device_create(third), STATUS_SUCCESS);
  DubugMsg(3, "not yet started\n");
  StartDebugMsg();
  EXPECT_EQ(gDebugMsgProc.load(), &platform::debug_device_message);
  DubugMsg(3, "third device\n");
  EXPECT_EQ(log(), std::vector<std::string>{"first device\n"});
  EXPECT_EQ(second->lines(), std::vector<std::string>{"switched\n"});
  EXPECT_EQ(third->lines(), std::vector<std::string>{"third device\n"});
}

// Makes sure a debug device the pool refuses leaves nothing. Catches a lookup finding a half-made device.
TEST_F(DebugMsgTest, RefusedDebugDeviceLeavesNothing) {
  EXPECT_EQ(platform::debug_device_create(recorder_), STATUS_OBJECT_NAME_COLLISION); // one at a time
  platform::debug_device_remove();
  int failures = 0;
  for (uint64_t nth = 1; nth <= 4; ++nth) {
    platform::pool_fail_nth(nth);
    const NTSTATUS status = platform::debug_device_create(recorder_);
    platform::pool_faults_clear();
    failures += NT_SUCCESS(status) ? 0 : 1;
    EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
    EXPECT_EQ(platform::debug_device_present(), NT_SUCCESS(status));
    EXPECT_EQ(QRNDBG_GetAddMsgProc() != nullptr, NT_SUCCESS(status));
    platform::debug_device_remove();
  }
  EXPECT_GE(failures, 2); // the driver object and the device object
}

} // namespace
