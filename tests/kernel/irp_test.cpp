// IRPs: completion routines and their invoke-on flags, the walk stopped by
// STATUS_MORE_PROCESSING_REQUIRED, synchronous and asynchronous completion,
// the I/O manager's device-control requests, cancellation, and IRP misuse.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/kernel/test_bus.h"
#include "tests/support/platform_test.h"

namespace {

// What a completion routine saw.
struct Seen {
  std::atomic<int> calls{0};
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = 0;
  BOOLEAN pending_returned = FALSE;
  BOOLEAN cancel = FALSE;
  std::thread::id thread;
  NTSTATUS verdict = STATUS_SUCCESS; // what the routine returns
  bool free_irp = false;             // the routine frees the IRP
};

NTSTATUS observe(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto *seen = static_cast<Seen *>(context);
  seen->device = device;
  seen->status = irp->IoStatus.Status;
  seen->pending_returned = irp->PendingReturned;
  seen->cancel = irp->Cancel;
  seen->thread = std::this_thread::get_id();
  NTSTATUS verdict = seen->verdict;
  if (seen->free_irp)
    IoFreeIrp(irp);
  seen->calls++;
  return verdict;
}

// Builds the QRNUSB-style packet: two locations, `catcher` at the top (all
// flags, takes the IRP back) and `routine` in the location the bus gets.
PIRP build_two_level(Seen &catcher, Seen &routine, BOOLEAN on_success, BOOLEAN on_error, BOOLEAN on_cancel) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetCompletionRoutine(irp, observe, &catcher, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, observe, &routine, on_success, on_error, on_cancel);
  catcher.verdict = STATUS_MORE_PROCESSING_REQUIRED;
  return irp;
}

class IrpTest : public PlatformTest {
protected:
  std::unique_ptr<TestBus> bus;
  void SetUp() override {
    PlatformTest::SetUp();
    bus = TestBus::create();
    ASSERT_NE(bus->device, nullptr);
  }
  void TearDown() override {
    bus.reset();
    PlatformTest::TearDown();
  }
};

// Each invoke-on flag against success, error and cancel: a routine runs
// exactly when one of its flags matches; catches inverted or ignored flags.
TEST_F(IrpTest, InvokeOnFlagsDecideWhichRoutinesRun) {
  struct Case {
    bool success, error, cancel; // flags
    NTSTATUS status;
    bool cancelled;
    bool runs;
  };
  const Case cases[] = {
      {true, false, false, STATUS_SUCCESS, false, true},
      {true, false, false, STATUS_IO_DEVICE_ERROR, false, false},
      {false, true, false, STATUS_IO_DEVICE_ERROR, false, true},
      {false, true, false, STATUS_SUCCESS, false, false},
      {false, false, true, STATUS_SUCCESS, false, false},
      {false, false, true, STATUS_SUCCESS, true, true},
      {false, false, true, STATUS_CANCELLED, true, true},
      {true, false, false, STATUS_CANCELLED, true, false},
      {false, false, false, STATUS_SUCCESS, true, false},
      {true, true, true, STATUS_BUFFER_OVERFLOW, false, true}, // a warning is not success
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "flags " << c.success << c.error << c.cancel << " status 0x"
                                    << std::hex << c.status << " cancelled " << c.cancelled);
    Seen catcher, routine;
    PIRP irp = build_two_level(catcher, routine, c.success, c.error, c.cancel);
    irp->Cancel = c.cancelled ? TRUE : FALSE;
    bus->status = c.status;
    EXPECT_EQ(IofCallDriver(bus->device, irp), c.status);
    EXPECT_EQ(routine.calls.load(), c.runs ? 1 : 0);
    EXPECT_EQ(catcher.calls.load(), 1);
    EXPECT_EQ(catcher.status, c.status);
    IoFreeIrp(irp);
  }
}

// Synchronous completion: routines run in the caller's context, before
// IofCallDriver returns, each with the device of the location above it
// (NULL at the top).
TEST_F(IrpTest, SynchronousCompletionRunsInCallersContext) {
  Seen catcher, routine;
  PIRP irp = build_two_level(catcher, routine, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION top = IoGetCurrentIrpStackLocation(irp);
  top->DeviceObject = reinterpret_cast<PDEVICE_OBJECT>(0x1234); // the "driver above"
  bus->status = STATUS_SUCCESS;
  EXPECT_EQ(IofCallDriver(bus->device, irp), STATUS_SUCCESS);
  EXPECT_EQ(bus->dispatched.load(), 1);
  EXPECT_EQ(routine.calls.load(), 1);
  EXPECT_EQ(routine.thread, std::this_thread::get_id());
  EXPECT_EQ(routine.device, reinterpret_cast<PDEVICE_OBJECT>(0x1234));
  EXPECT_EQ(catcher.device, nullptr);
  EXPECT_FALSE(catcher.pending_returned);
  IoFreeIrp(irp);
}

// STATUS_MORE_PROCESSING_REQUIRED stops the walk: the routines above do not
// run; the owner may complete the IRP again, which resumes the walk.
TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalk) {
  Seen catcher, routine;
  PIRP irp = build_two_level(catcher, routine, TRUE, TRUE, TRUE);
  routine.verdict = STATUS_MORE_PROCESSING_REQUIRED;
  EXPECT_EQ(IofCallDriver(bus->device, irp), STATUS_SUCCESS);
  EXPECT_EQ(routine.calls.load(), 1);
  EXPECT_EQ(catcher.calls.load(), 0);
  // The routine's owner finishes the IRP later (the "forward and wait" shape).
  irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(catcher.calls.load(), 1);
  EXPECT_EQ(catcher.status, STATUS_IO_DEVICE_ERROR);
  IoFreeIrp(irp);
}

