// Device initialization (SRB_INITIALIZE_DEVICE) on the scripted device: the pipes found, the
// pipes reset, the descriptor walk and dump logged, every failure ending the initialization
// with its error line and nothing left allocated.
#include <cstring>
#include <new>

#include "adapter/adapter.h"
#include "platform/streamclass/host.h"
#include "tests/usb/usb_test.h"

namespace usbtest {
namespace {

using emu::UsbIdentityVariant;
using namespace std::chrono_literals;

struct ExtensionDeleter {
  void operator()(HW_DEVICE_EXTENSION *extension) const { ::operator delete(extension); }
};

class InitializeDeviceTest : public UsbTest {
protected:
  void SetUp() override {
    UsbTest::SetUp();
    // The stream class hands the extension over zero-filled; it holds three 64 KiB buffers.
    ext_.reset(static_cast<HW_DEVICE_EXTENSION *>(::operator new(sizeof(HW_DEVICE_EXTENSION))));
    std::memset(ext_.get(), 0, sizeof(HW_DEVICE_EXTENSION));
  }
  void TearDown() override {
    AdapterFreeUsbDescriptors(ext_.get());
    UsbTest::TearDown();
  }

  // Sends SRB_INITIALIZE_DEVICE, built as the stream class builds it, to the driver.
  BOOLEAN initialize() {
    config_ = PORT_CONFIGURATION_INFORMATION{};
    config_.SizeOfThisPacket = sizeof(config_);
    config_.HwDeviceExtension = ext_.get();
    config_.PhysicalDeviceObject = pdo();
    config_.RealPhysicalDeviceObject = pdo();
    srb_ = HW_STREAM_REQUEST_BLOCK{};
    srb_.SizeOfThisPacket = sizeof(srb_);
    srb_.Command = SRB_INITIALIZE_DEVICE;
    srb_.Status = STATUS_SUCCESS;
    srb_.HwDeviceExtension = ext_.get();
    srb_.CommandData.ConfigInfo = &config_;
    gDebugMsgProc.store(nullptr); // the initialization opens the channel itself
    return AdapterInitializeDevice(&srb_);
  }

  // The messages of the descriptor walk, in order.
  std::vector<std::string> walk() const {
    std::vector<std::string> lines;
    for (const std::string &line : log())
      if (line.rfind("SetEachDescriptorPointer", 0) == 0 || line.rfind("USB_", 0) == 0)
        lines.push_back(line);
    return lines;
  }

