// Bulk transfers of the transport (QRNUSB_ReadWrite) over the bus to the scripted device, on the pipes the
// started driver selected.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <unistd.h>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

using Mode = emu::ScriptedUsbDevice::AnswerMode;
using namespace std::chrono_literals;

class BulkTransferTest : public UsbTest {};

// Makes sure a transfer completes once, records freed first: at once in the caller's context, or at
// DISPATCH_LEVEL on the host-controller or the answering device's thread. Catches a bus that knows one path
// only, a needless thread hop, a second callback.
TEST_F(BulkTransferTest, CompletesAtOnceOrLaterOnTheAnsweringThread) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  device_->set_loopback(false);
  enum Where { Caller, HostController, Device };
  const struct {
    const char *what;
    Mode mode;
    bool answer_first; // the device has its answer before the read starts
    Where where;
  } cases[] = {{"at once", Mode::Immediate, true, Caller},
               {"later", Mode::Immediate, false, HostController},
               {"device thread", Mode::Deferred, true, Device}};
  const uint8_t packet[] = {0x03, 0x00, 0x02, 0x00, 0xAB, 0xCD, 0x78, 0x01};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // A deferred answer due well after the submit returns: one that comes before would be taken at once, in
    // the caller's context (as a caller held up by a busy machine would see it).
    device_->set_answer_mode(c.mode, 50ms);
    const uint64_t later_before = rig_.bus().counters().completed_later;
    std::vector<uint8_t> buffer(65536, 0xEE);
    TransferResult result;
    if (c.answer_first)
      device_->queue_in(packet);
    EXPECT_EQ(transfer(result, buffer.data(), 65536), c.where == Caller ? STATUS_SUCCESS : STATUS_PENDING);
    if (!c.answer_first)
      device_->queue_in(packet);
    ASSERT_TRUE(result.wait() && rig_.bus().wait_idle(5000ms));
    EXPECT_TRUE(result.calls == 1 && result.status == STATUS_SUCCESS && result.bytes == sizeof packet);
    EXPECT_TRUE(std::memcmp(buffer.data(), packet, sizeof packet) == 0 && buffer[sizeof packet] == 0xEE);
    EXPECT_EQ(result.live_at_callback, 0u);
    EXPECT_EQ(rig_.bus().counters().completed_later - later_before, c.where == Caller ? 0u : 1u);
    EXPECT_EQ(result.thread == std::this_thread::get_id(), c.where == Caller);
    EXPECT_TRUE(c.where != Device || result.thread == device_->thread_id());
    EXPECT_TRUE(c.where == Caller || result.irql == DISPATCH_LEVEL);
  }
}

// Makes sure a pending read ends once, with its status, by removal (before it returns), port or
// pipe reset. Catches a removal or reset that leaves it waiting. (Cancels: usb_stress_test.cpp.)
TEST_F(BulkTransferTest, PendingReadEndsByRemovalOrReset) {
  const struct {
    const char *what;
    std::function<void()> act;
    USBD_STATUS status;
  } cases[] = {
      {"removal", [&] { rig_.unplug(); }, USBD_STATUS_DEVICE_GONE},
      {"port reset", [&] { EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS); }, USBD_STATUS_CANCELED},
      {"pipe reset", [&] { EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS); },
       USBD_STATUS_CANCELED},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(start_scripted());
    std::vector<uint8_t> buffer(65536);
    TransferResult result;
    EXPECT_EQ(transfer(result, buffer.data(), 65536), STATUS_PENDING);
    c.act();
    EXPECT_TRUE(c.status != USBD_STATUS_DEVICE_GONE || result.calls == 1) << "the removal returned first";
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.calls == 1 && result.status == c.status && result.bytes == 0);
    TransferResult again;
    if (c.status == USBD_STATUS_DEVICE_GONE) {
      EXPECT_EQ(transfer(again, buffer.data(), 8, 0), STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_DEVICE_NOT_CONNECTED);
    } else {
      device_->queue_in(std::vector<uint8_t>{0x02});
      EXPECT_EQ(transfer(again, buffer.data(), 65536), STATUS_SUCCESS);
    }
    EXPECT_TRUE(rig_.bus().wait_idle(5000ms));
    end_round(c.what);
  }
}

