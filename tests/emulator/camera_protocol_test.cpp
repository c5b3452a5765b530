// The emulated camera's side of the protocol, driven byte by byte by a host that
// speaks the wire format itself, on the camera's own clock.
#include "tests/emulator/camera_host.h"
#include "tests/support/rig_test.h"

namespace camtest {
namespace {

class CameraProtocolTest : public RigTest {
protected:
  TestHost host{quick_config()};
};

// Makes sure every malformed or unknown command packet gets one NAK, nothing
// after it, and is counted. Catches a camera that answers garbage or stays silent.
TEST_F(CameraProtocolTest, BadPacketsAreAnsweredWithNak) {
  auto changed = [](size_t at, uint8_t value) {
    Bytes packet = kSizeCommand;
    packet[at] = value;
    return packet;
  };
  Bytes trailing = kSizeCommand;
  trailing.push_back(0); // one byte more than the length field says
  const Bytes bad[] = {changed(6, 0x0C),
                       changed(1, 0x44),
                       changed(2, 3), // claims a byte that is not there
                       trailing,
                       {0x1B, 0x43, 0x01, 0x00, 0x01, 0x01, 0x00},
                       {},
                       {0x15},
                       {0x1B, 0x43},
                       {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0D, 0x0E, 0x00},  // unknown address
                       {0x1B, 0x43, 0x02, 0x00, 0x05, 0x0C, 0x11, 0x00}}; // unknown type
  for (const Bytes &packet : bad) {
    SCOPED_TRACE(::testing::PrintToString(packet));
    host.send(packet);
    EXPECT_EQ(host.read(), kNak);
    EXPECT_FALSE(host.read());
  }
  EXPECT_EQ(host.camera.counters().bad_commands, 8u);
  EXPECT_EQ(host.camera.counters().unknown_commands, 2u);
  EXPECT_EQ(host.camera.counters().pictures, 0u);
}

// Makes sure the size answer is one ETX packet with the picture's size, and the
// picture comes in STX packets of the configured size (1 to 65,530 data bytes) and
// a last ETX, each only after the ACK of the one before. Catches a camera that runs
// ahead of the host, and off-by-one splitting.
TEST_F(CameraProtocolTest, PictureComesOnePacketPerAck) {
  host.send(kSizeCommand);
  const DataPacket size = split(host.read());
  EXPECT_EQ(size.type, 0x03);
  ASSERT_EQ(size.data.size(), 4u);
  EXPECT_TRUE(size.checksum_ok);
  EXPECT_FALSE(host.read()) << "nothing before the ACK";
  host.send(kAck);
  host.send(kPictureCommand);
  EXPECT_EQ(split(host.read()).data.size(), 4096u);
  EXPECT_FALSE(host.read()) << "the next packet waits for the ACK";
  for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, size_t{65530}}) {
    SCOPED_TRACE(chunk);
    emu::CameraConfig config = quick_config();
    config.chunk = chunk;
    TestHost h(config);
    const Fetched picture = h.next_picture();
    ASSERT_TRUE(picture.ok);
    EXPECT_EQ(picture.bytes.size(), picture.announced);
    EXPECT_EQ(picture.packets, static_cast<int>((picture.announced + chunk - 1) / chunk));
    EXPECT_EQ(picture.bad_sums, 0);
    EXPECT_EQ(Bytes(picture.bytes.begin(), picture.bytes.begin() + 2), (Bytes{0xFF, 0xD8}));
    EXPECT_EQ(h.camera.counters().pictures_sent, 1u);
  }
}

// Makes sure zoom set and get keep the lens position (50 at power-on), values
// above 100 are refused, and the reading is 12 bytes with 8 zeros. Catches a
// camera that accepts any value.
TEST_F(CameraProtocolTest, ZoomSetAndGet) {
  auto read_zoom = [&]() -> Bytes {
    host.send(kZoomGetCommand);
    const DataPacket packet = split(host.read());
    EXPECT_EQ(packet.type, 0x03);
    EXPECT_TRUE(packet.checksum_ok);
    host.send(kAck);
    return packet.data;
  };
  auto zoom = [](uint8_t value) { return Bytes{value, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; };
  EXPECT_EQ(read_zoom(), zoom(50));
  for (uint8_t value : {0, 100, 37}) {
    host.send(zoom_set_command(value));
    EXPECT_EQ(host.read(), kAck);
    EXPECT_EQ(read_zoom(), zoom(value));
  }
  host.send(zoom_set_command(101));
  EXPECT_EQ(host.read(), kNak);
  EXPECT_EQ(read_zoom(), zoom(37));
  EXPECT_EQ(host.camera.counters().stray_acks, 0u);
}

// Makes sure auto focus answers ACK at once and ENQ only when the focus time has
// passed on the camera's clock. Catches an ENQ sent with the ACK.
TEST_F(CameraProtocolTest, AutoFocusAcksThenEnqAfterTheFocusTime) {
  host.now = 1'000'000;
  host.send(kFocusCommand);
  EXPECT_EQ(host.read(), kAck);
  EXPECT_EQ(host.now, 1'000'000);
  EXPECT_EQ(host.read(), kEnq);
  EXPECT_EQ(host.now, 1'000'000 + 300'000'000);
  EXPECT_EQ(host.camera.state().focus_done_ns, host.now);
}

// Makes sure an ACK the camera does not wait for is ignored, a new command
// abandons a reply in progress, and a reset ends one. Catches a camera out of step
// after a host gave up on a reply.
TEST_F(CameraProtocolTest, NewCommandOrResetAbandonsAReplyAndStrayAckIsIgnored) {
  host.send(kAck);
  EXPECT_FALSE(host.read());
  EXPECT_EQ(host.camera.counters().stray_acks, 1u);
  host.send(kSizeCommand); // answer neither read nor acknowledged
  EXPECT_TRUE(host.next_picture().ok);
  EXPECT_EQ(host.camera.counters().replies_abandoned, 1u);
  EXPECT_EQ(host.camera.counters().packets_flushed, 1u);
  host.send(kPictureCommand);
  ASSERT_TRUE(host.read());
  host.camera.reset(host.now);
  host.send(kAck); // acknowledges nothing after the reset
  EXPECT_FALSE(host.read());
  EXPECT_EQ(host.camera.counters().replies_abandoned, 2u);
}

} // namespace
} // namespace camtest
