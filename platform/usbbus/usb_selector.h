// Which real USB device a run uses, as the user names it: by vendor and product ID
// ("1209:0001", hexadecimal, as lsusb shows them; the first such device), or by bus number and
// device address ("1-2" or "001-002", decimal, as lsusb's "Bus 001 Device 002"; one of several
// devices with the same IDs). Plain values; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace usbbus {

struct UsbSelector {
  bool by_place = false; // bus and address; otherwise vendor and product ID
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint8_t bus = 0;
  uint8_t address = 0;
};

// Reads "VID:PID" or "BUS-ADDR" into *selector. Returns an empty string on success, else a
// one-line reason.
std::string usb_selector_parse(std::string_view text, UsbSelector *selector);

// The selector as the user would type it: "1209:0001" or "001-002".
std::string usb_selector_text(const UsbSelector &selector);

// Whether a device at `bus` and `address` with these IDs is the one the selector names.
bool usb_selector_matches(const UsbSelector &selector, uint8_t bus, uint8_t address, uint16_t vendor_id,
                          uint16_t product_id);

} // namespace usbbus
