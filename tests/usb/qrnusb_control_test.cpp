// The synchronous half of the USB transport, through the bus driver and the scripted device:
// descriptor reads, configuration selection, pipe and port resets, the 3-second limit.
#include <chrono>
#include <cstring>

#include "tests/usb/usb_test.h"

#include "platform/kernel/control.h"

namespace usbtest {
namespace {

using emu::UsbIdentityVariant;
using namespace std::chrono_literals;

// A lower device that records what reaches it and completes every request at once with
// success: shows what the transport puts into its requests.
struct SpyDevice {
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ULONG code = 0;
  PVOID argument = reinterpret_cast<PVOID>(1);
  USHORT function = 0;
  USBD_PIPE_HANDLE pipe_handle = nullptr;

  SpyDevice() {
    driver = platform::driver_create(u"\\Driver\\UsbSpy");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(SpyDevice *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    *static_cast<SpyDevice **>(device->DeviceExtension) = this;
  }
  ~SpyDevice() { platform::driver_delete(driver); }

  static NTSTATUS dispatch(PDEVICE_OBJECT device_object, PIRP irp) {
    auto spy = *static_cast<SpyDevice **>(device_object->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    spy->code = stack->Parameters.DeviceIoControl.IoControlCode;
    spy->argument = stack->Parameters.Others.Argument1;
    if (spy->code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
      auto urb = static_cast<PURB>(spy->argument);
      spy->function = urb->UrbHeader.Function;
      spy->pipe_handle = urb->UrbPipeRequest.PipeHandle;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
};

class QrnusbControlTest : public UsbTest {};

// Configuration reads: one pass when the configuration fits 521 bytes, a second of
// wTotalLength + 512 bytes when it does not. Catches a wrong first size or a missing pass.
TEST_F(QrnusbControlTest, ConfigurationFittingTheFirstPassIsReadOnce) {
  attach();
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ULONG length = 0;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 32u);
  EXPECT_EQ(count("enter QRNUSB_GetDescriptorRequest\n"), 1u);
  EXPECT_NE(position("exit  QRNUSB_GetDescriptorRequest RetLen=0x20\n"), std::string::npos);
  EXPECT_NE(position("GetConfigurationDescriptor 00000020 00000209 \n"), std::string::npos);
  EXPECT_EQ(std::memcmp(config, emu::usb_configuration_descriptor(UsbIdentityVariant::Camera).data(), 32), 0);
  ExFreePool(config);
}

TEST_F(QrnusbControlTest, LongConfigurationIsReadAgainWithItsTotalLengthAnd512) {
  attach(UsbIdentityVariant::Long600);
  std::vector<std::string> trace;
  bus_->trace().set_text_sink([&](std::string_view line) { trace.emplace_back(line); });
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ULONG length = 0;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 600u);
  EXPECT_EQ(config->wTotalLength, 600);
  EXPECT_EQ(count("enter QRNUSB_GetDescriptorRequest\n"), 2u);
  EXPECT_NE(position("exit  QRNUSB_GetDescriptorRequest RetLen=0x209\n"), std::string::npos);
  EXPECT_NE(position("exit  QRNUSB_GetDescriptorRequest RetLen=0x258\n"), std::string::npos);
  EXPECT_NE(position("GetConfigurationDescriptor 00000258 00000458 \n"), std::string::npos);
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_NE(trace[0].find(" s 80 06 0200 0000 0209 len=521"), std::string::npos) << trace[0];
  EXPECT_NE(trace[2].find(" s 80 06 0200 0000 0458 len=1112"), std::string::npos) << trace[2];
  // The block handed over is the second one, of 1112 bytes.
  bool found = false;
  for (const platform::PoolBlock &block : platform::pool_live_blocks_since(pool_baseline()))
    found = found || (block.address == config && block.size == 1112);
  EXPECT_TRUE(found);
  ExFreePool(config);
}

TEST_F(QrnusbControlTest, FirstPassThatTransfersNothingEndsTheRead) {
  attach();
  device_->stall_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ULONG length = 1234;
  EXPECT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, &length), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(length, 0u);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(count("enter QRNUSB_GetDescriptorRequest\n"), 1u);
  EXPECT_NE(position("IoCallDriver status=0xC0000001\n"), std::string::npos);
  EXPECT_NE(position("GetConfigurationDescriptor 00000000 00000209 \n"), std::string::npos);
  ExFreePool(config);
}

TEST_F(QrnusbControlTest, TotalLengthTooLongForTheBufferLengthIsRefused) {
  attach();
  std::vector<uint8_t> bytes(emu::usb_configuration_descriptor(UsbIdentityVariant::Camera).begin(),
                             emu::usb_configuration_descriptor(UsbIdentityVariant::Camera).end());
  bytes[2] = 0x00; // wTotalLength 65024: 65024 + 512 does not fit 16 bits
  bytes[3] = 0xFE;
  device_->set_configuration_descriptor(bytes);
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  EXPECT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, nullptr), STATUS_BUFFER_TOO_SMALL);
  EXPECT_NE(position("QRNUSB_GetConfigurationDescriptor:ERROR wTotalLength=0xfe00 too long\n"),
            std::string::npos);
  EXPECT_EQ(count("enter QRNUSB_GetDescriptorRequest\n"), 1u);
  ASSERT_NE(config, nullptr);
  ExFreePool(config);
}

// The device descriptor: an 18-byte block with the device's bytes, a short or foreign one
// refused. Catches a block of the wrong size or a lie passed on.
TEST_F(QrnusbControlTest, DeviceDescriptorIsReadIntoItsOwnBlock) {
  attach();
  PUSB_DEVICE_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(QRNUSB_GetDeviceDescriptor(pdo(), &descriptor), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(descriptor, emu::usb_device_descriptor().data(), 18), 0);
  EXPECT_NE(position("exit  QRNUSB_GetDescriptorRequest RetLen=0x12\n"), std::string::npos);
  EXPECT_NE(position("exit  QRNUSB_GetDeviceDescriptor\n"), std::string::npos);
  ExFreePool(descriptor);
}

TEST_F(QrnusbControlTest, ShortDeviceDescriptorIsRefused) {
  attach();
  const uint8_t short_descriptor[] = {8, 1, 0x10, 0x01, 0, 0, 0, 64};
  device_->set_device_descriptor(short_descriptor);
  PUSB_DEVICE_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(QRNUSB_GetDeviceDescriptor(pdo(), &descriptor), STATUS_INVALID_PARAMETER);
  EXPECT_NE(position("QRNUSB_GetDeviceDescriptor:ERROR bad descriptor RetLen=0x8\n"), std::string::npos);
  ExFreePool(descriptor);
}

// Interface search and selection: interfaces with alternate setting 0 by number, a bounded
// search, the first interface copied for the caller. Catches a search that stops at a gap, a
// missing bound, an overrun of the 16-pipe block.
TEST_F(QrnusbControlTest, InterfacesNumberedZeroAndTwoAreBothSelected) {
  attach(UsbIdentityVariant::TwoInterfaces);
  configure();
  ASSERT_NE(interface_, nullptr);
  EXPECT_EQ(interface_->InterfaceNumber, 0);
  EXPECT_EQ(interface_->NumberOfPipes, 2u);
  EXPECT_EQ(interface_->Length, USBD_INTERFACE_INFORMATION_SIZE(2));
  // Interface 2 was selected too: its interrupt pipe is open on the bus.
  // (Its dump came before configure() cleared the log; run the selection again to see it.)
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, nullptr), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION second = nullptr;
  ASSERT_EQ(QRNUSB_SelectInterface(pdo(), config, 0x10000, &second), STATUS_SUCCESS);
  ExFreePool(config);
  ExFreePool(second);
  EXPECT_EQ(count("INTERFACE_DESCRIPTOR\n"), 2u);
  const size_t first = position("    bInterfaceNumber   =0x00\n");
  const size_t third = position("    bInterfaceNumber   =0x02\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(third, std::string::npos);
  EXPECT_LT(first, third);
  EXPECT_NE(position("QRNUSB_SelectInterface:OK USBD_CreateConfigurationRequestEx\n"), std::string::npos);
}

TEST_F(QrnusbControlTest, InterfaceWithOnlyAlternateSettingOneIsNotFound) {
  attach(UsbIdentityVariant::AltSetting1Only);
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, nullptr), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION interface = nullptr;
  EXPECT_EQ(QRNUSB_SelectInterface(pdo(), config, 0x10000, &interface), STATUS_NO_MATCH);
  EXPECT_EQ(interface, nullptr);
  EXPECT_EQ(count("INTERFACE_DESCRIPTOR\n"), 0u);
  EXPECT_NE(position("QRNUSB_SelectInterface:ERROR No Interface\n"), std::string::npos);
  EXPECT_EQ(device_->configuration(), 0);
  ExFreePool(config);
}

