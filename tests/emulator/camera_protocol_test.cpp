// The emulated camera's side of the protocol, driven by a host that speaks the
// wire format itself.
#include <gtest/gtest.h>

#include "tests/emulator/camera_test_host.h"
#include "tests/support/platform_test.h"

using namespace camtest;

namespace {

class CameraProtocolTest : public PlatformTest {
protected:
  TestHost host{quick_config()};

  // Sends a packet and expects exactly one NAK back and nothing after it.
  void expect_nak(const Bytes &packet) {
    host.send(packet);
    std::optional<Bytes> reply = host.read();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, Bytes{0x15});
    EXPECT_FALSE(host.read().has_value());
  }
};

// Makes sure every malformed or unknown command packet gets one NAK and
// changes nothing. Catches a camera that answers garbage or stays silent.
TEST_F(CameraProtocolTest, BadPacketsAreAnsweredWithNak) {
  Bytes bad_checksum = kSizeCommand;
  bad_checksum[6] ^= 1;
  Bytes bad_lead = kSizeCommand;
  bad_lead[1] = 0x44;
  Bytes long_length = kSizeCommand;
  long_length[2] = 3; // claims a byte that is not there
  Bytes trailing = kSizeCommand;
  trailing.push_back(0); // one byte more than the length field says
  const Bytes unknown_address = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0D, 0x0E, 0x00};
  const Bytes unknown_type = {0x1B, 0x43, 0x02, 0x00, 0x05, 0x0C, 0x11, 0x00};
  const Bytes length_one = {0x1B, 0x43, 0x01, 0x00, 0x01, 0x01, 0x00};

  for (const Bytes &packet : {bad_checksum, bad_lead, long_length, trailing, unknown_address, unknown_type,
                              length_one, Bytes{}, Bytes{0x15}, Bytes{0x1B, 0x43}}) {
    SCOPED_TRACE(::testing::PrintToString(packet));
    expect_nak(packet);
  }
  EXPECT_EQ(host.camera.counters().bad_commands, 8u);
  EXPECT_EQ(host.camera.counters().unknown_commands, 2u);
  EXPECT_EQ(host.camera.counters().pictures, 0u);
}

// Makes sure the size answer is one ETX packet with the picture's size and
// that the picture comes in STX packets and a last ETX, each only after the
// ACK of the one before. Catches a camera that runs ahead of the host.
TEST_F(CameraProtocolTest, PictureComesOnePacketPerAck) {
  host.send(kSizeCommand);
  std::optional<Bytes> raw = host.read();
  ASSERT_TRUE(raw);
  DataPacket size;
  ASSERT_TRUE(split_data_packet(*raw, &size));
  EXPECT_EQ(size.type, 0x03);
  ASSERT_EQ(size.data.size(), 4u);
  EXPECT_TRUE(size.checksum_ok);
  const uint32_t announced = size.data[0] | (size.data[1] << 8) | (size.data[2] << 16);
  EXPECT_FALSE(host.read()) << "nothing before the ACK";
  host.send(kAck);

  host.send(kPictureCommand);
  Bytes picture;
  int stx = 0;
  for (;;) {
    raw = host.read();
    ASSERT_TRUE(raw);
    DataPacket packet;
    ASSERT_TRUE(split_data_packet(*raw, &packet));
    EXPECT_TRUE(packet.checksum_ok);
    picture.insert(picture.end(), packet.data.begin(), packet.data.end());
    EXPECT_FALSE(host.read()) << "the next packet waits for the ACK";
    host.send(kAck);
    if (packet.type == 0x03)
      break;
    EXPECT_EQ(packet.data.size(), 4096u);
    ++stx;
  }
  EXPECT_EQ(picture.size(), announced);
  EXPECT_EQ(stx, static_cast<int>((announced - 1) / 4096));
  EXPECT_EQ(host.camera.counters().pictures_sent, 1u);
  EXPECT_EQ(picture[0], 0xFF);
  EXPECT_EQ(picture[1], 0xD8);
}

// Makes sure the packet size knob splits pictures as asked, down to one data
// byte per packet and up to 65,530. Catches off-by-one splitting.
TEST_F(CameraProtocolTest, PacketSizesFromOneTo65530) {
  for (size_t chunk : {size_t{1}, size_t{7}, size_t{1000}, size_t{65530}}) {
    emu::CameraConfig config = quick_config();
    config.chunk = chunk;
    TestHost h(config);
    Fetched a = h.next_picture();
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.bytes.size(), a.announced);
    EXPECT_EQ(a.packets, static_cast<int>((a.announced + chunk - 1) / chunk)) << chunk;
  }
}

// Makes sure zoom set and get keep the lens position (50 at power-on) and
// values above 100 are refused. Catches a camera that accepts any value.
TEST_F(CameraProtocolTest, ZoomSetAndGet) {
  auto read_zoom = [&]() -> uint32_t {
    host.send(kZoomGetCommand);
    std::optional<Bytes> raw = host.read();
    DataPacket packet;
    EXPECT_TRUE(raw && split_data_packet(*raw, &packet));
    EXPECT_EQ(packet.type, 0x03);
    EXPECT_EQ(packet.data.size(), 12u);
    EXPECT_TRUE(packet.checksum_ok);
    host.send(kAck);
    for (size_t i = 4; i < packet.data.size(); ++i)
      EXPECT_EQ(packet.data[i], 0);
    return packet.data.size() < 4 ? 0 : packet.data[0] | (packet.data[1] << 8);
  };
  EXPECT_EQ(read_zoom(), 50u);
  for (uint32_t value : {0u, 100u, 37u}) {
    host.send(zoom_set_command(value));
    EXPECT_EQ(host.read(), Bytes{0x06});
    EXPECT_EQ(read_zoom(), value);
  }
  host.send(zoom_set_command(101));
  EXPECT_EQ(host.read(), Bytes{0x15});
  EXPECT_EQ(read_zoom(), 37u);
  EXPECT_EQ(host.camera.counters().stray_acks, 0u);
}

// Makes sure auto focus answers ACK at once and ENQ only when the focus time
// has passed on the camera's clock. Catches an ENQ sent with the ACK.
TEST_F(CameraProtocolTest, AutoFocusAcksThenEnqAfterFocusTime) {
  host.now = 1'000'000;
  host.send(kFocusCommand);
  int64_t ready = 0;
  ASSERT_EQ(host.camera.in_state(host.now, &ready), emu::InState::Ready);
  EXPECT_EQ(host.read(), Bytes{0x06});
  ASSERT_EQ(host.camera.in_state(host.now, &ready), emu::InState::Later);
  EXPECT_EQ(ready, 1'000'000 + 300'000'000);
  EXPECT_EQ(host.read(), Bytes{0x05});
  EXPECT_EQ(host.now, ready);
  EXPECT_EQ(host.camera.state().focus_done_ns, ready);
}

// Makes sure a new command abandons a reply in progress, an unexpected ACK is
// ignored, and a reset ends a reply. Catches a camera that desynchronises
// after a host gave up on a reply.
TEST_F(CameraProtocolTest, NewCommandAbandonsReplyAndStrayAckIsIgnored) {
  host.send(kAck);
  EXPECT_FALSE(host.read());
  EXPECT_EQ(host.camera.counters().stray_acks, 1u);

  host.send(kSizeCommand); // answer not read, not acknowledged
  Fetched again = host.next_picture();
  ASSERT_TRUE(again.ok);
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
