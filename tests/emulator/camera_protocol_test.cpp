// The emulated camera's side of the protocol, driven byte by byte by a host that speaks the wire format
// itself, on the camera's own clock. (Pictures of every packet size: tests/protocol/camera_pictures_test.cpp;
// zoom, focus and a reply the driver gave up on: tests/controls.)
#include <algorithm>

#include "tests/emulator/camera_host.h"
#include "tests/support/rig_test.h"

namespace camtest {
namespace {

class CameraProtocolTest : public RigTest {
protected:
  TestHost host{quick_config()};
};

// Makes sure every malformed or unknown command gets one NAK and nothing else, and is counted. Catches a
// camera that answers garbage or stays silent.
TEST_F(CameraProtocolTest, BadPacketsAreAnsweredWithNak) {
  auto changed = [](size_t at, int value) {
    Bytes packet = kSizeCommand;
    packet.resize(std::max(packet.size(), at + 1));
    packet[at] = static_cast<uint8_t>(value);
    return packet;
  };
  const Bytes bad[] = {changed(6, 0x0C),
                       changed(1, 0x44),
                       changed(2, 3) /* a byte short */,
                       changed(8, 0) /* a byte more */,
                       {0x1B, 0x43, 0x01, 0x00, 0x01, 0x01, 0x00},
                       {},
                       {0x15},
                       {0x1B, 0x43},
                       {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0D, 0x0E, 0x00} /* unknown address */,
                       {0x1B, 0x43, 0x02, 0x00, 0x05, 0x0C, 0x11, 0x00} /* unknown type */};
  for (const Bytes &packet : bad)
    EXPECT_TRUE(host.sent(packet) && host.read() == kNak && !host.read()) << ::testing::PrintToString(packet);
  EXPECT_EQ(host.camera.counters().bad_commands, 8u);
  EXPECT_EQ(host.camera.counters().unknown_commands, 2u);
  EXPECT_EQ(host.camera.counters().pictures, 0u);
}

// Makes sure the size answer is one ETX of four bytes and each picture packet comes only after the ACK of the
// one before. Catches a camera that runs ahead of the host.
TEST_F(CameraProtocolTest, PictureComesOnePacketPerAck) {
  const DataPacket size = (host.send(kSizeCommand), split(host.read()));
  EXPECT_TRUE(size.type == 0x03 && size.data.size() == 4 && size.checksum_ok);
  EXPECT_FALSE(host.read()) << "nothing before the ACK";
  EXPECT_TRUE(host.sent(kAck) && host.sent(kPictureCommand) && split(host.read()).data.size() == 4096);
  EXPECT_FALSE(host.read()) << "the next packet waits for the ACK";
  const Fetched picture = host.next_picture();
  EXPECT_TRUE(picture.ok && picture.bytes.size() == picture.announced && picture.bad_sums == 0);
  EXPECT_EQ(host.camera.counters().pictures_sent, 1u);
}

} // namespace
} // namespace camtest
