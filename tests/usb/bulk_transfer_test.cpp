// Bulk transfers through the transport (QRNUSB_ReadWrite) and the bus driver to
// the scripted device, on the pipes the started driver selected: both completion
// paths, what ends a pending transfer, the device's errors, the transport's own
// failures and what the bus refuses.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

using emu::ScriptedUsbDevice;
using namespace std::chrono_literals;

class BulkTransferTest : public UsbTest {};

// Makes sure a read completes at once in the caller's context when the device has
// its answer, and later at DISPATCH_LEVEL when the answer comes later: on the
// host-controller thread when the test answers, on the device's own thread when
// that thread answers; once, with the bytes in place and the transfer's records
// released first. Catches a bus that knows one path only, a completion handed to
// the host-controller thread needlessly, a second callback, a callback that still
// sees the records.
TEST_F(BulkTransferTest, CompletesAtOnceOrLaterOnTheAnsweringThread) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  device_->set_loopback(false);
  enum class Where { Caller, HostController, Device };
  struct Case {
    const char *what;
    ScriptedUsbDevice::AnswerMode mode;
    bool answer_first; // the device has its answer before the read starts
    ULONG direction;
    NTSTATUS returned;
    Where where;
  };
  const Case cases[] = {
      {"answered at once", ScriptedUsbDevice::AnswerMode::Immediate, true, 1, STATUS_SUCCESS, Where::Caller},
      {"direction 2", ScriptedUsbDevice::AnswerMode::Immediate, true, 2, STATUS_SUCCESS, Where::Caller},
      {"answered later", ScriptedUsbDevice::AnswerMode::Immediate, false, 1, STATUS_PENDING,
       Where::HostController},
      {"device thread", ScriptedUsbDevice::AnswerMode::Deferred, true, 1, STATUS_PENDING, Where::Device},
  };
  const uint8_t packet[] = {0x03, 0x00, 0x02, 0x00, 0xAB, 0xCD, 0x78, 0x01};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    device_->set_answer_mode(c.mode, 2ms);
    const uint64_t later_before = rig_.bus().counters().completed_later;
    std::vector<uint8_t> buffer(65536, 0xEE);
    TransferResult result;
    if (c.answer_first)
      device_->queue_in(packet);
    EXPECT_EQ(transfer(result, buffer.data(), 65536, c.direction), c.returned);
    if (!c.answer_first)
      device_->queue_in(packet);
    ASSERT_TRUE(result.wait());
    ASSERT_TRUE(rig_.bus().wait_idle(5000ms));
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, sizeof packet);
    EXPECT_EQ(std::memcmp(buffer.data(), packet, sizeof packet), 0);
    EXPECT_EQ(buffer[sizeof packet], 0xEE);
    EXPECT_EQ(result.live_at_callback, 0u);
    EXPECT_EQ(rig_.bus().counters().completed_later - later_before, c.where == Where::Caller ? 0u : 1u);
    EXPECT_EQ(result.thread == std::this_thread::get_id(), c.where == Where::Caller);
    EXPECT_TRUE(c.where != Where::Device || result.thread == device_->thread_id());
    EXPECT_TRUE(c.where == Where::Caller || result.irql == DISPATCH_LEVEL);
  }
  uint8_t command[] = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
  TransferResult write;
  device_->set_answer_mode(ScriptedUsbDevice::AnswerMode::Immediate);
  EXPECT_EQ(transfer(write, command, sizeof command, 0), STATUS_SUCCESS);
  EXPECT_EQ(write.bytes, sizeof command);
  EXPECT_EQ(device_->out_packets(), (std::vector<std::vector<uint8_t>>{{command, command + sizeof command}}));
}

// Three reads chained from their callbacks, which run on the device's own thread.
struct ChainedReads {
  static constexpr int kReads = 3;
  ScriptedUsbDevice *device = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PUSBD_PIPE_INFORMATION pipe = nullptr;
  KEVENT done;
  int started = 0;
  std::atomic<int> good{0};
  uint8_t buffers[kReads][8] = {};

  // Queues the next read's packet and starts the read.
  void start_next() {
    const uint8_t packet[8] = {static_cast<uint8_t>(started), 1, 2, 3, 4, 5, 6, 7};
    device->queue_in(packet);
    ++started;
    (void)QRNUSB_ReadWrite(pdo, buffers[started - 1], 8, 1, pipe, callback, this);
  }
  static NTSTATUS callback(PVOID context, ULONG length, NTSTATUS status) {
    auto self = static_cast<ChainedReads *>(context);
    const int index = self->started - 1;
    if (status == STATUS_SUCCESS && length == 8 && self->buffers[index][0] == index &&
        std::this_thread::get_id() == self->device->thread_id() && KeGetCurrentIrql() == DISPATCH_LEVEL)
      self->good.fetch_add(1);
    if (self->started < kReads)
      self->start_next();
    else
      KeSetEvent(&self->done, 0, FALSE);
    return STATUS_SUCCESS;
  }
};