TEST_F(QrnusbControlTest, SearchStopsAfterTheLastInterfaceNumber) {
  attach();
  // bNumInterfaces says 3, only interface 0 exists: the search tries all 256 numbers, then
  // selects what it found.
  std::vector<uint8_t> bytes(emu::usb_configuration_descriptor(UsbIdentityVariant::Camera).begin(),
                             emu::usb_configuration_descriptor(UsbIdentityVariant::Camera).end());
  bytes[4] = 3;
  device_->set_configuration_descriptor(bytes);
  configure();
  EXPECT_EQ(interface_->NumberOfPipes, 2u);
}

TEST_F(QrnusbControlTest, SelectedPipesCarryTheirEndpointsAndTheMaximumTransferSize) {
  attach(UsbIdentityVariant::ExtraInterruptPipe);
  configure();
  ASSERT_EQ(interface_->NumberOfPipes, 3u);
  EXPECT_EQ(interface_->Class, 0xFF);
  const UCHAR addresses[] = {0x83, 0x81, 0x02};
  const USBD_PIPE_TYPE types[] = {UsbdPipeTypeInterrupt, UsbdPipeTypeBulk, UsbdPipeTypeBulk};
  for (ULONG i = 0; i < 3; ++i) {
    EXPECT_EQ(pipe(i)->EndpointAddress, addresses[i]);
    EXPECT_EQ(pipe(i)->PipeType, types[i]);
    EXPECT_EQ(pipe(i)->MaximumTransferSize, 0x10000u);
    EXPECT_NE(pipe(i)->PipeHandle, nullptr);
  }
  EXPECT_EQ(pipe(1)->MaximumPacketSize, 64);
  EXPECT_EQ(device_->configuration(), 1);
}

