// The device extension on a bus, for protocol tests.
#include "tests/protocol/camera_link.h"

#include <cstring>
#include <new>

#include "diag/debug_msg.h"
#include "platform/debugdev/debug_device.h"
#include "platform/kernel/pool.h"
#include "usb/qrnusb.h"

namespace prototest {

Bytes data_packet(UCHAR type, const Bytes &data) {
  Bytes p;
  p.reserve(data.size() + 6);
  for (UCHAR b : {type, UCHAR{0}, static_cast<UCHAR>(data.size()), static_cast<UCHAR>(data.size() >> 8)})
    p.push_back(b);
  for (UCHAR b : data)
    p.push_back(b);
  USHORT sum = 0;
  for (UCHAR b : data)
    sum = static_cast<USHORT>(sum + b);
  p.push_back(static_cast<UCHAR>(sum));
  p.push_back(static_cast<UCHAR>(sum >> 8));
  return p;
}

Bytes counting(size_t n, UCHAR first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = static_cast<UCHAR>(first + i);
  return b;
}

void CameraLinkTest::SetUp() {
  PlatformTest::SetUp();
  // The extension is large (three 64 KiB buffers) and starts zero-filled.
  ext_.reset(static_cast<HW_DEVICE_EXTENSION *>(::operator new(sizeof(HW_DEVICE_EXTENSION))));
  std::memset(ext_.get(), 0, sizeof(HW_DEVICE_EXTENSION));
  ASSERT_EQ(platform::debug_device_create(recorder_), STATUS_SUCCESS);
  StartDebugMsg();
}

void CameraLinkTest::TearDown() {
  if (ext_ && ext_->pInterfaceInformation != nullptr)
    ExFreePool(ext_->pInterfaceInformation);
  bus_.reset();
  camera_.reset();
  scripted_.reset();
  platform::debug_device_remove();
  gDebugMsgProc.store(nullptr);
  PlatformTest::TearDown();
}

emu::ScriptedUsbDevice &CameraLinkTest::attach_scripted() {
  scripted_ = std::make_shared<emu::ScriptedUsbDevice>();
  scripted_->set_loopback(false);
  bus_ = std::make_unique<usbbus::UsbBus>(scripted_);
  configure();
  return *scripted_;
}

emu::UsbCamera &CameraLinkTest::attach_camera(const emu::CameraConfig &config) {
  std::string error;
  camera_ = emu::UsbCamera::create(config, &error);
  EXPECT_TRUE(camera_) << error;
  bus_ = std::make_unique<usbbus::UsbBus>(camera_);
  usbbus::UsbBus *bus = bus_.get();
  camera_->set_unplug_handler([bus] { bus->remove_device(); });
  configure();
  return *camera_;
}

// Selects the configuration and finds the bulk pipes, as device
// initialization does, and starts the text trace.
void CameraLinkTest::configure() {
  bus_->trace().set_text_sink([this](std::string_view line) {
    std::lock_guard guard(trace_lock_);
    trace_.emplace_back(line);
  });
  ext_->pRealPhysicalDeviceObject = bus_->physical_device_object();
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(ext_->pRealPhysicalDeviceObject, 0, &config, nullptr),
            STATUS_SUCCESS);
  const NTSTATUS status = QRNUSB_SelectInterface(ext_->pRealPhysicalDeviceObject, config, CAM_BUFFER_SIZE,
                                                 &ext_->pInterfaceInformation);
  ExFreePool(config);
  ASSERT_EQ(status, STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION info = ext_->pInterfaceInformation;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION &pipe = *(info->Pipes + i);
    if (pipe.PipeType != UsbdPipeTypeBulk)
      continue;
    if (pipe.EndpointAddress & 0x80)
      ext_->InPipeIndex = i;
    else
      ext_->OutPipeIndex = i;
  }
  std::lock_guard guard(trace_lock_);
  trace_.clear();
}

std::vector<std::string> CameraLinkTest::trace_lines() const {
  std::lock_guard guard(trace_lock_);
  return trace_;
}

} // namespace prototest