// Makes sure a completion on the device's own thread may queue data for and start
// the next transfer to the same device. Catches a completion run while the device
// or the bus holds its lock (the chain deadlocks).
TEST_F(BulkTransferTest, CallbackOnTheDeviceThreadMayStartTheNextTransfer) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  device_->set_loopback(false);
  device_->set_answer_mode(ScriptedUsbDevice::AnswerMode::Deferred, 2ms);
  ChainedReads chain;
  KeInitializeEvent(&chain.done, NotificationEvent, FALSE);
  chain.device = device_.get();
  chain.pdo = pdo();
  chain.pipe = in_pipe();
  chain.start_next();
  ASSERT_TRUE(wait_event(chain.done));
  EXPECT_EQ(chain.good, ChainedReads::kReads);
  EXPECT_TRUE(rig_.bus().wait_idle(5000ms));
}

// Makes sure a pending read ends once, with its status and the transport's log
// line, when the device is removed (before the removal returns), the port or the
// pipe is reset, or the configuration is selected again; after a reset the pipe
// works again, after the removal every request fails at once. Catches a removal
// or a reset that leaves the read waiting for ever.
TEST_F(BulkTransferTest, PendingReadEndsByRemovalResetOrNewSelection) {
  struct Case {
    const char *what;
    std::function<void()> act;
    USBD_STATUS status;
  };
  const Case cases[] = {
      {"removal", [&] { rig_.unplug(); }, USBD_STATUS_DEVICE_GONE},
      {"port reset", [&] { EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS); }, USBD_STATUS_CANCELED},
      {"pipe reset", [&] { EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS); },
       USBD_STATUS_CANCELED},
      {"new selection",
       [&] {
         PHW_DEVICE_EXTENSION ext = rig_.extension();
         PUSBD_INTERFACE_INFORMATION fresh = nullptr;
         ASSERT_EQ(QRNUSB_SelectInterface(pdo(), ext->pConfigurationDescriptor, 0x10000, &fresh),
                   STATUS_SUCCESS);
         ExFreePool(ext->pInterfaceInformation);
         ext->pInterfaceInformation = fresh;
       },
       USBD_STATUS_CANCELED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(start_scripted());
    std::vector<uint8_t> buffer(65536);
    TransferResult result;
    EXPECT_EQ(transfer(result, buffer.data(), 65536), STATUS_PENDING);
    c.act();
    EXPECT_TRUE(c.status != USBD_STATUS_DEVICE_GONE || result.calls == 1) << "removal returned first";
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.status, c.status);
    char line[96];
    std::snprintf(line, sizeof line,
                  "QRNUSB_AsyncReadComp Error status=0x%08X,Len=0x00010000 retLen=0x00000000\n",
                  static_cast<unsigned>(c.status));
    EXPECT_EQ(log_count(line), 1u);
    TransferResult again;
    if (c.status == USBD_STATUS_DEVICE_GONE) {
      EXPECT_EQ(transfer(again, buffer.data(), 8, 0), STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(again.status, USBD_STATUS_DEVICE_GONE);
      EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_DEVICE_NOT_CONNECTED);
    } else {
      const uint8_t packet[] = {0x02};
      device_->queue_in(packet);
      EXPECT_EQ(transfer(again, buffer.data(), 65536), STATUS_SUCCESS);
      EXPECT_EQ(again.bytes, 1u);
    }
    EXPECT_TRUE(rig_.bus().wait_idle(5000ms));
    end_round(c.what);
  }
}

// Makes sure IoCancelIrp ends a pending transfer at once as cancelled, on another
// thread, and the device hears of it. Catches a cancelled packet left waiting.
TEST_F(BulkTransferTest, CancelEndsAPendingTransfer) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  OwnTransfer own(pdo(), in_pipe());
  ASSERT_EQ(own.submit(), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(own.irp));
  ASSERT_TRUE(wait_event(own.done));
  EXPECT_EQ(own.irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(own.urb_status(), USBD_STATUS_CANCELED);
  EXPECT_EQ(own.bytes(), 0u);
  EXPECT_NE(own.thread, std::this_thread::get_id());
  EXPECT_TRUE(rig_.bus().wait_idle(5000ms));
  EXPECT_EQ(device_->cancelled(), 1u);
  EXPECT_EQ(device_->waiting_in_transfers(), 0u);
}

