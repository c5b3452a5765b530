// The USB tests' fixture: a scripted device on the rig's bus with the driver
// started over it, so that the transport runs on the pipes device initialization
// selected; a callback recording how a QRNUSB_ReadWrite ended; and a bulk read the
// test builds and sends itself, for what QRNUSB_ReadWrite hides (the request
// packet, the URB's flags).
#pragma once

#include <atomic>
#include <thread>

#include "adapter/adapter.h"
#include "diag/debug_msg.h"
#include "emulator/usb/scripted_device.h"
#include "platform/kernel/control.h"
#include "tests/support/rig_test.h"
#include "usb/qrnusb.h"

namespace usbtest {

// What one QRNUSB_ReadWrite reported through record_transfer.
struct TransferResult {
  KEVENT done; // notification: set by the callback
  std::atomic<int> calls{0};
  std::atomic<ULONG> bytes{0};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread::id thread; // where the callback ran; written before done is set
  KIRQL irql = PASSIVE_LEVEL;
  uint64_t pool_baseline = platform::pool_sequence();
  size_t live_at_callback = 0; // the transfer's context, URB and MDL still live then

  TransferResult() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  bool wait() { return rig::wait_object(&done, std::chrono::seconds(5)) == STATUS_SUCCESS; }
};

// The tests' QRNUSB_RW_CALLBACK: records the result, logs "TEST CALLBACK\n" (its
// place among the transport's lines shows) and sets done.
inline NTSTATUS record_transfer(PVOID context, ULONG length, NTSTATUS status) {
  auto result = static_cast<TransferResult *>(context);
  DubugMsg(2, "TEST CALLBACK\n");
  for (const platform::PoolBlock &block : platform::pool_live_blocks_since(result->pool_baseline))
    result->live_at_callback += block.tag == PoolTag("Wdm ") || block.tag == PoolTag("Mdl ") ? 1 : 0;
  result->bytes = length;
  result->status = status;
  result->thread = std::this_thread::get_id();
  result->irql = KeGetCurrentIrql();
  result->calls.fetch_add(1);
  KeSetEvent(&result->done, 0, FALSE);
  return STATUS_SUCCESS;
}

// A 64-byte bulk IN transfer built with the driver's builders and sent with the test's own completion
// routine, which returns `verdict` (the IRP freed first with `free_in_routine`); or, with `io_manager`, the
// I/O manager's request (IoBuildDeviceIoControlRequest, as the control transfers send it), which the I/O
// manager frees and ends by setting `done` and `iosb`. Destroy it only once it has completed.
struct OwnTransfer {
  OwnTransfer(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe, bool io_manager = false)
      : pdo(device), verdict(io_manager ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED),
        irp_freed(io_manager), io_manager(io_manager) {
    mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    urb = QRNUSB_BuildAsyncReadWriteRequest(mdl, pipe->PipeHandle, 1);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = io_manager ? IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr,
                                                     0, TRUE, &done, &iosb)
                     : QRNUSB_BuildAsyncInternalDeviceControlRequest(pdo, urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, this, TRUE, TRUE, TRUE);
  }
  ~OwnTransfer() {
    if (!irp_freed)
      IoFreeIrp(irp);
    IoFreeMdl(mdl);
    ExFreePool(urb);
  }
  NTSTATUS submit() { return IofCallDriver(pdo, irp); }
  static NTSTATUS routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto self = static_cast<OwnTransfer *>(context);
    const NTSTATUS verdict = self->verdict;
    if (self->free_in_routine)
      IoFreeIrp(irp);
    self->calls.fetch_add(1);
    if (!self->io_manager)
      KeSetEvent(&self->done, 0, FALSE);
    return verdict;
  }

  PDEVICE_OBJECT pdo;
  uint8_t buffer[64] = {};
  PMDL mdl = nullptr;
  PURB urb = nullptr;
  PIRP irp = nullptr;
  KEVENT done;
  IO_STATUS_BLOCK iosb{}; // io_manager only
  std::atomic<int> calls{0};
  NTSTATUS verdict;
  bool free_in_routine = false;
  bool irp_freed; // by the test or the I/O manager: the destructor leaves it
  const bool io_manager;
};

class UsbTest : public RigTest {
protected:
  // Plugs a scripted device into the rig and starts the driver over it.
  void start_scripted() {
    device_ = std::make_shared<emu::ScriptedUsbDevice>();
    ASSERT_TRUE(rig_.plug(device_));
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
    clear_log();
  }
  PDEVICE_OBJECT pdo() const { return rig_.pdo(); }
  PUSBD_PIPE_INFORMATION in_pipe() const { return pipe(rig_.extension()->InPipeIndex); }
  PUSBD_PIPE_INFORMATION out_pipe() const { return pipe(rig_.extension()->OutPipeIndex); }
  PUSBD_PIPE_INFORMATION pipe(ULONG index) const {
    return rig_.extension()->pInterfaceInformation->Pipes + index;
  }
  // QRNUSB_ReadWrite on the IN (direction non-zero) or the OUT pipe into `result`.
  NTSTATUS transfer(TransferResult &result, void *buffer, ULONG length, ULONG direction = 1) {
    return QRNUSB_ReadWrite(pdo(), buffer, length, direction, direction != 0 ? in_pipe() : out_pipe(),
                            record_transfer, &result);
  }

  std::shared_ptr<emu::ScriptedUsbDevice> device_;
};

} // namespace usbtest
