// Concurrency of the bus driver and the bulk transfers: many transfers from several threads,
// completing at once and on the host-controller thread, while the device is removed; cancels
// racing with the device's answers. Every transfer ends exactly once, nothing is left pending
// or allocated, and ThreadSanitizer stays quiet.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "tests/usb/usb_test.h"

namespace usbtest {
namespace {

using emu::ScriptedUsbDevice;
using namespace std::chrono_literals;

// The callback of the stress transfers: counts, keeps the last status, never waits.
struct StressCounter {
  std::atomic<int> callbacks{0};
  std::atomic<int> gone{0};
  std::atomic<int> outstanding{0};
  static NTSTATUS callback(PVOID context, ULONG, NTSTATUS status) {
    auto self = static_cast<StressCounter *>(context);
    if (status == USBD_STATUS_DEVICE_GONE)
      self->gone.fetch_add(1);
    self->callbacks.fetch_add(1);
    self->outstanding.fetch_sub(1);
    return STATUS_SUCCESS;
  }
};

class UsbStressTest : public UsbTest {};

// Threads read and write on the loopback device (reads that find data complete at once, the
// others pend until a write from another thread feeds them, or the device's own thread
// answers) while a third party toggles the answer mode and then unplugs the device.
TEST_F(UsbStressTest, ConcurrentTransfersWhileTheDeviceIsRemoved) {
  attach();
  configure();
  constexpr int kThreads = 4;
  StressCounter counter;
  std::atomic<int> started{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<uint8_t> in(64 * 8);
      std::vector<uint8_t> out(8, static_cast<uint8_t>(t));
      std::mt19937 random(static_cast<unsigned>(t));
      for (int i = 0; !stop.load() && i < 2000; ++i) {
        // Keep at most eight reads of this thread in flight, each with its own buffer slot.
        while (counter.outstanding.load() > 8 * kThreads && !stop.load())
          std::this_thread::yield();
        counter.outstanding.fetch_add(1);
        started.fetch_add(1);
        if (random() % 2 == 0)
          QRNUSB_ReadWrite(pdo(), in.data() + 64 * (i % 8), 64, 1, pipe_of(0x81), StressCounter::callback,
                           &counter);
        else
          QRNUSB_ReadWrite(pdo(), out.data(), 8, 0, pipe_of(0x02), StressCounter::callback, &counter);
      }
      // The buffers stay until every transfer of the test has ended (checked below).
      while (counter.outstanding.load() > 0)
        std::this_thread::yield();
    });
  }
  std::thread toggler([&] {
    for (int i = 0; i < 10; ++i) {
      device_->set_answer_mode(
          i % 2 ? ScriptedUsbDevice::AnswerMode::Deferred : ScriptedUsbDevice::AnswerMode::Immediate, 100us);
      std::this_thread::sleep_for(20ms);
    }
    bus_->remove_device();
    stop.store(true);
  });
  toggler.join();
  for (std::thread &worker : workers)
    worker.join();
  EXPECT_EQ(counter.callbacks.load(), started.load());
  EXPECT_EQ(counter.outstanding.load(), 0);
  EXPECT_TRUE(bus_->wait_idle(5000ms));
  const auto counters = bus_->counters();
  EXPECT_GT(counters.completed_at_once, 0u);
  EXPECT_GT(counters.completed_later, 0u);
  EXPECT_EQ(counters.requests, counters.completed_at_once + counters.completed_later);
}

// IoCancelIrp racing with the device's answer, given at once or from the device's own thread
// (which then completes the transfer itself): one completion each, cancelled or answered.
struct RaceCompletion {
  KEVENT done;
  std::atomic<int> calls{0};
  static NTSTATUS routine(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto self = static_cast<RaceCompletion *>(context);
    self->calls.fetch_add(1);
    KeSetEvent(&self->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(UsbStressTest, CancelRacingTheAnswerEndsEachTransferOnce) {
  attach();
  configure();
  device_->set_loopback(false);
  int cancelled = 0;
  int answered = 0;
  const uint8_t packet[] = {0x06};
  std::vector<uint8_t> drain_buffer(64); // outlives every transfer of the test
  for (int i = 0; i < 300; ++i) {
    device_->set_answer_mode(i % 2 ? ScriptedUsbDevice::AnswerMode::Deferred
                                   : ScriptedUsbDevice::AnswerMode::Immediate);
    std::vector<uint8_t> buffer(64);
    PMDL mdl = IoAllocateMdl(buffer.data(), 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    PURB urb = QRNUSB_BuildAsyncReadWriteRequest(mdl, pipe_of(0x81)->PipeHandle, 1);
    PIRP irp = QRNUSB_BuildAsyncInternalDeviceControlRequest(pdo(), urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
    RaceCompletion completion;
    KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, RaceCompletion::routine, &completion, TRUE, TRUE, TRUE);
    ASSERT_EQ(IofCallDriver(pdo(), irp), STATUS_PENDING);
    std::thread answer([&] { device_->queue_in(packet); });
    IoCancelIrp(irp);
    answer.join();
    ASSERT_EQ(KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(bus_->wait_idle(5000ms));
    EXPECT_EQ(completion.calls.load(), 1);
    if (urb->UrbHeader.Status == USBD_STATUS_CANCELED) {
      ++cancelled;
      // The answer that lost the race is still queued: take it with a read of its own.
      TransferResult drain;
      const NTSTATUS drained =
          QRNUSB_ReadWrite(pdo(), drain_buffer.data(), 64, 1, pipe_of(0x81), RecordTransfer, &drain);
      EXPECT_TRUE(drained == STATUS_SUCCESS || drained == STATUS_PENDING) << drained;
      ASSERT_TRUE(drain.wait());
    } else {
      EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
      EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
      ++answered;
    }
    IoFreeIrp(irp);
    IoFreeMdl(mdl);
    ExFreePool(urb);
  }
  EXPECT_EQ(cancelled + answered, 300);
  EXPECT_EQ(device_->waiting_in_transfers(), 0u);
}

} // namespace
} // namespace usbtest