  std::unique_ptr<HW_DEVICE_EXTENSION, ExtensionDeleter> ext_;
  PORT_CONFIGURATION_INFORMATION config_{};
  HW_STREAM_REQUEST_BLOCK srb_{};
};

// The camera's own configuration: everything a stream needs afterwards is in place.
// Catches a wrong pipe index, a pipe not reset, a missing initial value.
TEST_F(InitializeDeviceTest, CameraComesUpWithItsPipesFoundAndReset) {
  attach();
  ASSERT_TRUE(initialize());
  EXPECT_EQ(srb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(config_.StreamDescriptorSize, sizeof(HW_STREAM_DESCRIPTOR));
  EXPECT_EQ(ext_->pRealPhysicalDeviceObject, pdo());
  EXPECT_EQ(ext_->InPipeIndex, 0u);
  EXPECT_EQ(ext_->OutPipeIndex, 1u);
  EXPECT_EQ(ext_->ZoomValue, 50);
  EXPECT_EQ(ext_->FocusFlags, 2u);
  EXPECT_EQ(ext_->pPropChangeWorkItem, nullptr);
  EXPECT_EQ(KeReadStateEvent(&ext_->CameraLockEvent), 1);
  EXPECT_EQ(KeReadStateEvent(&ext_->PropChangeEvent), 0);
  EXPECT_TRUE(IsListEmpty(&ext_->StreamControlSRBList[0]));
  EXPECT_TRUE(IsListEmpty(&ext_->StreamSRBList[0]));
  EXPECT_EQ(ext_->StreamSRBListSize[0], 0);
  ASSERT_NE(ext_->pDeviceDescriptor, nullptr);
  EXPECT_EQ(ext_->pDeviceDescriptor->bLength, 18);
  ASSERT_NE(ext_->pInterfaceInformation, nullptr);
  EXPECT_EQ(ext_->pInterfaceInformation->Pipes[0].MaximumTransferSize, 0x10000u);
  EXPECT_EQ(device_->pipe_resets(), (std::vector<uint8_t>{0x81, 0x02}));
  EXPECT_EQ(device_->configuration(), 1);

  const auto lines = log();
  ASSERT_GE(lines.size(), 6u);
  const char *starts[] = {"AdapterInitializeDevice DeviceExtension=",
                          "AdapterInitializeDevice PDO=",
                          "AdapterInitializeDevice RealPDO=",
                          "AdapterInitializeDevice FDO=00000000\n",
                          "AdapterInitializeDevice DeviceExtension=00000000\n",
                          "AdapterInitializeDevice AttachedPDO=00000000\n"};
  for (size_t i = 0; i < 6; ++i)
    EXPECT_EQ(lines[i].rfind(starts[i], 0), 0u) << lines[i];
  const size_t device_ok = position("GetDeviceDescriptor OK\n");
  const size_t config_ok = position("GetConfigurationDescriptor OK\n");
  const size_t in = position("Find InPipe 0\n");
  const size_t out = position("Find OutPipe 1\n");
  ASSERT_NE(out, std::string::npos);
  EXPECT_LT(device_ok, config_ok);
  EXPECT_LT(config_ok, in);
  EXPECT_LT(in, out);
  EXPECT_EQ(count("enter QRNUSB_ResetPipe\n"), 2u);
  EXPECT_LT(out, position("enter QRNUSB_ResetPipe\n"));
}

TEST_F(InitializeDeviceTest, WalkLogsEachDescriptorWithItsTypeLine) {
  attach();
  ASSERT_TRUE(initialize());
  const std::vector<std::string> expected = {
      "SetEachDescriptorPointer Len=9 TYPE=02h\n", "USB_CONFIGURATION_DESCRIPTOR_TYPE\n",
      "SetEachDescriptorPointer Len=9 TYPE=04h\n", "USB_INTERFACE_DESCRIPTOR_TYPE\n",
      "SetEachDescriptorPointer Len=7 TYPE=05h\n", "USB_ENDPOINT_DESCRIPTOR_TYPE\n",
      "SetEachDescriptorPointer Len=7 TYPE=05h\n", "USB_ENDPOINT_DESCRIPTOR_TYPE\n"};
  EXPECT_EQ(walk(), expected);
  // The interface was dumped by the selection, before the walk.
  EXPECT_LT(position("INTERFACE_DESCRIPTOR\n"), position("SetEachDescriptorPointer Len=9 TYPE=02h\n"));
  EXPECT_NE(position("    bNumEndpoints      =0x02\n"), std::string::npos);
}

// The variants: the pipes are told apart by type and direction, whatever their order.
TEST_F(InitializeDeviceTest, OutPipeFirstIsFoundFirstAndInIsStillResetFirst) {
  attach(UsbIdentityVariant::OutPipeFirst);
  ASSERT_TRUE(initialize());
  EXPECT_EQ(ext_->OutPipeIndex, 0u);
  EXPECT_EQ(ext_->InPipeIndex, 1u);
  const size_t out = position("Find OutPipe 0\n");
  const size_t in = position("Find InPipe 1\n");
  ASSERT_NE(out, std::string::npos);
  ASSERT_NE(in, std::string::npos);
  EXPECT_LT(out, in);
  EXPECT_EQ(device_->pipe_resets(), (std::vector<uint8_t>{0x81, 0x02}));
}

TEST_F(InitializeDeviceTest, InterruptPipeIsSkipped) {
  attach(UsbIdentityVariant::ExtraInterruptPipe);
  ASSERT_TRUE(initialize());
  EXPECT_EQ(ext_->InPipeIndex, 1u);
  EXPECT_EQ(ext_->OutPipeIndex, 2u);
  EXPECT_EQ(position("Find InPipe 0\n"), std::string::npos);
  EXPECT_EQ(device_->pipe_resets(), (std::vector<uint8_t>{0x81, 0x02}));
}

TEST_F(InitializeDeviceTest, TwoInterfacesAndALongConfigurationAreWalkedWhole) {
  attach(UsbIdentityVariant::TwoInterfaces);
  ASSERT_TRUE(initialize());
  EXPECT_EQ(count("USB_INTERFACE_DESCRIPTOR_TYPE\n"), 2u);
  EXPECT_EQ(count("USB_ENDPOINT_DESCRIPTOR_TYPE\n"), 3u);
  EXPECT_EQ(ext_->pInterfaceInformation->InterfaceNumber, 0);

  AdapterFreeUsbDescriptors(ext_.get());
  bus_.reset();
  recorder_->clear();
  attach(UsbIdentityVariant::Long600);
  ASSERT_TRUE(initialize());
  EXPECT_EQ(count("SetEachDescriptorPointer Len=71 TYPE=24h\n"), 8u);
  EXPECT_EQ(walk().size(), 2u * 4 + 8);
  EXPECT_EQ(ext_->OutPipeIndex, 1u);
}

// Failures: the step's error line, FALSE, the request's Status untouched, nothing kept.
TEST_F(InitializeDeviceTest, FailingDeviceDescriptorLogsOnlyItsErrorLine) {
  attach();
  device_->stall_descriptor(USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_FALSE(initialize());
  EXPECT_EQ(srb_.Status, STATUS_SUCCESS);
  const auto lines = log();
  const size_t error = position("ERROR:GetDeviceDescriptor status 0xC0000001\n");
  ASSERT_NE(error, std::string::npos);
  EXPECT_EQ(error, lines.size() - 1);
  EXPECT_EQ(lines[5].rfind("AdapterInitializeDevice AttachedPDO=", 0), 0u);
  for (size_t i = 6; i < error; ++i)
    EXPECT_EQ(lines[i].find("AdapterInitializeDevice"), std::string::npos) << lines[i];
  EXPECT_EQ(position("GetDeviceDescriptor OK\n"), std::string::npos);
  EXPECT_EQ(ext_->pDeviceDescriptor, nullptr);
  EXPECT_TRUE(device_->pipe_resets().empty());
}

TEST_F(InitializeDeviceTest, FailingConfigurationReadReleasesTheDeviceDescriptor) {
  attach();
  device_->stall_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_FALSE(initialize());
  EXPECT_NE(position("GetDeviceDescriptor OK\n"), std::string::npos);
  EXPECT_NE(position("ERROR:GetConfigurationDescriptor status 0xC0000001\n"), std::string::npos);
  EXPECT_EQ(position("GetConfigurationDescriptor OK\n"), std::string::npos);
  EXPECT_EQ(ext_->pDeviceDescriptor, nullptr);
  EXPECT_EQ(ext_->pConfigurationDescriptor, nullptr);
  EXPECT_EQ(device_->configuration(), 0);
}

TEST_F(InitializeDeviceTest, VariantsWithoutAUsableInterfaceFailTheSelection) {
  attach(UsbIdentityVariant::AltSetting1Only);
  EXPECT_FALSE(initialize());
  EXPECT_NE(position("ERROR:QRNUSB_SelectConfiguration status 0xC0000272\n"), std::string::npos);
  bus_.reset();
  recorder_->clear();
  attach(UsbIdentityVariant::ManyPipes);
  EXPECT_FALSE(initialize());
  EXPECT_NE(position("ERROR:QRNUSB_SelectConfiguration status 0xC0000023\n"), std::string::npos);
  EXPECT_EQ(ext_->pInterfaceInformation, nullptr);
}

TEST_F(InitializeDeviceTest, TimedOutRequestIsAFailure) {
  attach();
  bus_->set_control_delay(60s);
  EXPECT_FALSE(initialize());
  EXPECT_NE(position("ERROR:GetDeviceDescriptor status 0x00000102\n"), std::string::npos);
  EXPECT_TRUE(bus_->wait_idle(5000ms));
}

TEST_F(InitializeDeviceTest, SecondInitializationReplacesTheBlocks) {
  attach();
  ASSERT_TRUE(initialize());
  const PVOID first = ext_->pConfigurationDescriptor;
  ASSERT_TRUE(initialize());
  EXPECT_NE(ext_->pConfigurationDescriptor, nullptr);
  (void)first; // the first blocks are gone: the pool check at the end finds no leak
}

// Descriptors that lie are refused before anything walks them.
// Catches a read past the bytes the device returned (AddressSanitizer) or a lie passed on.
TEST_F(InitializeDeviceTest, LyingConfigurationsAreRefused) {
  const auto camera = emu::usb_configuration_descriptor(UsbIdentityVariant::Camera);
  struct Lie {
    const char *what;
    size_t offset;
    uint8_t value;
    const char *error;
  };
  const Lie lies[] = {
      {"total length beyond the bytes", 2, 40, "ERROR:GetConfigurationDescriptor status 0xC000000D\n"},
      {"total length below the header", 2, 4, "ERROR:GetConfigurationDescriptor status 0xC000000D\n"},
      {"zero-length interface", 9, 0, "ERROR:GetConfigurationDescriptor status 0xC000000D\n"},
      {"short endpoint", 18, 5, "ERROR:GetConfigurationDescriptor status 0xC000000D\n"},
      {"endpoint past the end", 25, 8, "ERROR:GetConfigurationDescriptor status 0xC000000D\n"},
      {"header of another type", 1, 4, "ERROR:GetConfigurationDescriptor status 0xC000000D\n"},
      {"more endpoints than described", 13, 3, "ERROR:QRNUSB_SelectConfiguration status 0xC000000D\n"},
  };
  for (const Lie &lie : lies) {
    SCOPED_TRACE(lie.what);
    std::vector<uint8_t> bytes(camera.begin(), camera.end());
    bytes[lie.offset] = lie.value;
    bus_.reset();
    recorder_->clear();
    attach();
    device_->set_configuration_descriptor(bytes);
    EXPECT_FALSE(initialize());
    EXPECT_NE(position(lie.error), std::string::npos);
    EXPECT_EQ(walk().size(), 0u);
  }
}

// The walk itself, on a hand-made block: it stops at a zero length after that descriptor's
// line and never reads a header it does not wholly have.
TEST_F(InitializeDeviceTest, WalkStopsAtAZeroLengthAndAtATruncatedHeader) {
  StartDebugMsg();
  uint8_t bytes[] = {9, 2, 20, 0, 1, 1, 0, 0x80, 0xFA, 0, 4, 9, 4};
  ext_->pConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes);
  SetEachDescriptorPointer(ext_.get(), sizeof(bytes));
  const std::vector<std::string> expected = {
      "SetEachDescriptorPointer Len=9 TYPE=02h\n", "USB_CONFIGURATION_DESCRIPTOR_TYPE\n",
      "SetEachDescriptorPointer Len=0 TYPE=04h\n", "USB_INTERFACE_DESCRIPTOR_TYPE\n"};
  EXPECT_EQ(walk(), expected);
  recorder_->clear();
  // Nine bytes and then one lone byte: the walk ends without reading past the tenth.
  SetEachDescriptorPointer(ext_.get(), 10);
  EXPECT_EQ(walk().size(), 2u);
  ext_->pConfigurationDescriptor = nullptr;
}

// Through the stream class host: SRB_INITIALIZE_DEVICE as the host sends it at start.
TEST_F(InitializeDeviceTest, HostStartBringsTheCameraUp) {
  attach();
  std::unique_ptr<streamclass::Driver> driver;
  ASSERT_EQ(streamclass::load_driver(DriverEntry, driver), STATUS_SUCCESS);
  std::unique_ptr<streamclass::Adapter> adapter;
  ASSERT_EQ(driver->add_device(pdo(), adapter), STATUS_SUCCESS);
  const NTSTATUS started = adapter->start();
  auto extension = static_cast<PHW_DEVICE_EXTENSION>(adapter->device_extension());
  EXPECT_EQ(started, STATUS_SUCCESS);
  EXPECT_EQ(extension->pRealPhysicalDeviceObject, pdo());
  EXPECT_EQ(device_->pipe_resets(), (std::vector<uint8_t>{0x81, 0x02}));
  EXPECT_NE(position("Find InPipe 0\n"), std::string::npos);
  const auto lines = log();
  const size_t fdo_line = position("AdapterInitializeDevice FDO=00000000\n");
  EXPECT_EQ(fdo_line, std::string::npos); // the host's class device object is a real one
  // What SRB_UNINITIALIZE_DEVICE must release once the host removes the device.
  AdapterFreeUsbDescriptors(extension);
  EXPECT_EQ(adapter->remove(), STATUS_SUCCESS);
  adapter.reset();
  driver.reset();
}

} // namespace
} // namespace usbtest
