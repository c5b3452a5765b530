// The asynchronous half of the USB transport, through the bus driver and the scripted device:
// one callback per transfer, in the order the transfer's life gives, on either completion path.
#include <chrono>
#include <cstring>

#include "tests/usb/usb_test.h"

#include "platform/kernel/control.h"

namespace usbtest {
namespace {

using emu::ScriptedUsbDevice;
using usbbus::TransferOutcome;
using namespace std::chrono_literals;

class QrnusbBulkTest : public UsbTest {
protected:
  void SetUp() override {
    UsbTest::SetUp();
    attach();
    configure();
  }

  // Starts a transfer into/from `buffer` with the recording callback.
  NTSTATUS start(TransferResult &result, PVOID buffer, ULONG length, ULONG direction, UCHAR endpoint) {
    result.PoolBaseline = platform::pool_sequence();
    return QRNUSB_ReadWrite(pdo(), buffer, length, direction, pipe_of(endpoint), RecordTransfer, &result);
  }

  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536, 0xEE);
};

// Allocation failures at each step: the callback exactly once with 0 bytes and
// STATUS_INSUFFICIENT_RESOURCES; for the context before its log line, for the others after the
// log line and after every record was released. Catches a missing or second callback, a leak,
// or a callback that still sees the transfer's records.
TEST_F(QrnusbBulkTest, NoRoomForTheContextCallsBackBeforeTheLogLine) {
  TransferResult result;
  platform::pool_fail_nth(1, PoolTag("Wdm "));
  EXPECT_EQ(start(result, buffer_.data(), 64, 1, 0x81), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.Calls, 1);
  EXPECT_EQ(result.Bytes, 0u);
  EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
  const std::vector<std::string> expected = {"TEST CALLBACK\n", "QRNUSB_ReadWrite no room context\n"};
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(device_->submitted(), 0u);
}

TEST_F(QrnusbBulkTest, NoRoomForTheOtherRecordsLogsReleasesThenCallsBack) {
  struct Step {
    ULONG tag;
    uint64_t nth;
    const char *line;
  };
  const Step steps[] = {{PoolTag("Mdl "), 1, "QRNUSB_ReadWrite no room Mdl\n"},
                        {PoolTag("Wdm "), 2, "QRNUSB_ReadWrite no room URB\n"},
                        {PoolTag("Irp "), 1, "QRNUSB_ReadWrite no room IRP\n"}};
  for (const Step &step : steps) {
    SCOPED_TRACE(step.line);
    recorder_->clear();
    TransferResult result;
    platform::pool_fail_nth(step.nth, step.tag);
    EXPECT_EQ(start(result, buffer_.data(), 64, 1, 0x81), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Calls, 1);
    EXPECT_EQ(result.Bytes, 0u);
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.LiveBlocksAtCallback, 0u);
    const std::vector<std::string> expected = {step.line, "TEST CALLBACK\n"};
    EXPECT_EQ(log(), expected);
    platform::pool_faults_clear();
  }
  EXPECT_EQ(device_->submitted(), 0u);
}

// A transfer the bus fails at once: one callback, from the completion routine, with the URB's
// status, and the error line of QRNUSB_ReadWrite. Catches a second callback from the caller.
TEST_F(QrnusbBulkTest, TransferFailedAtOnceCallsBackOnceWithTheUrbStatus) {
  TransferResult result;
  bus_->fail_requests(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(start(result, buffer_.data(), 65536, 1, 0x81), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.Calls, 1);
  EXPECT_EQ(result.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(result.Bytes, 0u);
  const std::vector<std::string> expected = {
      "QRNUSB_AsyncReadComp Error status=0xC0000005,Len=0x00010000 retLen=0x00000000\n", "TEST CALLBACK\n",
      "error QRNUSB_ReadWrite status=0xC0000001\n"};
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(result.LiveBlocksAtCallback, 0u);
}

// Reads and writes that the device answers: short reads, direction 2, the data in place,
// nothing of the transfer left once it completed. Catches a wrong direction, count or leak.
TEST_F(QrnusbBulkTest, ShortReadOfA64KiBRequestEndsNormally) {
  const uint8_t packet[] = {0x03, 0x00, 0x02, 0x00, 0xAB, 0xCD, 0x78, 0x01};
  device_->queue_in(packet);
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 65536, 1, 0x81), STATUS_SUCCESS);
  EXPECT_EQ(result.Calls, 1);
  EXPECT_EQ(result.Bytes, sizeof(packet));
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer_.data(), packet, sizeof(packet)), 0);
  EXPECT_EQ(buffer_[sizeof(packet)], 0xEE);
  // Answered at once: completed in the caller's context.
  EXPECT_EQ(result.Thread, std::this_thread::get_id());
  EXPECT_EQ(bus_->counters().completed_later, 0u);
}

TEST_F(QrnusbBulkTest, DirectionTwoReads) {
  const uint8_t packet[] = {0x06};
  device_->queue_in(packet);
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 65536, 2, 0x81), STATUS_SUCCESS);
  EXPECT_EQ(result.Bytes, 1u);
  EXPECT_EQ(buffer_[0], 0x06);
  EXPECT_TRUE(device_->out_packets().empty());
}

