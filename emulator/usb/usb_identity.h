// The camera's USB identity: its device descriptor and its configuration, as constant tables
// of the bytes the device returns to GET_DESCRIPTOR, and the variants tests use.
//
// The camera is a full-speed device with one configuration whose one interface (vendor class)
// has a bulk IN endpoint (0x81) and a bulk OUT endpoint (0x02), 64-byte packets each.
#pragma once

#include <cstdint>
#include <span>

namespace emu {

// Which configuration the emulated device reports.
enum class UsbIdentityVariant {
  Camera,             // interface 0: bulk IN 0x81, bulk OUT 0x02
  OutPipeFirst,       // interface 0: bulk OUT 0x02, bulk IN 0x81
  ExtraInterruptPipe, // interface 0: interrupt IN 0x83, bulk IN 0x81, bulk OUT 0x02
  TwoInterfaces,      // interfaces 0 (the camera's) and 2 (one interrupt IN 0x83), bNumInterfaces 2
  Long600,            // the camera's interface followed by class descriptors up to 600 bytes
  AltSetting1Only,    // one interface with alternate setting 1 only (none with setting 0)
  ManyPipes,          // the camera's two bulk endpoints and 16 interrupt endpoints (18 pipes)
};

// All variants, for loops in tests and corpus generation.
inline constexpr UsbIdentityVariant kAllUsbIdentityVariants[] = {
    UsbIdentityVariant::Camera,
    UsbIdentityVariant::OutPipeFirst,
    UsbIdentityVariant::ExtraInterruptPipe,
    UsbIdentityVariant::TwoInterfaces,
    UsbIdentityVariant::Long600,
    UsbIdentityVariant::AltSetting1Only,
    UsbIdentityVariant::ManyPipes,
};

// Endpoint addresses of the camera's data pipes.
inline constexpr uint8_t kCameraBulkIn = 0x81;
inline constexpr uint8_t kCameraBulkOut = 0x02;
inline constexpr uint16_t kCameraMaxPacket = 64;

// The 18-byte device descriptor.
std::span<const uint8_t> usb_device_descriptor();

// The whole configuration descriptor (wTotalLength bytes) of a variant.
std::span<const uint8_t> usb_configuration_descriptor(UsbIdentityVariant variant);

// A short name of the variant ("camera", "out-first", ...), for test names and the tool.
const char *usb_identity_variant_name(UsbIdentityVariant variant);

} // namespace emu