// Makes sure stall (pipe halted until reset), babble (an overrun, not a byte more) and a short read without
// USBD_SHORT_TRANSFER_OK end transfers with their statuses. Catches a bus that accepts that short read.
TEST_F(BulkTransferTest, DeviceErrorsEndTransfersWithTheirStatus) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  std::vector<uint8_t> buffer(65536, 0xEE);
  const std::vector<uint8_t> one = {0x01};
  device_->queue_in_failure(usbbus::TransferOutcome::Stall);
  TransferResult stalled, halted, after, overrun;
  EXPECT_EQ(transfer(stalled, buffer.data(), 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(transfer(halted, buffer.data(), 64), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(stalled.status == USBD_STATUS_STALL_PID && halted.status == USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS);
  device_->queue_in(one);
  EXPECT_EQ(transfer(after, buffer.data(), 64), STATUS_SUCCESS);
  device_->queue_in(std::vector<uint8_t>(100, 0x42));
  EXPECT_EQ(transfer(overrun, buffer.data(), 64), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(overrun.status == USBD_STATUS_DATA_OVERRUN && overrun.bytes == 64);
  EXPECT_TRUE(buffer[63] == 0x42 && buffer[64] == 0xEE);
  for (bool short_ok : {true, false}) {
    SCOPED_TRACE(short_ok);
    OwnTransfer own(pdo(), in_pipe());
    if (!short_ok)
      own.urb->UrbBulkOrInterruptTransfer.TransferFlags &= ~static_cast<ULONG>(USBD_SHORT_TRANSFER_OK);
    device_->queue_in(one);
    (void)own.submit();
    ASSERT_EQ(rig::wait_object(&own.done, 5s), STATUS_SUCCESS);
    EXPECT_EQ(own.urb->UrbHeader.Status, short_ok ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
  }
}

// Makes sure a transfer that cannot start for want of memory calls back once, 0 bytes, every record freed
// first. Catches a second or missing callback, a leak. (The bus failing a transfer: the camera's read-error
// fault in protocol/camera_pictures_test.cpp.)
TEST_F(BulkTransferTest, FailedStartCallsBackOnceAfterReleasingEverything) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  std::vector<uint8_t> buffer(65536);
  for (auto [tag, nth] : {std::pair{PoolTag("Wdm "), 1},
                          {PoolTag("Mdl "), 1},
                          {PoolTag("Wdm "), 2},
                          {PoolTag("Irp "), 1}}) { // context, MDL, URB, IRP
    SCOPED_TRACE(platform::pool_tag_text(tag) + " " + std::to_string(nth));
    platform::pool_fail_nth(nth, tag);
    TransferResult result;
    EXPECT_EQ(transfer(result, buffer.data(), 65536), STATUS_INSUFFICIENT_RESOURCES);
    platform::pool_faults_clear();
    EXPECT_TRUE(result.calls == 1 && result.bytes == 0 && result.status == STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.live_at_callback, 0u);
  }
  EXPECT_EQ(device_->submitted(), 0u);
}

// Makes sure the bus refuses a wrong direction or an oversize (as misuse), a closed pipe and an unknown URB
// function. Catches a bus that passes them on.
TEST_F(BulkTransferTest, BusRefusesWrongDirectionOversizeStaleHandleAndUnknownFunction) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  quiet_misuse();
  std::vector<uint8_t> buffer(65536);
  TransferResult wrong_way, stale, oversized;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 64, 1, out_pipe(), record_transfer, &wrong_way),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wrong_way.status, USBD_STATUS_INVALID_PARAMETER);
  PUSBD_INTERFACE_INFORMATION small = nullptr; // closes the pipes the driver holds
  ASSERT_EQ(QRNUSB_SelectInterface(pdo(), rig_.extension()->pConfigurationDescriptor, 64, &small),
            STATUS_SUCCESS);
  EXPECT_EQ(transfer(stale, buffer.data(), 64), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.status, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 65, 1, small->Pipes + rig_.extension()->InPipeIndex,
                             record_transfer, &oversized),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Usb), 2u);
  ExFreePool(small);
  _URB_HEADER header{sizeof header, URB_FUNCTION_CONTROL_TRANSFER, 0, nullptr, 0};
  EXPECT_EQ(QRNUSB_CallUSBD(pdo(), reinterpret_cast<PURB>(&header)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(header.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  EXPECT_EQ(device_->submitted(), 0u);
}

// The standard output of a command.
std::string output_of(const std::string &command) {
  std::string output(1 << 16, '\0');
  FILE *pipe = popen(command.c_str(), "r");
  output.resize(pipe != nullptr ? fread(output.data(), 1, output.size(), pipe) : 0);
  if (pipe != nullptr)
    pclose(pipe);
  return output;
}

// Makes sure each transfer shows at submission and completion in the text trace and in the usbmon pcap as
// tshark reads it. Catches a missing event, a pcap header Wireshark cannot decode.
TEST_F(BulkTransferTest, TransfersShowInTheTextAndPcapTraces) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  std::mutex lock; // guards text
  std::vector<std::string> text;
  rig_.bus().trace().set_text_sink([&](std::string_view line) {
    std::lock_guard<std::mutex> guard(lock);
    text.emplace_back(line);
  });
  const std::string path = ::testing::TempDir() + "dscam_usb_trace_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(rig_.bus().trace().open_pcap(path));
  uint8_t command[] = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
  std::vector<uint8_t> buffer(65536);
  TransferResult write, read;
  EXPECT_EQ(transfer(write, command, sizeof command, 0), STATUS_SUCCESS);
  EXPECT_EQ(transfer(read, buffer.data(), 65536), STATUS_SUCCESS); // the device loops the write back
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  rig_.bus().trace().close();
  const char *expected_text[] = {" S Bo:1:002:2 len=8 = 1b430200 010c0d00\n",
                                 " C Bo:1:002:2 status=0x00000000 bytes=8\n", " S Bi:1:002:1 len=65536\n",
                                 " C Bi:1:002:1 status=0x00000000 bytes=8 = 1b430200 010c0d00\n",
                                 " S Co:1:002:0 port reset len=0\n"};
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(text.size(), 6u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_NE(text[i].find(expected_text[i]), std::string::npos) << text[i];
  EXPECT_EQ(text[0].substr(0, text[0].find(' ')), text[1].substr(0, text[1].find(' '))) << "one id";
  const std::string fields =
      output_of("command -v tshark >/dev/null && tshark -r '" + path +
                "' -T fields -E separator=, -e usb.urb_type -e usb.transfer_type -e usb.endpoint_address "
                "-e usb.urb_len -e usb.data_len -e usb.capdata 2>/dev/null || echo no tshark");
  std::remove(path.c_str());
  if (fields == "no tshark\n")
    GTEST_SKIP() << "tshark is not installed (scripts/test.sh installs it); the pcap trace is not checked";
  EXPECT_EQ(fields, "'S',0x03,0x02,8,8,1b430200010c0d00\n'C',0x03,0x02,8,0,\n'S',0x03,0x81,65536,0,\n"
                    "'C',0x03,0x81,8,8,1b430200010c0d00\n");
}

} // namespace
} // namespace usbtest
