// IRP misuse: what the platform reports of a driver that completes, frees or
// sizes its IRPs wrongly. (The completion walk and cancels: the kernel stress
// test and the USB transfer tests.)
#include <atomic>

#include "tests/kernel/test_bus.h"
#include "tests/support/rig_test.h"

namespace {

// How often a completion routine ran, and what it does.
struct Seen {
  std::atomic<int> calls{0};
  NTSTATUS verdict = STATUS_MORE_PROCESSING_REQUIRED; // what the routine returns
  bool free_irp = false;                              // the routine frees the IRP
};

NTSTATUS observe(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *seen = static_cast<Seen *>(context);
  const NTSTATUS verdict = seen->verdict;
  if (seen->free_irp)
    IoFreeIrp(irp);
  seen->calls++;
  return verdict;
}

// An IRP of the driver's own, with `seen` watching its completion.
PIRP own_irp(Seen &seen) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, observe, &seen, TRUE, TRUE, TRUE);
  return irp;
}

class IrpTest : public RigTest {
protected:
  TestBus bus; // made before the fixture's baseline, destroyed after its checks
};

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
