// IRPs: the completion walk of the driver's two request shapes, at once and
// later, cancellation, and IRP misuse.
#include <atomic>
#include <thread>

#include "tests/kernel/test_bus.h"
#include "tests/support/rig_test.h"

namespace {

// What a completion routine saw, and what it does.
struct Seen {
  std::atomic<int> calls{0};
  NTSTATUS status = 0;
  BOOLEAN pending_returned = FALSE;
  BOOLEAN cancel = FALSE;
  std::thread::id thread;
  NTSTATUS verdict = STATUS_MORE_PROCESSING_REQUIRED; // what the routine returns
  bool free_irp = false;                              // the routine frees the IRP
};

NTSTATUS observe(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *seen = static_cast<Seen *>(context);
  seen->status = irp->IoStatus.Status;
  seen->pending_returned = irp->PendingReturned;
  seen->cancel = irp->Cancel;
  seen->thread = std::this_thread::get_id();
  const NTSTATUS verdict = seen->verdict;
  if (seen->free_irp)
    IoFreeIrp(irp);
  seen->calls++;
  return verdict;
}

// An IRP of the driver's own, with `seen` watching its completion.
PIRP own_irp(Seen &seen, CCHAR locations = 1) {
  PIRP irp = IoAllocateIrp(locations, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, observe, &seen, TRUE, TRUE, TRUE);
  return irp;
}

class IrpTest : public RigTest {
protected:
  TestBus bus; // made before the fixture's baseline, destroyed after its checks
};

// Makes sure both request shapes complete once, at once or later. Catches a walk past its stop.
TEST_F(IrpTest, RequestsCompleteOnceAtOnceOrLater) {
  for (bool pend : {false, true})
    for (bool bulk : {false, true}) {
      SCOPED_TRACE(std::string(bulk ? "bulk" : "internal") +
                   (pend ? " request, later" : " request, at once"));
      Seen seen;
      seen.verdict = bulk ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
      seen.free_irp = bulk;
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = bulk ? own_irp(seen, 2)
                      : IoBuildDeviceIoControlRequest(0x220003, bus.device, nullptr, 0, nullptr, 0, TRUE,
                                                      &event, &iosb);
      if (!bulk)
        IoSetCompletionRoutine(irp, observe, &seen, TRUE, TRUE, TRUE);
      bus.pend = pend;
      std::thread::id completer_id = std::this_thread::get_id();
      const NTSTATUS result = IofCallDriver(bus.device, irp);
      if (pend) {
        EXPECT_EQ(result, STATUS_PENDING);
        EXPECT_EQ(seen.calls.load(), 0);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        std::thread completer([&] {
          completer_id = std::this_thread::get_id();
          TestBus::complete(bus.take_parked(), STATUS_IO_DEVICE_ERROR, 3);
        });
        completer.join();
      }
      EXPECT_EQ(seen.calls.load(), 1);
      EXPECT_EQ(seen.thread, completer_id);
      EXPECT_EQ(seen.pending_returned, pend);
      EXPECT_EQ(seen.status, pend ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS);
      if (!bulk) {
        EXPECT_NE(KeReadStateEvent(&event), 0);
        EXPECT_EQ(iosb.Status, seen.status);
        EXPECT_EQ(iosb.Information, pend ? 3u : 0u);
      }
    }
}

// Makes sure IoCancelIrp calls the cancel routine once. Catches a cancel that is lost or repeated.
TEST_F(IrpTest, CancelCallsTheCancelRoutineOnce) {
  bus.pend = true;
  Seen seen;
  PIRP irp = own_irp(seen);
  EXPECT_EQ(IofCallDriver(bus.device, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_FALSE(IoCancelIrp(irp)); // no cancel routine any more
  EXPECT_EQ(seen.calls.load(), 1);
  EXPECT_TRUE(seen.cancel);
  EXPECT_EQ(seen.status, STATUS_CANCELLED);
  EXPECT_EQ(bus.take_parked(std::chrono::milliseconds(0)), nullptr);
  IoFreeIrp(irp);
}

// Makes sure IRP misuse is reported and survived. Catches the driver's IRP faults going unnoticed.
TEST_F(IrpTest, MisuseIsReported) {
  quiet_misuse();
  Seen done, parked, freeing;
  done.verdict = freeing.verdict = STATUS_SUCCESS;
  PIRP irp = own_irp(done);
  IofCallDriver(bus.device, irp);          // completed to the top: nobody takes it back
  IoCompleteRequest(irp, IO_NO_INCREMENT); // and once more
  IoInitializeIrp(irp, IoSizeOfIrp(4), 4); // larger than allocated
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 4u);

  freeing.free_irp = true;
  for (Seen *routine : {&parked, &freeing}) {
    bus.pend = routine == &parked;
    irp = own_irp(*routine);
    IofCallDriver(bus.device, irp);
    if (bus.pend) {
      IoFreeIrp(irp); // still at the bus
      TestBus::complete(bus.take_parked(), STATUS_SUCCESS);
    }
    EXPECT_EQ(routine->calls.load(), 1);
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
  }
}

} // namespace
