// The USB descriptors of the device behind a physical device object, read the
// way a host program such as lsusb reads them: GET_DESCRIPTOR requests
// (URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) sent with IofCallDriver and
// IOCTL_INTERNAL_USB_SUBMIT_URB to the bus, so that they show in its traces and
// work alike for every device model plugged into it. What the device returns is
// untrusted: every field is read only after its length was checked.
//
// Main thread, passive level. Each request blocks until the bus completes it
// (at once, or later on its host-controller thread; the removal of the device
// ends it too).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/kernel/wdm.h"
#include "platform/usbbus/usbdi.h"
#include "tools/dscam/json_writer.h"

namespace dscam {

// How one GET_DESCRIPTOR ended.
struct DescriptorReply {
  NTSTATUS status = STATUS_SUCCESS;              // of the request packet
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS; // of the URB
  std::vector<uint8_t> bytes;                    // what the device returned (at most the length asked)
};

// Asks the device behind `pdo` for `length` bytes of descriptor `type`, `index`.
DescriptorReply get_usb_descriptor(PDEVICE_OBJECT pdo, uint8_t type, uint8_t index, uint16_t length);

// What the device returned for its descriptors.
struct UsbDescription {
  std::vector<uint8_t> device; // the device descriptor, when read whole
  std::string device_problem;  // why it was not: stalled, short, malformed
  struct Configuration {
    uint8_t index = 0;
    std::vector<std::vector<uint8_t>> descriptors; // the chain, each length-checked
    std::string problem;                           // what is wrong with it (empty: nothing)
  };
  std::vector<Configuration> configurations;
  std::string problem; // the first problem of all, as a one-line reason (empty: none)
};

// Reads the device descriptor and each configuration descriptor with its
// interfaces and endpoints. A descriptor the device stalls, or returns short
// or malformed, is kept as such.
UsbDescription read_usb_descriptors(PDEVICE_OBJECT pdo);

// The description as text, lsusb-like.
void print_usb_description(const UsbDescription &description, std::FILE *out);

// The description as JSON: an object with the device's fields and each
// configuration's descriptors (written into `json` as a value).
void usb_description_json(const UsbDescription &description, JsonWriter &json);

// Reads and prints the descriptors. Returns an empty string when every
// descriptor was read whole, else a one-line reason (the first problem).
std::string print_usb_descriptors(PDEVICE_OBJECT pdo, std::FILE *out);

} // namespace dscam