TEST_F(QrnusbBulkTest, WriteSendsTheBufferAndLeavesNothingBehind) {
  const uint8_t command[] = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
  std::memcpy(buffer_.data(), command, sizeof(command));
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), sizeof(command), 0, 0x02), STATUS_SUCCESS);
  EXPECT_EQ(result.Calls, 1);
  EXPECT_EQ(result.Bytes, sizeof(command));
  ASSERT_EQ(device_->out_packets().size(), 1u);
  EXPECT_EQ(device_->out_packets()[0], std::vector<uint8_t>(command, command + sizeof(command)));
  // Completed inside the call: context, MDL, URB and packet are already gone.
  EXPECT_TRUE(platform::pool_live_blocks_since(result.PoolBaseline).empty());
  EXPECT_EQ(result.LiveBlocksAtCallback, 0u);
}

// Both completion paths: at once in the caller's context when the device has its answer, on
// the host-controller thread when it answers later. Catches a bus that only knows one path.
TEST_F(QrnusbBulkTest, ReadAnsweredLaterCompletesOnTheHostControllerThread) {
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 65536, 1, 0x81), STATUS_PENDING);
  EXPECT_EQ(result.Calls, 0);
  EXPECT_EQ(device_->waiting_in_transfers(), 1u);
  const uint8_t packet[] = {0x05};
  device_->queue_in(packet);
  ASSERT_TRUE(result.wait());
  EXPECT_EQ(result.Bytes, 1u);
  EXPECT_NE(result.Thread, std::this_thread::get_id());
  EXPECT_TRUE(bus_->wait_idle(5000ms));
  EXPECT_EQ(result.Calls, 1);
  EXPECT_EQ(bus_->counters().completed_later, 1u);
}

TEST_F(QrnusbBulkTest, DeferredDeviceAnswersOnTheHostControllerThread) {
  device_->set_answer_mode(ScriptedUsbDevice::AnswerMode::Deferred, 50ms);
  const uint8_t packet[] = {0x05, 0x06, 0x07};
  device_->queue_in(packet);
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 65536, 1, 0x81), STATUS_PENDING);
  ASSERT_TRUE(result.wait());
  EXPECT_EQ(result.Bytes, 3u);
  EXPECT_NE(result.Thread, std::this_thread::get_id());
  EXPECT_TRUE(bus_->wait_idle(5000ms));
}

// Pending transfers end when the device goes, the port is reset, the pipe is reset or the
// packet is cancelled: nobody waits for ever. Catches a waiter left behind.
TEST_F(QrnusbBulkTest, RemovalEndsAPendingReadAsDeviceGone) {
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 65536, 1, 0x81), STATUS_PENDING);
  bus_->remove_device();
  EXPECT_EQ(result.Calls, 1); // removal returns after the completions ran
  EXPECT_EQ(result.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(bus_->pending_requests(), 0u);
  EXPECT_TRUE(device_->is_removed());
  TransferResult after;
  EXPECT_EQ(start(after, buffer_.data(), 64, 0, 0x02), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(after.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(QrnusbBulkTest, PortResetCancelsAPendingRead) {
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 65536, 1, 0x81), STATUS_PENDING);
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  ASSERT_TRUE(result.wait());
  EXPECT_EQ(result.Status, USBD_STATUS_CANCELED);
  EXPECT_NE(position("QRNUSB_AsyncReadComp Error status=0xC0010000,Len=0x00010000 retLen=0x00000000\n"),
            std::string::npos);
  EXPECT_EQ(device_->port_resets(), 1u);
  EXPECT_EQ(device_->cancelled(), 1u);
  // The configuration survives the reset: the same pipe works again.
  const uint8_t packet[] = {0x02};
  device_->queue_in(packet);
  TransferResult again;
  EXPECT_EQ(start(again, buffer_.data(), 65536, 1, 0x81), STATUS_SUCCESS);
  EXPECT_EQ(again.Bytes, 1u);
  EXPECT_TRUE(bus_->wait_idle(5000ms));
}

TEST_F(QrnusbBulkTest, StallHaltsThePipeUntilItIsReset) {
  device_->queue_in_failure(TransferOutcome::Stall);
  TransferResult stalled;
  EXPECT_EQ(start(stalled, buffer_.data(), 65536, 1, 0x81), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.Status, USBD_STATUS_STALL_PID);
  TransferResult halted;
  EXPECT_EQ(start(halted, buffer_.data(), 65536, 1, 0x81), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(halted.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), pipe_of(0x81)), STATUS_SUCCESS);
  const uint8_t packet[] = {0x01};
  device_->queue_in(packet);
  TransferResult after;
  EXPECT_EQ(start(after, buffer_.data(), 65536, 1, 0x81), STATUS_SUCCESS);
  EXPECT_EQ(after.Status, STATUS_SUCCESS);
}

TEST_F(QrnusbBulkTest, BabbleIsAnOverrunWithTheBufferFull) {
  std::vector<uint8_t> packet(100, 0x42);
  device_->queue_in(packet);
  TransferResult result;
  EXPECT_EQ(start(result, buffer_.data(), 64, 1, 0x81), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.Status, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(result.Bytes, 64u);
  EXPECT_EQ(buffer_[63], 0x42);
  EXPECT_EQ(buffer_[64], 0xEE);
}

} // namespace
} // namespace usbtest
