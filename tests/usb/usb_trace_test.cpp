// The bus's trace of every transfer: text lines in the usbmon layout, and a pcap
// capture in the Linux usbmon format read back by tshark.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

// The standard output of a command, one string per line.
std::vector<std::string> run_lines(const std::string &command) {
  std::string output;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      output.append(buffer, n);
    pclose(pipe);
  }
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(output.substr(start, end - start));
  return lines;
}

class UsbTraceTest : public UsbTest {};

// Makes sure each transfer shows at its submission and its completion with its
// direction, endpoint, length, status and bytes, in the text trace (a port reset
// too) and in the pcap trace as tshark decodes it. Catches a missing event and a
// pcap header Wireshark cannot decode.
TEST_F(UsbTraceTest, TransfersShowInTheTextAndPcapTraces) {
  ASSERT_NO_FATAL_FAILURE(start_scripted());
  std::mutex lock; // guards text
  std::vector<std::string> text;
  rig_.bus().trace().set_text_sink([&](std::string_view line) {
    std::lock_guard<std::mutex> guard(lock);
    text.emplace_back(line);
  });
  const std::string path = ::testing::TempDir() + "dscam_usb_trace_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(rig_.bus().trace().open_pcap(path));
  uint8_t command[] = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
  std::vector<uint8_t> buffer(65536);
  TransferResult write, read;
  EXPECT_EQ(transfer(write, command, sizeof command, 0), STATUS_SUCCESS);
  EXPECT_EQ(transfer(read, buffer.data(), 65536), STATUS_SUCCESS); // the device loops the write back
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  rig_.bus().trace().close();
  {
    std::lock_guard<std::mutex> guard(lock);
    const char *expected[] = {" S Bo:1:002:2 len=8 = 1b430200 010c0d00\n",
                              " C Bo:1:002:2 status=0x00000000 bytes=8\n", " S Bi:1:002:1 len=65536\n",
                              " C Bi:1:002:1 status=0x00000000 bytes=8 = 1b430200 010c0d00\n",
                              " S Co:1:002:0 port reset len=0\n"};
    ASSERT_EQ(text.size(), 6u);
    for (size_t i = 0; i < 5; ++i)
      EXPECT_NE(text[i].find(expected[i]), std::string::npos) << text[i];
    EXPECT_EQ(text[0].substr(0, text[0].find(' ')), text[1].substr(0, text[1].find(' '))) << "one id";
  }
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    std::remove(path.c_str());
    GTEST_SKIP() << "tshark is not installed (scripts/test.sh installs it); the pcap trace is not checked";
  }
  const std::vector<std::string> fields =
      run_lines("tshark -r '" + path +
                "' -T fields -E separator=, -e usb.urb_type -e usb.transfer_type -e usb.endpoint_address "
                "-e usb.urb_len -e usb.data_len -e usb.capdata 2>/dev/null");
  std::remove(path.c_str());
  const std::vector<std::string> expected = {"'S',0x03,0x02,8,8,1b430200010c0d00", "'C',0x03,0x02,8,0,",
                                             "'S',0x03,0x81,65536,0,", "'C',0x03,0x81,8,8,1b430200010c0d00"};
  EXPECT_EQ(fields, expected);
}

} // namespace
} // namespace usbtest
