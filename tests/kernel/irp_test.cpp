// IRP misuse: what the platform reports of a driver that completes, frees or sizes its IRPs wrongly, with
// its own bulk transfers on the rig's bus. (The completion walk and cancels: the USB transfer and stress
// tests.)
#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

const uint8_t kPacket[] = {0x06};

using IrpTest = UsbTest;

// Makes sure IRP misuse is reported and survived. Catches the driver's IRP faults going unnoticed.
TEST_F(IrpTest, MisuseIsReported) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  device_->set_loopback(false);
  quiet_misuse();
  OwnTransfer done(pdo(), in_pipe());
  done.verdict = STATUS_SUCCESS;
  device_->queue_in(kPacket);
  EXPECT_EQ(done.submit(), STATUS_SUCCESS);     // completed to the top: nobody takes it back
  IoCompleteRequest(done.irp, IO_NO_INCREMENT); // and once more
  const CCHAR larger = static_cast<CCHAR>(done.irp->StackCount + 1);
  IoInitializeIrp(done.irp, IoSizeOfIrp(larger), larger);
  IoFreeIrp(done.irp);
  IoFreeIrp(done.irp);
  done.irp_freed = true;
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 4u);

  OwnTransfer parked(pdo(), in_pipe());
  ASSERT_EQ(parked.submit(), STATUS_PENDING);
  IoFreeIrp(parked.irp); // still at the bus: freed when it completes
  parked.irp_freed = true;
  device_->queue_in(kPacket);
  ASSERT_EQ(rig::wait_object(&parked.done, std::chrono::seconds(5)), STATUS_SUCCESS);
  EXPECT_EQ(parked.calls.load(), 1);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);

  OwnTransfer freeing(pdo(), in_pipe()); // its routine frees it and lets the walk go on
  freeing.verdict = STATUS_SUCCESS;
  freeing.free_in_routine = freeing.irp_freed = true;
  device_->queue_in(kPacket);
  (void)freeing.submit();
  EXPECT_EQ(freeing.calls.load(), 1);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
}

} // namespace
} // namespace usbtest
