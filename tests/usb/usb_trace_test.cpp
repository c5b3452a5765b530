// The pcap trace in the Linux usbmon format, read back by tshark: every transfer shows with
// its direction, endpoint, length and data. Catches a header Wireshark cannot decode.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "tests/usb/usb_test.h"

namespace usbtest {
namespace {

// Runs a command and returns its standard output.
std::string run(const std::string &command) {
  std::string output;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
      output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class UsbTraceTest : public UsbTest {};

TEST_F(UsbTraceTest, PcapCaptureOpensInTsharkWithEveryTransfer) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (scripts/test.sh installs it); the pcap trace is not checked";
  attach();
  const std::string path = ::testing::TempDir() + "dscam_usb_trace_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(bus_->trace().open_pcap(path));
  configure();
  uint8_t command[] = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
  TransferResult write;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), command, sizeof(command), 0, pipe_of(0x02), RecordTransfer, &write),
            STATUS_SUCCESS);
  std::vector<uint8_t> buffer(65536);
  TransferResult read;
  EXPECT_EQ(QRNUSB_ReadWrite(pdo(), buffer.data(), 65536, 1, pipe_of(0x81), RecordTransfer, &read),
            STATUS_SUCCESS);
  bus_->trace().close();

  const std::string fields =
      run("tshark -r '" + path +
          "' -T fields -E separator=, -e usb.urb_type -e usb.transfer_type "
          "-e usb.endpoint_address -e usb.urb_len -e usb.data_len -e usb.capdata 2>/dev/null");
  std::remove(path.c_str());
  const auto lines = split_lines(fields);
  // The configuration read and the selection (control, endpoint 0), then the write and the
  // read (bulk): each a submission and a completion.
  ASSERT_EQ(lines.size(), 8u) << fields;
  EXPECT_EQ(lines[0], "'S',0x02,0x80,521,0,") << fields;
  EXPECT_EQ(lines[1].rfind("'C',0x02,0x80,32,32,", 0), 0u) << fields;
  EXPECT_EQ(lines[2], "'S',0x02,0x00,0,0,") << fields;
  EXPECT_EQ(lines[3], "'C',0x02,0x00,0,0,") << fields;
  EXPECT_EQ(lines[4], "'S',0x03,0x02,8,8,1b430200010c0d00") << fields;
  EXPECT_EQ(lines[5], "'C',0x03,0x02,8,0,") << fields;
  EXPECT_EQ(lines[6], "'S',0x03,0x81,65536,0,") << fields;
  EXPECT_EQ(lines[7], "'C',0x03,0x81,8,8,1b430200010c0d00") << fields;
}

} // namespace
} // namespace usbtest
