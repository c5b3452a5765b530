// The reply parser's acceptance rules, with the checksum check's log lines (command packets:
// packet_exchange_test.cpp).
#include <memory>
#include <vector>

#include "emulator/camera/wire.h"
#include "protocol/packet_format.h"
#include "tests/support/rig_test.h"

namespace {

using Bytes = std::vector<UCHAR>;

class PacketFormatTest : public RigTest {};

// A data packet as the camera builds it, with its second byte set to `extra`.
Bytes data_packet(UCHAR type, const Bytes &data, UCHAR extra = 0) {
  Bytes packet = emu::wire_data_packet(type, data);
  packet[1] = extra;
  return packet;
}

// Makes sure the parser takes control packets by their first byte (Data kept) and data packets only whole,
// the checksum (a wrapping 16-bit byte sum) checked for flag 1 alone. Catches the length check off by one, a
// read past the bytes, a signed or complemented sum.
TEST_F(PacketFormatTest, ParserTakesWholePacketsOnly) {
  Bytes short_by_one = data_packet(0x02, Bytes(100, 7));
  short_by_one.pop_back();
  Bytes bad_sum = data_packet(0x02, {10, 20, 30});
  bad_sum[bad_sum.size() - 2] ^= 0xFF;
  Bytes trailing = data_packet(0x03, {5, 6});
  trailing.push_back(0xAA);
  auto control = [](UCHAR type) { // a control byte and junk after it
    Bytes packet(8, 0x99);
    packet[0] = type;
    return packet;
  };
  struct Case {
    const char *what;
    Bytes bytes;
    ULONG verify;
    ULONG taken;
    USHORT length;                // Length after the parse
    UCHAR first;                  // Data[0] after the parse (1: as it was)
    std::vector<std::string> log; // checked when verifying
  };
  const std::string sum3c = "Length = 3 CheckSum=0000003c\n";
  const std::vector<Case> cases = {
      {"ENQ", control(0x05), 1, 1, 0, 1, {}},
      {"ACK alone", {0x06}, 1, 1, 0, 1, {}},
      {"NAK", control(0x15), 0, 1, 0, 1, {}},
      {"nothing", {}, 0, 0, 0, 1, {}},
      {"lead byte", {0x1B, 0, 1, 0, 9, 9, 0}, 0, 0, 0, 1, {}},
      {"0xFF", {0xFF, 0, 1, 0, 9, 9, 0}, 0, 0, 0, 1, {}},
      {"six bytes", {0x02, 0, 0, 0, 0, 0}, 0, 0, 0, 1, {}},
      {"seven bytes", {0x03, 7, 1, 0, 0x42, 0x42, 0x00}, 0, 1, 1, 0x42, {}},
      {"checksum byte missing", short_by_one, 0, 0, 0, 1, {}},
      {"checksum byte missing, verified", short_by_one, 1, 0, 0, 1, {}},
      {"length beyond the bytes", {0x03, 0, 0xFF, 0xFF, 1, 2, 3, 4}, 0, 0, 0, 1, {}},
      {"length beyond the bytes, verified", {0x03, 0, 0xFF, 0xFF, 1, 2, 3, 4}, 1, 0, 0, 1, {}},
      {"a byte more", trailing, 0, 1, 2, 5, {}},
      {"bad checksum", bad_sum, 1, 0, 0, 1, {sum3c, "Received Checksum Error\n"}},
      {"bad checksum, flag 0", bad_sum, 0, 1, 3, 10, {}},
      {"bad checksum, flag 2", bad_sum, 2, 1, 3, 10, {}},
      {"bad checksum, flag ~0", bad_sum, 0xFFFFFFFF, 1, 3, 10, {}},
      {"good checksum", data_packet(0x02, {10, 20, 30}), 1, 1, 3, 10, {sum3c}},
      {"65,535 bytes",
       data_packet(0x02, Bytes(65535, 2)),
       1,
       1,
       65535,
       2,
       {"Length = 65535 CheckSum=0000fffe\n"}},
  };
  auto reply = std::make_unique<CAM_PACKET>();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    *reply = CAM_PACKET{};
    reply->Data[0] = 1;
    reply->Extra = 0x44;
    clear_log();
    const Bytes exact = c.bytes; // ends where the packet ends
    EXPECT_EQ(
        VELTRA_ParseCAMtoAPIPacket(exact.data(), static_cast<ULONG>(exact.size()), c.verify, reply.get()),
        c.taken);
    EXPECT_EQ(reply->PacketType, exact.empty() ? 0 : exact[0]);
    EXPECT_EQ(reply->Length, c.length);
    EXPECT_EQ(reply->Data[0], c.first);
    EXPECT_EQ(reply->Extra, c.taken == 1 && exact.size() > 1 && exact[0] <= 3 ? exact[1] : 0);
    EXPECT_TRUE(c.verify != 1 || log() == c.log);
  }
}

} // namespace
