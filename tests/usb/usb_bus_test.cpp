// The USB bus driver itself: the USBD library functions, cancellation of a pending packet,
// the checks it makes on what the driver sends, and the text trace.
#include <chrono>
#include <cstring>

#include "tests/usb/usb_test.h"

#include "platform/kernel/control.h"
#include "platform/kernel/irql.h"

namespace usbtest {
namespace {

using emu::UsbIdentityVariant;
using namespace std::chrono_literals;

std::vector<uint8_t> variant_bytes(UsbIdentityVariant variant) {
  const auto bytes = emu::usb_configuration_descriptor(variant);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

PUSB_CONFIGURATION_DESCRIPTOR as_config(std::vector<uint8_t> &bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// USBD_ParseConfigurationDescriptorEx: finds by every criterion, from a start position, and
// never reads past wTotalLength (the buffers below end exactly there, so AddressSanitizer
// catches a read beyond). Catches an unbounded walk or a wrong match.
TEST(UsbdLibraryTest, ParseFindsInterfacesByNumberSettingAndClass) {
  auto bytes = variant_bytes(UsbIdentityVariant::TwoInterfaces);
  PUSB_CONFIGURATION_DESCRIPTOR config = as_config(bytes);
  auto found = USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(found) - bytes.data(), 32);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0E, -1, -1), nullptr);
  auto first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, 0xFF, 0xFF);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bInterfaceNumber, 0);
  auto next = USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t *>(first) + first->bLength,
                                                  -1, -1, -1, -1, -1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bInterfaceNumber, 2);
}

TEST(UsbdLibraryTest, ParseStopsAtTheTotalLengthAndAtBrokenLengths) {
  auto bytes = variant_bytes(UsbIdentityVariant::TwoInterfaces);
  bytes[2] = 40; // the second interface now runs past wTotalLength
  bytes.resize(40);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(as_config(bytes), as_config(bytes), 2, 0, -1, -1, -1),
            nullptr);
  auto zero = variant_bytes(UsbIdentityVariant::TwoInterfaces);
  zero[18] = 0; // a zero-length endpoint before interface 2
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(as_config(zero), as_config(zero), 2, 0, -1, -1, -1), nullptr);
  auto start_outside = variant_bytes(UsbIdentityVariant::Camera);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(as_config(start_outside), start_outside.data() + 32, -1, -1,
                                                -1, -1, -1),
            nullptr);
}

// USBD_CreateConfigurationRequestEx: one interface information per listed interface with
// room for its pipes, lengths that add up, descriptors outside the configuration refused.
TEST(UsbdLibraryTest, CreateSizesTheRequestFromTheInterfaces) {
  auto bytes = variant_bytes(UsbIdentityVariant::TwoInterfaces);
  PUSB_CONFIGURATION_DESCRIPTOR config = as_config(bytes);
  USBD_INTERFACE_LIST_ENTRY list[3] = {
      {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                                       USBD_INTERFACE_INFORMATION_SIZE(2) +
                                       USBD_INTERFACE_INFORMATION_SIZE(1));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, USBD_INTERFACE_INFORMATION_SIZE(2));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
  EXPECT_EQ(list[0].Interface->Pipes[0].MaximumTransferSize,
            static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
  EXPECT_EQ(reinterpret_cast<uint8_t *>(list[1].Interface) - reinterpret_cast<uint8_t *>(list[0].Interface),
            static_cast<ptrdiff_t>(USBD_INTERFACE_INFORMATION_SIZE(2)));
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 2);
  ExFreePool(urb);

  USB_INTERFACE_DESCRIPTOR elsewhere = *list[0].InterfaceDescriptor;
  USBD_INTERFACE_LIST_ENTRY foreign[2] = {{&elsewhere, nullptr}, {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, foreign), nullptr);
}

class UsbBusTest : public UsbTest {};

