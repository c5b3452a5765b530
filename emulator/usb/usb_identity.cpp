// The camera's USB identity as constant tables.
#include "emulator/usb/usb_identity.h"

#include <array>
#include <cstddef>

namespace emu {
namespace {

// Builds a configuration descriptor at compile time, row by row; wTotalLength is patched at
// the end.
template <size_t N> struct ConfigBuilder {
  std::array<uint8_t, N> bytes{};
  size_t size = 0;

  constexpr void put(std::initializer_list<uint8_t> row) {
    for (uint8_t b : row)
      bytes[size++] = b;
  }
  constexpr void configuration(uint8_t interfaces) {
    // bLength, type, wTotalLength (patched), bNumInterfaces, bConfigurationValue,
    // iConfiguration, bmAttributes (bus powered), MaxPower (500 mA)
    put({9, 0x02, 0, 0, interfaces, 1, 0, 0x80, 0xFA});
  }
  constexpr void interface(uint8_t number, uint8_t alternate, uint8_t endpoints) {
    // vendor class, subclass and protocol (0xFF); no string
    put({9, 0x04, number, alternate, endpoints, 0xFF, 0xFF, 0xFF, 0});
  }
  constexpr void bulk(uint8_t address) { put({7, 0x05, address, 0x02, kCameraMaxPacket & 0xFF, 0, 0}); }
  constexpr void interrupt(uint8_t address) { put({7, 0x05, address, 0x03, 8, 0, 10}); }
  constexpr std::array<uint8_t, N> finish() {
    bytes[2] = static_cast<uint8_t>(size & 0xFF);
    bytes[3] = static_cast<uint8_t>(size >> 8);
    return bytes;
  }
};

constexpr size_t kCameraSize = 9 + 9 + 7 + 7;

// The bytes of a device descriptor: USB 1.1, class per interface, 64-byte control packets,
// vendor 0x1209 product 0x0001 (a test identity), device release 1.00, strings 1 and 2, one
// configuration.
constexpr uint8_t kDeviceDescriptor[18] = {
    18, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 0, 1,
};

constexpr auto kCamera = [] {
  ConfigBuilder<kCameraSize> b;
  b.configuration(1);
  b.interface(0, 0, 2);
  b.bulk(kCameraBulkIn);
  b.bulk(kCameraBulkOut);
  return b.finish();
}();

constexpr auto kOutPipeFirst = [] {
  ConfigBuilder<kCameraSize> b;
  b.configuration(1);
  b.interface(0, 0, 2);
  b.bulk(kCameraBulkOut);
  b.bulk(kCameraBulkIn);
  return b.finish();
}();

constexpr auto kExtraInterruptPipe = [] {
  ConfigBuilder<kCameraSize + 7> b;
  b.configuration(1);
  b.interface(0, 0, 3);
  b.interrupt(0x83);
  b.bulk(kCameraBulkIn);
  b.bulk(kCameraBulkOut);
  return b.finish();
}();

constexpr auto kTwoInterfaces = [] {
  ConfigBuilder<kCameraSize + 9 + 7> b;
  b.configuration(2);
  b.interface(0, 0, 2);
  b.bulk(kCameraBulkIn);
  b.bulk(kCameraBulkOut);
  b.interface(2, 0, 1);
  b.interrupt(0x83);
  return b.finish();
}();

// Eight class descriptors (type 0x24) of 71 bytes fill the configuration to 600.
constexpr auto kLong600 = [] {
  ConfigBuilder<600> b;
  b.configuration(1);
  b.interface(0, 0, 2);
  for (int i = 0; i < 8; ++i) {
    b.put({71, 0x24, static_cast<uint8_t>(i)});
    for (int j = 3; j < 71; ++j)
      b.put({static_cast<uint8_t>(j)});
  }
  b.bulk(kCameraBulkIn);
  b.bulk(kCameraBulkOut);
  return b.finish();
}();

constexpr auto kAltSetting1Only = [] {
  ConfigBuilder<kCameraSize> b;
  b.configuration(1);
  b.interface(0, 1, 2);
  b.bulk(kCameraBulkIn);
  b.bulk(kCameraBulkOut);
  return b.finish();
}();

// The camera's pipes, then interrupt IN endpoints 3..10 and OUT endpoints 3..10.
constexpr auto kManyPipes = [] {
  ConfigBuilder<kCameraSize + 16 * 7> b;
  b.configuration(1);
  b.interface(0, 0, 18);
  b.bulk(kCameraBulkIn);
  b.bulk(kCameraBulkOut);
  for (uint8_t n = 3; n <= 10; ++n) {
    b.interrupt(static_cast<uint8_t>(0x80 | n));
    b.interrupt(n);
  }
  return b.finish();
}();

static_assert(kCamera[2] == 32 && kCamera[3] == 0);
static_assert(kLong600[2] == (600 & 0xFF) && kLong600[3] == (600 >> 8));

} // namespace

std::span<const uint8_t> usb_device_descriptor() {
  return kDeviceDescriptor;
}

std::span<const uint8_t> usb_configuration_descriptor(UsbIdentityVariant variant) {
  switch (variant) {
  case UsbIdentityVariant::Camera:
    return kCamera;
  case UsbIdentityVariant::OutPipeFirst:
    return kOutPipeFirst;
  case UsbIdentityVariant::ExtraInterruptPipe:
    return kExtraInterruptPipe;
  case UsbIdentityVariant::TwoInterfaces:
    return kTwoInterfaces;
  case UsbIdentityVariant::Long600:
    return kLong600;
  case UsbIdentityVariant::AltSetting1Only:
    return kAltSetting1Only;
  case UsbIdentityVariant::ManyPipes:
    return kManyPipes;
  }
  return kCamera;
}

const char *usb_identity_variant_name(UsbIdentityVariant variant) {
  switch (variant) {
  case UsbIdentityVariant::Camera:
    return "camera";
  case UsbIdentityVariant::OutPipeFirst:
    return "out-first";
  case UsbIdentityVariant::ExtraInterruptPipe:
    return "extra-interrupt";
  case UsbIdentityVariant::TwoInterfaces:
    return "two-interfaces";
  case UsbIdentityVariant::Long600:
    return "long-600";
  case UsbIdentityVariant::AltSetting1Only:
    return "alt-setting-1";
  case UsbIdentityVariant::ManyPipes:
    return "many-pipes";
  }
  return "camera";
}

} // namespace emu
