// Reading and writing device selectors.
#include "platform/usbbus/usb_selector.h"

#include <charconv>
#include <cstdio>

namespace usbbus {
namespace {

// A number in `base` that fills the whole text, of 1 to `digits` digits, at most `high`.
bool parse_number(std::string_view text, int base, size_t digits, unsigned high, unsigned *value) {
  if (text.empty() || text.size() > digits)
    return false;
  unsigned parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
  if (ec != std::errc() || end != text.data() + text.size() || parsed > high)
    return false;
  *value = parsed;
  return true;
}

} // namespace

std::string usb_selector_parse(std::string_view text, UsbSelector *selector) {
  const size_t colon = text.find(':');
  const size_t dash = text.find('-');
  unsigned first = 0;
  unsigned second = 0;
  if (colon != std::string_view::npos && dash == std::string_view::npos &&
      parse_number(text.substr(0, colon), 16, 4, 0xFFFF, &first) &&
      parse_number(text.substr(colon + 1), 16, 4, 0xFFFF, &second)) {
    *selector = UsbSelector{false, static_cast<uint16_t>(first), static_cast<uint16_t>(second), 0, 0};
    return {};
  }
  // Bus numbers start at 1; addresses run from 1 to 127.
  if (dash != std::string_view::npos && colon == std::string_view::npos &&
      parse_number(text.substr(0, dash), 10, 3, 255, &first) && first > 0 &&
      parse_number(text.substr(dash + 1), 10, 3, 127, &second) && second > 0) {
    *selector = UsbSelector{true, 0, 0, static_cast<uint8_t>(first), static_cast<uint8_t>(second)};
    return {};
  }
  return "bad value '" + std::string(text) +
         "' for --usb (VID:PID in hexadecimal, as 1209:0001, or BUS-ADDR, as 1-2)";
}

std::string usb_selector_text(const UsbSelector &selector) {
  char text[16];
  if (selector.by_place)
    std::snprintf(text, sizeof(text), "%03u-%03u", selector.bus, selector.address);
  else
    std::snprintf(text, sizeof(text), "%04x:%04x", selector.vendor_id, selector.product_id);
  return text;
}

bool usb_selector_matches(const UsbSelector &selector, uint8_t bus, uint8_t address, uint16_t vendor_id,
                          uint16_t product_id) {
  if (selector.by_place)
    return selector.bus == bus && selector.address == address;
  return selector.vendor_id == vendor_id && selector.product_id == product_id;
}

} // namespace usbbus