// The USB transfer shape: the completion routine frees the IRP and returns
// STATUS_MORE_PROCESSING_REQUIRED, synchronously and asynchronously.
TEST_F(IrpTest, RoutineFreesItsIrp) {
  for (bool pend : {false, true}) {
    Seen routine;
    routine.verdict = STATUS_MORE_PROCESSING_REQUIRED;
    routine.free_irp = true;
    PIRP irp = IoAllocateIrp(bus->device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, observe, &routine, TRUE, TRUE, TRUE);
    bus->pend = pend;
    NTSTATUS result = IofCallDriver(bus->device, irp);
    if (pend) {
      EXPECT_EQ(result, STATUS_PENDING);
      EXPECT_EQ(routine.calls.load(), 0);
      std::thread completer([&] { TestBus::complete(bus->take_pending(), STATUS_SUCCESS, 5); });
      completer.join();
    }
    EXPECT_EQ(routine.calls.load(), 1);
    EXPECT_EQ(routine.pending_returned, pend ? TRUE : FALSE);
    EXPECT_EQ(platform::irps_live(), 0u);
  }
}

// Asynchronous completion from another thread: the walk runs on the
// completing thread, and the pending mark of a location without routine
// propagates to the location above.
TEST_F(IrpTest, AsynchronousCompletionFromAnotherThread) {
  bus->pend = true;
  Seen catcher, routine;
  PIRP irp = build_two_level(catcher, routine, FALSE, FALSE, FALSE);
  EXPECT_EQ(IofCallDriver(bus->device, irp), STATUS_PENDING);
  EXPECT_EQ(platform::irps_in_flight(), 1u);
  std::thread::id completer_id;
  std::thread completer([&] {
    completer_id = std::this_thread::get_id();
    TestBus::complete(bus->take_pending(), STATUS_IO_DEVICE_ERROR);
  });
  completer.join();
  EXPECT_EQ(routine.calls.load(), 0);
  EXPECT_EQ(catcher.calls.load(), 1);
  EXPECT_EQ(catcher.thread, completer_id);
  EXPECT_TRUE(catcher.pending_returned);
  EXPECT_EQ(catcher.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(platform::irps_in_flight(), 0u);
  IoFreeIrp(irp);
}

// The InternalRequest shape: IoBuildDeviceIoControlRequest, next location
// filled by the caller, the I/O manager stores the status, sets the event
// and frees the IRP, whether the bus completes at once or later.
TEST_F(IrpTest, DeviceControlRequestSetsEventAndStatusBlock) {
  for (bool pend : {false, true}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    int urb = 0;
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x220003, bus->device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    next->Parameters.Others.Argument1 = &urb;
    next->Parameters.DeviceIoControl.IoControlCode = 0x220003;
    PVOID seen_argument = nullptr;
    ULONG seen_code = 0;
    bus->on_dispatch = [&](PIRP i) {
      seen_argument = IoGetCurrentIrpStackLocation(i)->Parameters.Others.Argument1;
      seen_code = IoGetCurrentIrpStackLocation(i)->Parameters.DeviceIoControl.IoControlCode;
    };
    bus->pend = pend;
    bus->status = STATUS_SUCCESS;
    bus->information = 9;
    NTSTATUS result = IofCallDriver(bus->device, irp);
    if (pend) {
      EXPECT_EQ(result, STATUS_PENDING);
      EXPECT_EQ(KeReadStateEvent(&event), 0);
      std::thread completer([&] { TestBus::complete(bus->take_pending(), STATUS_IO_DEVICE_ERROR, 3); });
      LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-3 * 10000000);
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, &timeout), STATUS_SUCCESS);
      completer.join();
      EXPECT_EQ(iosb.Status, STATUS_IO_DEVICE_ERROR);
      EXPECT_EQ(iosb.Information, 3u);
    } else {
      EXPECT_EQ(result, STATUS_SUCCESS);
      EXPECT_NE(KeReadStateEvent(&event), 0);
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, 9u);
      EXPECT_EQ(seen_argument, &urb);
      EXPECT_EQ(seen_code, 0x220003u);
    }
    EXPECT_EQ(platform::irps_live(), 0u);
  }
}

