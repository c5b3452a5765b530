// Fuzz target: one input is the configuration descriptor a device returns.
//
// 1. Through the real path: the scripted device answers GET_DESCRIPTOR with the input, and
//    SRB_INITIALIZE_DEVICE reads, checks, selects and walks it over the bus driver.
// 2. Straight into the library: the input, padded with zeros to its wTotalLength, goes to
//    USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx, and to the
//    descriptor walk and dump.
// Every pool block is released after each input, and platform misuse aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "adapter/adapter.h"
#include "emulator/usb/scripted_device.h"
#include "platform/kernel/control.h"
#include "platform/kernel/misuse.h"
#include "platform/usbbus/usb_bus.h"
#include "usb/qrnusb.h"

namespace {

struct Rig {
  std::shared_ptr<emu::ScriptedUsbDevice> device = std::make_shared<emu::ScriptedUsbDevice>();
  std::unique_ptr<usbbus::UsbBus> bus = std::make_unique<usbbus::UsbBus>(device);
  HW_DEVICE_EXTENSION *ext = static_cast<HW_DEVICE_EXTENSION *>(::operator new(sizeof(HW_DEVICE_EXTENSION)));
};

Rig &rig() {
  static Rig *instance = [] {
    platform::misuse_set_action(platform::MisuseAction::Abort);
    return new Rig();
  }();
  return *instance;
}

void initialize_through_the_bus(const uint8_t *data, size_t size) {
  Rig &r = rig();
  r.device->set_configuration_descriptor(std::span<const uint8_t>(data, size));
  std::memset(r.ext, 0, sizeof(HW_DEVICE_EXTENSION));
  PORT_CONFIGURATION_INFORMATION config{};
  config.HwDeviceExtension = r.ext;
  config.PhysicalDeviceObject = r.bus->physical_device_object();
  config.RealPhysicalDeviceObject = r.bus->physical_device_object();
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_INITIALIZE_DEVICE;
  srb.HwDeviceExtension = r.ext;
  srb.CommandData.ConfigInfo = &config;
  (void)AdapterInitializeDevice(&srb);
  AdapterFreeUsbDescriptors(r.ext);
}

void parse_directly(const uint8_t *data, size_t size) {
  if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return;
  const size_t total = data[2] | data[3] << 8;
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < total)
    bytes.resize(total, 0);
  auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());

  USBD_INTERFACE_LIST_ENTRY list[33] = {};
  size_t found = 0;
  PUCHAR start = bytes.data();
  while (found < 32) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    if (d == nullptr)
      break;
    list[found++].InterfaceDescriptor = d;
    start = reinterpret_cast<PUCHAR>(d) + d->bLength;
  }
  if (PURB urb = USBD_CreateConfigurationRequestEx(config, list))
    ExFreePool(urb);

  HW_DEVICE_EXTENSION *ext = rig().ext; // its USB blocks were released by the first part
  ext->pConfigurationDescriptor =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t *>(data));
  SetEachDescriptorPointer(ext, static_cast<ULONG>(size));
  ext->pConfigurationDescriptor = nullptr;
  for (size_t position = 0; position + 2 <= size;) {
    const uint8_t length = data[position];
    if (length < 2 || position + length > size)
      break;
    DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(data + position)));
    position += length;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0x10000)
    return 0;
  initialize_through_the_bus(data, size);
  parse_directly(data, size);
  // Nothing of the input may stay behind.
  if (platform::pool_tag_counts(PoolTag("Wdm ")).live_blocks != 0 ||
      platform::pool_tag_counts(PoolTag("USBD")).live_blocks != 0)
    std::abort();
  return 0;
}