TEST_F(QrnusbControlTest, InterfaceWithMoreThanSixteenPipesIsRefused) {
  attach(UsbIdentityVariant::ManyPipes);
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, nullptr), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION interface = nullptr;
  EXPECT_EQ(QRNUSB_SelectInterface(pdo(), config, 0x10000, &interface), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(interface, nullptr);
  EXPECT_NE(position("QRNUSB_SelectInterface:ERROR Interface too large Pipes=18\n"), std::string::npos);
  EXPECT_EQ(device_->configuration(), 0); // nothing was sent
  ExFreePool(config);
}

TEST_F(QrnusbControlTest, SelectionAllocationFailuresAreReportedAndLeaveNothing) {
  attach();
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, nullptr), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION interface = nullptr;
  platform::pool_fail_nth(1, PoolTag("Wdm "));
  EXPECT_EQ(QRNUSB_SelectInterface(pdo(), config, 0x10000, &interface), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_NE(position("QRNUSB_SelectInterface:ERROR Allocate Interface List\n"), std::string::npos);
  platform::pool_fail_nth(1, PoolTag("USBD"));
  EXPECT_EQ(QRNUSB_SelectInterface(pdo(), config, 0x10000, &interface), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_NE(position("QRNUSB_SelectInterface:ERROR USBD_CreateConfigurationRequestEx\n"), std::string::npos);
  // The interface block is the second "Wdm " block: the list, then (after the request) the block.
  platform::pool_fail_nth(2, PoolTag("Wdm "));
  EXPECT_EQ(QRNUSB_SelectInterface(pdo(), config, 0x10000, &interface), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(interface, nullptr);
  ExFreePool(config);
}

// DescriptorDump: the exact field lines of each known type, raw bytes of others, at most 18.
// Catches a wrong padding, width or length.
TEST_F(QrnusbControlTest, DumpOfAnEndpointShowsEachFieldInItsWidth) {
  const uint8_t endpoint[] = {7, 5, 0x81, 2, 0x40, 0x00, 0};
  EXPECT_EQ(DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(endpoint))), 7u);
  const std::vector<std::string> expected = {
      "ENDPOINT_DESCRIPTOR\n",          "    bLength            =0x07\n", "    bDescriptorType    =0x05\n",
      "    bEndpointAddress   =0x81\n", "    bmAttributes       =0x02\n", "    wMaxPacketSize     =0x0040\n",
      "    bInterval          =0x00\n"};
  EXPECT_EQ(log(), expected);
}

