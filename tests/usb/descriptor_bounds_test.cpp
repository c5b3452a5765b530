// Reading descriptors within their bytes: the bus's configuration parser and the
// driver's descriptor dump, on buffers that end exactly where the descriptor does
// (AddressSanitizer sees any read beyond).
#include <cstdio>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

using emu::UsbIdentityVariant;

class DescriptorBoundsTest : public UsbTest {};

// Makes sure USBD_ParseConfigurationDescriptorEx finds an interface by number,
// setting and class from a start position, and never walks past wTotalLength, a
// zero length or the end. Catches an unbounded walk or a wrong match.
TEST_F(DescriptorBoundsTest, ParserFindsInterfacesWithinTheConfigurationOnly) {
  struct Case {
    const char *what;
    UsbIdentityVariant variant;
    int offset; // byte replaced by `value` (-1: none)
    uint8_t value;
    size_t start; // where the search starts
    int number, setting, klass;
    long found; // offset of the interface found; -1: none
  };
  const UsbIdentityVariant two = UsbIdentityVariant::TwoInterfaces;
  const Case cases[] = {
      {"interface 2", two, -1, 0, 0, 2, 0, -1, 32},
      {"no interface 1", two, -1, 0, 0, 1, 0, -1, -1},
      {"no setting 1", two, -1, 0, 0, 0, 1, -1, -1},
      {"no class 0x0E", two, -1, 0, 0, -1, -1, 0x0E, -1},
      {"vendor class", two, -1, 0, 0, -1, -1, 0xFF, 9},
      {"after the first", two, -1, 0, 18, -1, -1, -1, 32},
      {"interface 2 past wTotalLength", two, 2, 40, 0, 2, 0, -1, -1},
      {"zero-length endpoint before it", two, 18, 0, 0, 2, 0, -1, -1},
      {"start at the end", UsbIdentityVariant::Camera, -1, 0, 32, -1, -1, -1, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const auto identity = emu::usb_configuration_descriptor(c.variant);
    std::vector<uint8_t> bytes(identity.begin(), identity.end());
    if (c.offset >= 0)
      bytes[static_cast<size_t>(c.offset)] = c.value;
    bytes.resize(bytes[2]); // the buffer ends at wTotalLength
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
        config, bytes.data() + c.start, c.number, c.setting, c.klass, -1, -1);
    EXPECT_EQ(found == nullptr ? -1 : reinterpret_cast<uint8_t *>(found) - bytes.data(), c.found);
  }
}

// Makes sure the descriptor dump shows an unknown descriptor as at most 18 raw
// bytes and a known type too short for its fields as raw bytes too, and returns
// the length it assumed. Catches a read past a short descriptor.
TEST_F(DescriptorBoundsTest, DumpReadsOnlyTheDescriptorsBytes) {
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
    size_t shown; // raw bytes shown
  };
  std::vector<uint8_t> long_unknown(40);
  for (size_t i = 0; i < long_unknown.size(); ++i)
    long_unknown[i] = static_cast<uint8_t>(i);
  long_unknown[0] = 40;
  long_unknown[1] = 0x24;
  const Case cases[] = {
      {"string", {4, 3, 0x09, 0x04}, 4},
      {"40-byte class descriptor", long_unknown, 18},
      {"3-byte interface", {3, 4, 0}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    clear_log();
    std::vector<uint8_t> exact = c.bytes;
    EXPECT_EQ(DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(exact.data())), exact.size());
    const std::vector<std::string> lines = log();
    ASSERT_EQ(lines.size(), c.shown + 2);
    EXPECT_EQ(lines.front(), "UNKNOWN Descriptor\n");
    char last[8];
    std::snprintf(last, sizeof last, "%02X ", exact[c.shown - 1]);
    EXPECT_EQ(lines[c.shown], last);
    EXPECT_EQ(lines.back(), "\n");
  }
}

} // namespace
} // namespace usbtest