// Buffered device control: input copied in, at most OutputBufferLength of
// the reported bytes copied back; a pool failure gives no request.
TEST_F(IrpTest, BufferedDeviceControlCopiesBothWays) {
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
  char input[4] = {'a', 'b', 'c', 'd'};
  char output[6] = {};
  bus->on_dispatch = [](PIRP irp) {
    auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);
    std::memcpy(buffer, "ZYXWVU", 6);
    irp->IoStatus.Information = 100; // claims more than the output holds
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, bus->device, input, 4, output, 6, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(IofCallDriver(bus->device, irp), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(output, "ZYXWVU", 6), 0);

  platform::pool_fail_tag(PoolTag("IoBf"));
  EXPECT_EQ(IoBuildDeviceIoControlRequest(code, bus->device, input, 4, output, 6, FALSE, &event, &iosb),
            nullptr);
  platform::pool_faults_clear();
  platform::pool_fail_nth(1, PoolTag("Irp "));
  EXPECT_EQ(IoBuildDeviceIoControlRequest(code, bus->device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
            nullptr);
}

// Cancellation: IoCancelIrp sets Cancel and calls the cancel routine with
// the cancel spin lock held; routines invoked on cancel see the flag.
TEST_F(IrpTest, CancelCallsCancelRoutine) {
  bus->pend = true;
  Seen catcher, routine;
  PIRP irp = build_two_level(catcher, routine, FALSE, FALSE, TRUE);
  EXPECT_EQ(IofCallDriver(bus->device, irp), STATUS_PENDING);
  PIRP parked = bus->take_pending();
  ASSERT_EQ(parked, irp);
  static std::atomic<int> cancel_calls;
  cancel_calls = 0;
  IoSetCancelRoutine(parked, [](PDEVICE_OBJECT device, PIRP cancelled) {
    EXPECT_NE(device, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL); // cancel spin lock held
    cancel_calls++;
    IoReleaseCancelSpinLock(cancelled->CancelIrql);
    cancelled->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(cancelled, IO_NO_INCREMENT);
  });
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(cancel_calls.load(), 1);
  EXPECT_EQ(routine.calls.load(), 1);
  EXPECT_TRUE(routine.cancel);
  EXPECT_EQ(catcher.status, STATUS_CANCELLED);
  EXPECT_FALSE(IoCancelIrp(irp)); // no routine any more
  IoFreeIrp(irp);
}

// IRP misuse: completed twice, freed while in flight (freed later, no
// leak), freed by a routine that does not return
// STATUS_MORE_PROCESSING_REQUIRED, no stack location left, completion to
// the top of a driver-allocated IRP, cancel routine left set.
TEST_F(IrpTest, MisuseIsReported) {
  quiet_misuse();
  {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0, bus->device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    bus->on_dispatch = [](PIRP i) {
      IoCompleteRequest(i, IO_NO_INCREMENT);
    }; // completes; dispatch completes again
    IofCallDriver(bus->device, irp);
    bus->on_dispatch = nullptr;
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
  }
  {
    bus->pend = true;
    Seen routine;
    routine.verdict = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, observe, &routine, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(bus->device, irp), STATUS_PENDING);
    IoFreeIrp(irp); // still at the bus
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
    TestBus::complete(bus->take_pending(), STATUS_SUCCESS);
    EXPECT_EQ(routine.calls.load(), 1);
    EXPECT_EQ(platform::irps_live(), 0u);
    bus->pend = false;
  }
  {
    Seen routine;
    routine.free_irp = true; // and returns STATUS_SUCCESS
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, observe, &routine, TRUE, TRUE, TRUE);
    IofCallDriver(bus->device, irp);
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
    EXPECT_EQ(platform::irps_live(), 0u);
  }
  {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    bus->on_dispatch = [this](PIRP i) { EXPECT_EQ(IofCallDriver(bus->device, i), STATUS_INVALID_PARAMETER); };
    IofCallDriver(bus->device, irp); // completes to the top: nobody takes it back
    bus->on_dispatch = nullptr;
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 2u);
    IoCompleteRequest(irp, IO_NO_INCREMENT); // and once more
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
  }
  {
    Seen routine;
    routine.verdict = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, observe, &routine, TRUE, TRUE, TRUE);
    bus->on_dispatch = [](PIRP i) { IoSetCancelRoutine(i, [](PDEVICE_OBJECT, PIRP) {}); };
    IofCallDriver(bus->device, irp);
    bus->on_dispatch = nullptr;
    EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 1u);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    IoFreeIrp(irp);
  }
}

// Re-initialising an allocated IRP beyond its allocation or below the size of
// an IRP is reported (the transport re-initialises its own IRPs); catches a
// stack-location write past the packet.
TEST_F(IrpTest, InitializeBeyondTheAllocationIsReported) {
  quiet_misuse();
  PIRP small = IoAllocateIrp(1, FALSE);
  IoInitializeIrp(small, IoSizeOfIrp(4), 4); // larger than allocated
  IoInitializeIrp(small, 16, 1);             // smaller than an IRP
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irp), 2u);
  IoFreeIrp(small);
}

} // namespace