TEST_F(QrnusbControlTest, DumpOfAConfigurationHasTheUnpaddedValueName) {
  auto config = emu::usb_configuration_descriptor(UsbIdentityVariant::Camera);
  EXPECT_EQ(DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(config.data()))),
            9u);
  EXPECT_NE(position("    wTotalLength       =0x0020\n"), std::string::npos);
  EXPECT_NE(position("    bConfigurationValue=0x01\n"), std::string::npos);
  auto device = emu::usb_device_descriptor();
  EXPECT_EQ(DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(device.data()))),
            18u);
  EXPECT_NE(position("    idVendor           =0x1209\n"), std::string::npos);
  EXPECT_NE(position("    bNumConfigurations =0x01\n"), std::string::npos);
}

TEST_F(QrnusbControlTest, DumpOfAStringDescriptorIsUnknownWithItsBytes) {
  const uint8_t string_descriptor[] = {4, 3, 0x09, 0x04};
  EXPECT_EQ(
      DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(string_descriptor))), 4u);
  const std::vector<std::string> expected = {"UNKNOWN Descriptor\n", "04 ", "03 ", "09 ", "04 ", "\n"};
  EXPECT_EQ(log(), expected);
}

TEST_F(QrnusbControlTest, DumpOfALongUnknownDescriptorShowsEighteenBytes) {
  uint8_t unknown[40];
  for (int i = 0; i < 40; ++i)
    unknown[i] = static_cast<uint8_t>(i);
  unknown[0] = 40;
  unknown[1] = 0x24;
  EXPECT_EQ(DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(unknown)), 40u);
  const auto lines = log();
  ASSERT_EQ(lines.size(), 1u + 18u + 1u);
  EXPECT_EQ(lines[1], "28 ");
  EXPECT_EQ(lines[18], "11 ");
  EXPECT_EQ(lines[19], "\n");
}

TEST_F(QrnusbControlTest, DumpOfAShortKnownDescriptorReadsOnlyItsBytes) {
  const uint8_t truncated[] = {3, 4, 0};
  EXPECT_EQ(DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(truncated))), 3u);
  EXPECT_EQ(count("INTERFACE_DESCRIPTOR\n"), 0u);
  EXPECT_EQ(position("UNKNOWN Descriptor\n"), 0u);
}

// What the requests carry: the port reset NULL, the pipe reset the pipe's handle. Catches
// the pipe information passed instead of its handle.
TEST_F(QrnusbControlTest, PortResetSendsNullAndPipeResetSendsTheHandle) {
  SpyDevice spy;
  EXPECT_EQ(QRNUSB_ResetPort(spy.device), STATUS_SUCCESS);
  EXPECT_EQ(spy.code, static_cast<ULONG>(IOCTL_INTERNAL_USB_RESET_PORT));
  EXPECT_EQ(spy.argument, nullptr);
  EXPECT_EQ(position("enter QRNUSB_ResetPort\n"), 0u);

  USBD_PIPE_INFORMATION pipe{};
  pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x5B0001);
  EXPECT_EQ(QRNUSB_ResetPipe(spy.device, &pipe), STATUS_SUCCESS);
  EXPECT_EQ(spy.code, static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB));
  EXPECT_EQ(spy.function, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(spy.pipe_handle, pipe.PipeHandle);
  const std::vector<std::string> expected_tail = {
      "enter QRNUSB_ResetPipe\n", "enter QRNUSB_PipeRequest\n",     "enter QRNUSB_CallUSBD\n",
      "status 0x00000000\n",      "exit  QRNUSB_InternalRequest\n", "exit  QRNUSB_PipeRequest\n"};
  const auto lines = log();
  ASSERT_GE(lines.size(), expected_tail.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - 6, lines.end()), expected_tail);
}

