// Concurrency of the bus and the bulk transfers; every transfer ends exactly once, under ThreadSanitizer too.
#include <chrono>
#include <cstdio>
#include <random>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

using Mode = emu::ScriptedUsbDevice::AnswerMode;
using namespace std::chrono_literals;

// The callback of the stress transfers: counts and never waits.
struct StressCounter {
  std::atomic<int> callbacks{0};
  std::atomic<int> outstanding{0};
  static NTSTATUS callback(PVOID context, ULONG, NTSTATUS) {
    auto self = static_cast<StressCounter *>(context);
    self->callbacks.fetch_add(1);
    self->outstanding.fetch_sub(1);
    return STATUS_SUCCESS;
  }
};

class UsbStressTest : public UsbTest {};

// Makes sure transfers from four threads, completing at once or later, each end once while the answer mode
// flips and the device goes. Catches a transfer lost or ended twice.
TEST_F(UsbStressTest, ConcurrentTransfersWhileTheDeviceIsRemoved) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  constexpr int kThreads = 4;
  StressCounter counter;
  std::atomic<int> started{0};
  std::atomic<bool> stop{false};
  PUSBD_PIPE_INFORMATION in = in_pipe();
  PUSBD_PIPE_INFORMATION out = out_pipe();
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<uint8_t> reads(64 * 8);
      std::vector<uint8_t> bytes(8, static_cast<uint8_t>(t));
      std::mt19937 random(static_cast<unsigned>(t));
      for (int i = 0; !stop.load() && i < 2000; ++i) {
        while (counter.outstanding.load() > 8 * kThreads && !stop.load())
          std::this_thread::yield();
        counter.outstanding.fetch_add(1);
        started.fetch_add(1);
        if (random() % 2 == 0)
          QRNUSB_ReadWrite(pdo(), reads.data() + 64 * (i % 8), 64, 1, in, StressCounter::callback, &counter);
        else
          QRNUSB_ReadWrite(pdo(), bytes.data(), 8, 0, out, StressCounter::callback, &counter);
      }
      while (counter.outstanding.load() > 0) // the buffers stay until every transfer has ended
        std::this_thread::yield();
    });
  }
  usbbus::UsbBus &bus = rig_.bus();
  std::thread toggler([&] {
    for (int i = 0; i < 10; ++i) {
      device_->set_answer_mode(i % 2 ? Mode::Deferred : Mode::Immediate, 100us);
      std::this_thread::sleep_for(20ms);
    }
    bus.remove_device();
    stop.store(true);
  });
  toggler.join();
  for (std::thread &worker : workers)
    worker.join();
  EXPECT_EQ(counter.callbacks.load(), started.load());
  EXPECT_TRUE(bus.wait_idle(5000ms));
  const usbbus::UsbBus::Counters counters = bus.counters();
  EXPECT_GT(counters.completed_at_once, 0u);
  EXPECT_GT(counters.completed_later, 0u);
  EXPECT_EQ(counters.requests, counters.completed_at_once + counters.completed_later);
}

// Makes sure cancels racing the device's answers from four threads end each transfer once, the driver's own
// IRPs and the I/O manager's alike, and every losing answer stays for a later read. Catches a double
// completion or a lost answer.
TEST_F(UsbStressTest, CancelsRacingTheAnswersEndEachTransferOnce) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  device_->set_loopback(false);
  constexpr int kThreads = 4, kRounds = 150;
  std::atomic<int> succeeded{0}, cancelled{0};
  const uint8_t packet[] = {0x06};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        device_->set_answer_mode(i % 2 ? Mode::Deferred : Mode::Immediate);
        const bool io_manager = (i + t) % 4 == 1; // only the driver's own IRPs are cancelled
        OwnTransfer own(pdo(), in_pipe(), io_manager);
        const NTSTATUS sent = own.submit();
        EXPECT_TRUE(sent == STATUS_PENDING || sent == STATUS_SUCCESS) << sent; // another's answer may wait
        std::thread answer([&] { device_->queue_in(packet); });
        if (!io_manager)
          IoCancelIrp(own.irp);
        answer.join();
        ASSERT_EQ(rig::wait_object(&own.done, 5s), STATUS_SUCCESS);
        EXPECT_EQ(own.calls.load(), 1);
        const USBD_STATUS status = own.urb->UrbHeader.Status;
        EXPECT_TRUE(!io_manager ||
                    own.iosb.Status == (status == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_CANCELLED));
        if (status == USBD_STATUS_SUCCESS) {
          ++succeeded;
          EXPECT_EQ(own.urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
        } else {
          ++cancelled;
          EXPECT_EQ(status, USBD_STATUS_CANCELED);
        }
      }
    });
  for (std::thread &thread : threads)
    thread.join();
  ASSERT_TRUE(rig_.bus().wait_idle(5000ms));
  EXPECT_EQ(succeeded + cancelled, kThreads * kRounds);
  device_->set_answer_mode(Mode::Immediate);
  std::vector<uint8_t> drain_buffer(64);
  for (int i = 0; i < cancelled; ++i) { // the answers of the cancelled reads wait in the device
    TransferResult drain;
    ASSERT_EQ(transfer(drain, drain_buffer.data(), 64), STATUS_SUCCESS) << "answer " << i << " was lost";
  }
  std::printf("cancel race: %d of %d cancelled\n", cancelled.load(), kThreads * kRounds);
  EXPECT_EQ(device_->waiting_in_transfers(), 0u);
}

} // namespace
} // namespace usbtest