// Makes sure the device's errors end transfers with their own statuses: a stall
// halts the pipe until it is reset, babble is an overrun with the buffer full and
// not a byte more, a short read is an error unless the URB allows it. Catches a
// bus that accepts a short read without USBD_SHORT_TRANSFER_OK.
TEST_F(BulkTransferTest, DeviceErrorsEndTransfersWithTheirStatus) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  std::vector<uint8_t> buffer(65536, 0xEE);
  const uint8_t one[] = {0x01};
  device_->queue_in_failure(usbbus::TransferOutcome::Stall);
  TransferResult stalled, halted, after, overrun;
  EXPECT_EQ(transfer(stalled, buffer.data(), 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(transfer(halted, buffer.data(), 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(halted.status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS);
  device_->queue_in(one);
  EXPECT_EQ(transfer(after, buffer.data(), 64), STATUS_SUCCESS);

  device_->queue_in(std::vector<uint8_t>(100, 0x42));
  EXPECT_EQ(transfer(overrun, buffer.data(), 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(overrun.status, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(overrun.bytes, 64u);
  EXPECT_EQ(buffer[63], 0x42);
  EXPECT_EQ(buffer[64], 0xEE);

  for (bool short_ok : {true, false}) {
    SCOPED_TRACE(short_ok ? "short read allowed" : "short read not allowed");
    OwnTransfer own(pdo(), in_pipe(), 64);
    if (!short_ok)
      own.urb->UrbBulkOrInterruptTransfer.TransferFlags &= ~static_cast<ULONG>(USBD_SHORT_TRANSFER_OK);
    device_->queue_in(one);
    (void)own.submit();
    ASSERT_TRUE(wait_event(own.done));
    EXPECT_EQ(own.urb_status(), short_ok ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
  }
}

// Makes sure a transfer that cannot be started, or that the bus fails at once,
// calls back exactly once with 0 bytes and its status, after its log line and
// after every record of it was released (when even the context is missing, before
// the line: there is nothing to release). Catches a missing or second callback,
// a leak (the MDL not freed) and a callback that still sees the records.
TEST_F(BulkTransferTest, FailedStartCallsBackOnceAfterReleasingEverything) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  struct Case {
    const char *what;
    ULONG tag; // the pool tag whose nth allocation fails; 0: the bus fails the URB
    uint64_t nth;
    NTSTATUS returned;
    NTSTATUS status;
    std::vector<std::string> log;
  };
  const NTSTATUS no_room = STATUS_INSUFFICIENT_RESOURCES;
  const Case cases[] = {
      {"context",
       PoolTag("Wdm "),
       1,
       no_room,
       no_room,
       {"TEST CALLBACK\n", "QRNUSB_ReadWrite no room context\n"}},
      {"MDL", PoolTag("Mdl "), 1, no_room, no_room, {"QRNUSB_ReadWrite no room Mdl\n", "TEST CALLBACK\n"}},
      {"URB", PoolTag("Wdm "), 2, no_room, no_room, {"QRNUSB_ReadWrite no room URB\n", "TEST CALLBACK\n"}},
      {"IRP", PoolTag("Irp "), 1, no_room, no_room, {"QRNUSB_ReadWrite no room IRP\n", "TEST CALLBACK\n"}},
      {"bus",
       0,
       0,
       STATUS_UNSUCCESSFUL,
       USBD_STATUS_DEV_NOT_RESPONDING,
       {"QRNUSB_AsyncReadComp Error status=0xC0000005,Len=0x00010000 retLen=0x00000000\n", "TEST CALLBACK\n",
        "error QRNUSB_ReadWrite status=0xC0000001\n"}},
  };
  std::vector<uint8_t> buffer(65536);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    clear_log();
    if (c.tag != 0)
      platform::pool_fail_nth(c.nth, c.tag);
    else
      rig_.bus().fail_requests(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_DEV_NOT_RESPONDING);
    TransferResult result;
    EXPECT_EQ(transfer(result, buffer.data(), 65536), c.returned);
    platform::pool_faults_clear();
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.live_at_callback, 0u);
    EXPECT_EQ(log(), c.log);
  }
  EXPECT_EQ(device_->submitted(), 0u);
}

// Makes sure the bus refuses what a driver must not send: a transfer against the
// pipe's direction or longer than its maximum (both reported as misuse), a closed
// pipe's handle, an unknown URB function; nothing reaches the device. Catches a
// bus that passes them on.
TEST_F(BulkTransferTest, BusRefusesWrongDirectionOversizeStaleHandleAndUnknownFunction) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  quiet_misuse();
  std::vector<uint8_t> buffer(65536);
  TransferResult wrong_way, stale, oversized;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 64, 1, out_pipe(), record_transfer, &wrong_way),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wrong_way.status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Usb), 1u);

  // Selecting again with 64-byte transfers closes the pipes the driver holds.
  PUSBD_INTERFACE_INFORMATION small = nullptr;
  ASSERT_EQ(QRNUSB_SelectInterface(pdo(), rig_.extension()->pConfigurationDescriptor, 64, &small),
            STATUS_SUCCESS);
  EXPECT_EQ(transfer(stale, buffer.data(), 64), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.status, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 65, 1, small->Pipes + rig_.extension()->InPipeIndex,
                             record_transfer, &oversized),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Usb), 1u);
  ExFreePool(small);

  _URB_HEADER header{};
  header.Length = sizeof header;
  header.Function = URB_FUNCTION_CONTROL_TRANSFER;
  EXPECT_EQ(QRNUSB_CallUSBD(pdo(), reinterpret_cast<PURB>(&header)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(header.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  EXPECT_EQ(device_->submitted(), 0u);
}

} // namespace
} // namespace usbtest