// IoCancelIrp on a pending transfer ends it at once as cancelled; the model hears of it.
// Catches a bus that leaves a cancelled packet waiting.
struct OwnCompletion {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  std::thread::id thread;
  static NTSTATUS routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto self = static_cast<OwnCompletion *>(context);
    self->status = irp->IoStatus.Status;
    self->thread = std::this_thread::get_id();
    KeSetEvent(&self->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(UsbBusTest, CancellingAPendingTransferEndsIt) {
  attach();
  configure();
  std::vector<uint8_t> buffer(64);
  PMDL mdl = IoAllocateMdl(buffer.data(), 64, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  PURB urb = QRNUSB_BuildAsyncReadWriteRequest(mdl, pipe_of(0x81)->PipeHandle, 1);
  PIRP irp = QRNUSB_BuildAsyncInternalDeviceControlRequest(pdo(), urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
  OwnCompletion completion;
  KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, OwnCompletion::routine, &completion, TRUE, TRUE, TRUE);
  ASSERT_EQ(IofCallDriver(pdo(), irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  ASSERT_EQ(KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(completion.status, STATUS_CANCELLED);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_NE(completion.thread, std::this_thread::get_id());
  EXPECT_TRUE(bus_->wait_idle(5000ms));
  EXPECT_EQ(device_->cancelled(), 1u);
  EXPECT_EQ(device_->waiting_in_transfers(), 0u);
  IoFreeIrp(irp);
  IoFreeMdl(mdl);
  ExFreePool(urb);
}

// A transfer the device answers from its own thread completes on that thread, at
// DISPATCH_LEVEL, counted as completed later; its completion routine may queue data and submit
// the next transfer to the same device. Catches a completion left to the host-controller thread
// (one thread hop more) and one run while the device's lock is held (the chain deadlocks).
struct ChainedReads {
  static constexpr int kReads = 3;
  KEVENT done;
  PDEVICE_OBJECT pdo = nullptr;
  emu::ScriptedUsbDevice *device = nullptr;
  PIRP irps[kReads] = {};
  int next = 0;
  std::thread::id threads[kReads];
  KIRQL irqls[kReads] = {};
  NTSTATUS statuses[kReads] = {};
  NTSTATUS submitted[kReads] = {};

  // Queues the next read's packet and submits it.
  void submit_next() {
    const uint8_t packet[8] = {static_cast<uint8_t>(next), 1, 2, 3, 4, 5, 6, 7};
    device->queue_in(packet);
    submitted[next] = IofCallDriver(pdo, irps[next]);
  }
  static NTSTATUS routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto self = static_cast<ChainedReads *>(context);
    const int index = self->next;
    self->statuses[index] = irp->IoStatus.Status;
    self->threads[index] = std::this_thread::get_id();
    self->irqls[index] = KeGetCurrentIrql();
    if (++self->next < kReads)
      self->submit_next();
    else
      KeSetEvent(&self->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(UsbBusTest, DeviceThreadCompletesItsPendedTransfersAndTheNextMayBeSubmitted) {
  attach();
  configure();
  device_->set_loopback(false);
  device_->set_answer_mode(emu::ScriptedUsbDevice::AnswerMode::Deferred, 2ms);
  ChainedReads chain;
  KeInitializeEvent(&chain.done, NotificationEvent, FALSE);
  chain.pdo = pdo();
  chain.device = device_.get();
  std::vector<uint8_t> buffers[ChainedReads::kReads];
  PMDL mdls[ChainedReads::kReads];
  PURB urbs[ChainedReads::kReads];
  for (int i = 0; i < ChainedReads::kReads; ++i) {
    buffers[i].resize(8);
    mdls[i] = IoAllocateMdl(buffers[i].data(), 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdls[i]);
    urbs[i] = QRNUSB_BuildAsyncReadWriteRequest(mdls[i], pipe_of(0x81)->PipeHandle, 1);
    chain.irps[i] =
        QRNUSB_BuildAsyncInternalDeviceControlRequest(pdo(), urbs[i], IOCTL_INTERNAL_USB_SUBMIT_URB);
    IoSetCompletionRoutine(chain.irps[i], ChainedReads::routine, &chain, TRUE, TRUE, TRUE);
  }
  const usbbus::UsbBus::Counters before = bus_->counters();
  chain.submit_next();
  LARGE_INTEGER limit;
  limit.QuadPart = -50'000'000; // 5 s
  ASSERT_EQ(KeWaitForSingleObject(&chain.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
  for (int i = 0; i < ChainedReads::kReads; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(chain.submitted[i], STATUS_PENDING);
    EXPECT_EQ(chain.statuses[i], STATUS_SUCCESS);
    EXPECT_EQ(chain.threads[i], device_->thread_id());
    EXPECT_EQ(chain.irqls[i], DISPATCH_LEVEL);
    EXPECT_EQ(buffers[i][0], i);
  }
  EXPECT_TRUE(bus_->wait_idle(5000ms));
  EXPECT_EQ(bus_->counters().completed_later - before.completed_later, 3u);
  for (int i = 0; i < ChainedReads::kReads; ++i) {
    IoFreeIrp(chain.irps[i]);
    IoFreeMdl(mdls[i]);
    ExFreePool(urbs[i]);
  }
}

// What the bus refuses from the driver: transfers in the wrong direction or longer than the
// pipe's maximum (reported as misuse), stale handles, unknown functions.
TEST_F(UsbBusTest, WrongDirectionAndOversizedTransfersAreRefused) {
  attach();
  configure();
  quiet_misuse();
  std::vector<uint8_t> buffer(65536);
  TransferResult wrong_way;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 64, 1, pipe_of(0x02), RecordTransfer, &wrong_way),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wrong_way.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Usb), 1u);

  USBD_PIPE_INFORMATION small = *pipe_of(0x81);
  ExFreePool(interface_);
  interface_ = nullptr;
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(QRNUSB_SelectInterface(pdo(), config, 64, &interface_), STATUS_SUCCESS);
  ExFreePool(config);
  TransferResult stale;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 64, 1, &small, RecordTransfer, &stale),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  TransferResult oversized;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 65, 1, pipe_of(0x81), RecordTransfer, &oversized),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Usb), 1u);
  EXPECT_EQ(device_->submitted(), 0u);
}

TEST_F(UsbBusTest, UnknownUrbFunctionIsRefused) {
  attach();
  _URB_HEADER header{};
  header.Length = sizeof(header);
  header.Function = URB_FUNCTION_CONTROL_TRANSFER;
  EXPECT_EQ(QRNUSB_CallUSBD(pdo(), reinterpret_cast<PURB>(&header)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(header.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

// Reconfiguring closes the old pipes and ends their transfers.
TEST_F(UsbBusTest, SelectingAgainEndsTheOldPipesTransfers) {
  attach();
  configure();
  std::vector<uint8_t> buffer(64);
  TransferResult result;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 64, 1, pipe_of(0x81), RecordTransfer, &result),
            STATUS_PENDING);
  USBD_PIPE_INFORMATION old = *pipe_of(0x81);
  ExFreePool(interface_);
  interface_ = nullptr;
  configure();
  ASSERT_TRUE(result.wait());
  EXPECT_EQ(result.Status, USBD_STATUS_CANCELED);
  EXPECT_NE(old.PipeHandle, pipe_of(0x81)->PipeHandle);
  EXPECT_TRUE(bus_->wait_idle(5000ms));
}

// The text trace: every request at its submission and completion, with direction, endpoint,
// length, status and bytes.
TEST_F(UsbBusTest, TextTraceShowsEachTransfer) {
  attach();
  configure();
  std::vector<std::string> trace;
  std::mutex lock;
  bus_->trace().set_text_sink([&](std::string_view line) {
    std::lock_guard<std::mutex> guard(lock);
    trace.emplace_back(line);
  });
  uint8_t command[] = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
  TransferResult write;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), command, sizeof(command), 0, pipe_of(0x02), RecordTransfer, &write),
            STATUS_SUCCESS);
  std::vector<uint8_t> buffer(65536);
  TransferResult read;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 65536, 1, pipe_of(0x81), RecordTransfer, &read),
            STATUS_SUCCESS);
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(trace.size(), 6u);
  EXPECT_NE(trace[0].find(" S Bo:1:002:2 len=8 = 1b430200 010c0d00\n"), std::string::npos) << trace[0];
  EXPECT_NE(trace[1].find(" C Bo:1:002:2 status=0x00000000 bytes=8\n"), std::string::npos) << trace[1];
  EXPECT_NE(trace[2].find(" S Bi:1:002:1 len=65536\n"), std::string::npos) << trace[2];
  EXPECT_NE(trace[3].find(" C Bi:1:002:1 status=0x00000000 bytes=8 = 1b430200 010c0d00\n"), std::string::npos)
      << trace[3];
  EXPECT_NE(trace[4].find(" S Co:1:002:0 port reset len=0\n"), std::string::npos) << trace[4];
  EXPECT_EQ(trace[0].substr(0, trace[0].find(' ')), trace[1].substr(0, trace[1].find(' ')));
}

} // namespace
} // namespace usbtest