TEST_F(QrnusbControlTest, PipeResetReachesTheDeviceWithItsEndpoint) {
  attach();
  configure();
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), pipe_of(0x81)), STATUS_SUCCESS);
  EXPECT_EQ(device_->pipe_resets(), std::vector<uint8_t>{0x81});
  USBD_PIPE_INFORMATION forged = *pipe_of(0x81);
  forged.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), &forged), STATUS_INVALID_PARAMETER);
}

// The 3-second limit on a pended control request: success at 2.9 s, STATUS_TIMEOUT and the
// two lines at 3 s, and a late completion that touches nothing of the returned call.
// Catches a wrong limit, a lost time-out, a use after return (under AddressSanitizer).
TEST_F(QrnusbControlTest, RequestAnsweredAfterTwoPointNineSecondsSucceeds) {
  attach();
  bus_->set_control_delay(2900ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms);
  EXPECT_EQ(count("Invalid status=0x00000102\n"), 0u);
  EXPECT_EQ(bus_->counters().completed_later, 1u);
  EXPECT_EQ(device_->port_resets(), 1u);
}

TEST_F(QrnusbControlTest, RequestNotAnsweredWithinThreeSecondsTimesOut) {
  attach();
  bus_->set_control_delay(60s);
  PUSB_DEVICE_DESCRIPTOR descriptor = nullptr;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QRNUSB_GetDeviceDescriptor(pdo(), &descriptor), STATUS_TIMEOUT);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 3s);
  EXPECT_LT(waited, 30s);
  const size_t timing = position("Invalid status=0x00000102\n");
  ASSERT_NE(timing, std::string::npos);
  EXPECT_EQ(log()[timing - 1].rfind("InternalRequest StartTime=0x", 0), 0u);
  EXPECT_NE(log()[timing - 1].find("msec\n"), std::string::npos);
  EXPECT_EQ(log()[timing + 1], "status 0x00000102\n");
  EXPECT_NE(position("exit  QRNUSB_GetDescriptorRequest RetLen=0x0\n"), std::string::npos);
  // The request was cancelled and completed before the call returned.
  EXPECT_TRUE(bus_->wait_idle(5000ms));
  EXPECT_EQ(bus_->counters().cancelled, 1u);
  ExFreePool(descriptor);
}

TEST_F(QrnusbControlTest, PendedRequestThatFailsReportsItsFailure) {
  attach();
  bus_->set_control_delay(10ms);
  device_->stall_descriptor(USB_DEVICE_DESCRIPTOR_TYPE);
  PUSB_DEVICE_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(QRNUSB_GetDeviceDescriptor(pdo(), &descriptor), STATUS_UNSUCCESSFUL);
  EXPECT_NE(position("status 0xC0000001\n"), std::string::npos);
  ExFreePool(descriptor);
}

TEST_F(QrnusbControlTest, RequestsToARemovedDeviceFailAtOnce) {
  attach();
  bus_->remove_device();
  PUSB_DEVICE_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(QRNUSB_GetDeviceDescriptor(pdo(), &descriptor), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_NE(position("IoCallDriver status=0xC000009D\n"), std::string::npos);
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_DEVICE_NOT_CONNECTED);
  ExFreePool(descriptor);
}

TEST_F(QrnusbControlTest, RemovalEndsAPendedControlRequest) {
  attach();
  bus_->set_control_delay(60s);
  std::thread remover([&] {
    std::this_thread::sleep_for(100ms);
    bus_->remove_device();
  });
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_DEVICE_NOT_CONNECTED);
  remover.join();
  EXPECT_EQ(device_->port_resets(), 0u);
}

TEST_F(QrnusbControlTest, NoPacketMeansInsufficientResources) {
  attach();
  platform::pool_fail_tag(PoolTag("Irp "));
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();
  EXPECT_EQ(count("status 0xC000009A\n"), 0u); // returned before anything was sent or logged
}

} // namespace
} // namespace usbtest
