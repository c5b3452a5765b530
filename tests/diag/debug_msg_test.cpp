// The debug device made with the pool refusing memory. (The level filter: every
// test that compares the driver's log whole; the formatting: osvprint_test.cpp;
// sinks switched and the device made again: debug_msg_stress_test.cpp.)
#include "diag/debug_msg.h"
#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"

namespace {

class DebugMsgTest : public RigTest {};

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
