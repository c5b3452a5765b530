// The picture commands over the bus: first against a scripted device (exact
// replies), then against the emulated camera, whose pictures of every size
// and packet size must arrive intact and whose faults must give the results
// the driver expects.
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "protocol/packet_exchange.h"
#include "protocol/picture_commands.h"
#include "tests/protocol/camera_link.h"
#include "usb/qrnusb.h"

using namespace prototest;

namespace {

const Bytes kAck = {0x06};
const Bytes kSizeCommand = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
const Bytes kPictureCommand = {0x1B, 0x43, 0x02, 0x00, 0x06, 0x0E, 0x14, 0x00};

class PictureCommandsTest : public CameraLinkTest {
protected:
  void SetUp() override {
    CameraLinkTest::SetUp();
    device_ = &attach_scripted();
  }
  ULONG fetch(ULONG size) { return VELTRA_PictureBufferAddr(ext(), ext()->PictureBuffer, size); }

  emu::ScriptedUsbDevice *device_ = nullptr;
};

// Makes sure the size answer's first four data bytes are the size, with the
// size command sent first and an ACK after. Catches a byte-order mistake.
TEST_F(PictureCommandsTest, SizeAnswerIsReadLittleEndianAndAcknowledged) {
  device_->queue_in(data_packet(0x03, {0x00, 0xC0, 0x00, 0x00}));
  EXPECT_EQ(VELTRA_PictureSizeAddr(ext()), 49152u);
  EXPECT_EQ(device_->out_packets(), (std::vector<Bytes>{kSizeCommand, kAck}));
}

// Makes sure a size answer failing its checksum gives 0 and no ACK. Catches
// an ACK for a refused packet.
TEST_F(PictureCommandsTest, SizeAnswerWithBadChecksumGivesZero) {
  Bytes bad = data_packet(0x03, {0x00, 0xC0, 0x00, 0x00});
  bad.back() ^= 1;
  device_->queue_in(bad);
  EXPECT_EQ(VELTRA_PictureSizeAddr(ext()), 0u);
  EXPECT_EQ(device_->out_packets(), std::vector<Bytes>{kSizeCommand});
}

// Makes sure a NAK in answer to the size command counts as an answer carrying
// the previous data bytes, and is acknowledged. Catches a parser that
// changes Data for a control packet.
TEST_F(PictureCommandsTest, NakAnswerReusesThePreviousSize) {
  device_->queue_in(data_packet(0x03, {0x10, 0x27, 0x00, 0x00}));
  EXPECT_EQ(VELTRA_PictureSizeAddr(ext()), 10000u);
  device_->queue_in(Bytes{0x15});
  EXPECT_EQ(VELTRA_PictureSizeAddr(ext()), 10000u);
  EXPECT_EQ(device_->out_packets().size(), 4u);
}

// Makes sure a picture of exactly the announced size in three packets is
// fetched with three ACKs, and one byte more fails after all are ACKed.
// Catches an off-by-one at the capacity.
TEST_F(PictureCommandsTest, ExactAndOneByteTooLongPictures) {
  const Bytes picture = counting(3000, 7);
  device_->queue_in(data_packet(0x02, Bytes(picture.begin(), picture.begin() + 1000)));
  device_->queue_in(data_packet(0x02, Bytes(picture.begin() + 1000, picture.begin() + 2000)));
  device_->queue_in(data_packet(0x03, Bytes(picture.begin() + 2000, picture.end())));
  EXPECT_EQ(fetch(3000), 1u);
  EXPECT_EQ(Bytes(ext()->PictureBuffer, ext()->PictureBuffer + 3000), picture);
  EXPECT_EQ(device_->out_packets(), (std::vector<Bytes>{kPictureCommand, kAck, kAck, kAck}));

  device_->queue_in(data_packet(0x02, Bytes(1000, 1)));
  device_->queue_in(data_packet(0x02, Bytes(1000, 2)));
  device_->queue_in(data_packet(0x03, Bytes(1001, 3)));
  EXPECT_EQ(fetch(3000), 0u);
  EXPECT_EQ(device_->out_packets().size(), 8u);
}

// Makes sure an announced size above the picture buffer is refused before
// the picture command: no traffic, 0. Catches a fetch that could write past
// the 65,536-byte picture buffer.
TEST_F(PictureCommandsTest, SizeAboveThePictureBufferIsRefusedBeforeTheFetch) {
  EXPECT_EQ(fetch(CAM_BUFFER_SIZE + 1), 0u);
  EXPECT_EQ(fetch(0xFFFFFFFFu), 0u);
  EXPECT_TRUE(device_->out_packets().empty());
  EXPECT_EQ(log_count("Too Large"), 2u);
  device_->queue_in(data_packet(0x03, Bytes(10, 1)));
  EXPECT_EQ(fetch(CAM_BUFFER_SIZE), 1u) << "the buffer's own size is fine";
}

class CameraPicturesTest : public CameraLinkTest {
protected:
  void TearDown() override {
    if (!dir_.empty())
      std::filesystem::remove_all(dir_);
    CameraLinkTest::TearDown();
  }
  // A camera playing one "picture" of these bytes (any bytes will do for the
  // transport), in packets of `chunk` data bytes.
  emu::UsbCamera &camera_with_picture(const Bytes &picture, size_t chunk, const std::string &fault = "") {
    dir_ = std::filesystem::temp_directory_path() / ("dscam-pictures-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "picture.jpg", std::ios::binary)
        .write(reinterpret_cast<const char *>(picture.data()), static_cast<std::streamsize>(picture.size()));
    emu::CameraConfig config;
    config.fps = 0;
    config.link_bytes_per_second = emu::kUnlimitedLink;
    config.pictures = emu::PictureMode::Files;
    config.picture_path = (dir_ / "picture.jpg").string();
    config.chunk = chunk;
    if (!fault.empty()) {
      EXPECT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
    }
    return attach_camera(config);
  }
  // Size then picture, as the transfer thread does: the fetch's result and the size.
  std::pair<ULONG, ULONG> frame() {
    const ULONG size = VELTRA_PictureSizeAddr(ext());
    if (size == 0)
      return {0, 0};
    return {VELTRA_PictureBufferAddr(ext(), ext()->PictureBuffer, size), size};
  }
  // Runs fn on another thread; once it waits on the bus, resets the port.
  ULONG with_port_reset(const std::function<ULONG()> &fn) {
    std::atomic<ULONG> result{99};
    std::thread t([&] { result = fn(); });
    for (int i = 0; i < 2000 && camera_->snapshot().waiting_in == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(result.load(), 99u) << "still waiting before the reset";
    QRNUSB_ResetPort(ext()->pRealPhysicalDeviceObject);
    t.join();
    return result;
  }

  std::filesystem::path dir_;
};

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (UCHAR &x : b)
    x = static_cast<UCHAR>(gen());
  return b;
}

// Makes sure pictures of 1 to 65,536 bytes in packets of 1 to 65,530 data
// bytes arrive intact through the bus. Catches a packet boundary mistake.
TEST_F(CameraPicturesTest, EverySizeArrivesIntact) {
  const struct {
    size_t size, chunk;
  } cases[] = {{1, 1},         {2, 1},         {300, 1},       {4097, 4096},  {4096, 4096}, {20000, 7},
               {65536, 65530}, {65530, 65530}, {65531, 65530}, {65536, 4096}, {1, 65530}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes in packets of " + std::to_string(c.chunk));
    const Bytes picture = random_bytes(c.size, static_cast<uint32_t>(c.size * 31 + c.chunk));
    camera_with_picture(picture, c.chunk);
    std::memset(ext()->PictureBuffer, 0xEE, CAM_BUFFER_SIZE);
    auto [ok, size] = frame();
    EXPECT_EQ(ok, 1u);
    ASSERT_EQ(size, c.size);
    EXPECT_EQ(Bytes(ext()->PictureBuffer, ext()->PictureBuffer + size), picture);
    if (size < CAM_BUFFER_SIZE) {
      EXPECT_EQ(ext()->PictureBuffer[size], 0xEE);
    }
    EXPECT_EQ(camera_->snapshot().counters.pictures_sent, 1u);
    ExFreePool(ext()->pInterfaceInformation);
    ext()->pInterfaceInformation = nullptr;
    bus_.reset();
    camera_.reset();
    std::filesystem::remove_all(dir_);
  }
}

// Makes sure each picture and size fault gives the result the driver's
// picture commands promise. Catches a fault the driver would misread.
TEST_F(CameraPicturesTest, PictureFaultsGiveTheExpectedResults) {
  const Bytes picture = random_bytes(10000, 5);
  const struct {
    const char *fault;
    ULONG ok;     // fetch result (0 also when the size was 0)
    bool size_ok; // the size command returned non-zero
  } cases[] = {
      {"size-checksum@1", 0, false}, {"size-zero@1", 0, false},       {"size-smaller@1", 0, true},
      {"size-larger@1", 1, true},    {"truncated@1", 1, true},        {"damaged@1", 1, true},
      {"oversized@1", 0, true},      {"picture-checksum@1", 1, true}, {"read-error@1", 0, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    camera_with_picture(picture, 4096, c.fault);
    auto [ok, size] = frame();
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(size != 0, c.size_ok);
    EXPECT_EQ(camera_->snapshot().counters.bad_commands, 0u);
    // The camera answers the next frame normally: nothing is left out of step.
    auto [ok2, size2] = frame();
    EXPECT_EQ(ok2, 1u);
    EXPECT_EQ(size2, picture.size());
    EXPECT_EQ(Bytes(ext()->PictureBuffer, ext()->PictureBuffer + 10000), picture);
    ExFreePool(ext()->pInterfaceInformation);
    ext()->pInterfaceInformation = nullptr;
    bus_.reset();
    camera_.reset();
    std::filesystem::remove_all(dir_);
  }
}

// Makes sure the faults that leave a read with nothing coming (a lost packet,
// a silent camera, a failed write) end with a port reset, after which the
// camera answers again. Catches a read that a reset cannot end, or a camera
// that stays out of step after it.
TEST_F(CameraPicturesTest, SilencesEndWithAPortReset) {
  for (const char *fault : {"lost-packet@1", "stop-answering@1", "write-error@1"}) {
    SCOPED_TRACE(fault);
    camera_with_picture(random_bytes(5000, 9), 1000, fault);
    EXPECT_EQ(with_port_reset([&] { return VELTRA_PictureSizeAddr(ext()); }), 0u);
    auto [ok, size] = frame();
    EXPECT_EQ(ok, 1u);
    EXPECT_EQ(size, 5000u);
    ExFreePool(ext()->pInterfaceInformation);
    ext()->pInterfaceInformation = nullptr;
    bus_.reset();
    camera_.reset();
    std::filesystem::remove_all(dir_);
  }
}

// Makes sure a disconnect ends the exchange in progress and every later one
// at once. Catches a host left waiting for an unplugged camera.
TEST_F(CameraPicturesTest, DisconnectEndsTheExchange) {
  camera_with_picture(random_bytes(5000, 9), 1000, "disconnect@2");
  EXPECT_EQ(frame().first, 1u);
  EXPECT_EQ(frame().first, 0u);
  for (int i = 0; i < 2000 && bus_->device_present(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(bus_->device_present());
  EXPECT_EQ(VELTRA_PictureSizeAddr(ext()), 0u);
}

// Makes sure the synthetic scene's pictures arrive whole at the default
// full-speed link and 15 fps, paced by the camera. Catches a timing path
// (later completion from the camera's thread) that loses a packet.
TEST_F(CameraPicturesTest, SceneAtFullSpeedAndFifteenFps) {
  emu::CameraConfig config;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 3;
  attach_camera(config);
  for (int i = 0; i < 4; ++i) {
    auto [ok, size] = frame();
    ASSERT_EQ(ok, 1u);
    EXPECT_EQ(ext()->PictureBuffer[0], 0xFF);
    EXPECT_EQ(ext()->PictureBuffer[1], 0xD8);
    EXPECT_EQ(ext()->PictureBuffer[size - 2], 0xFF);
    EXPECT_EQ(ext()->PictureBuffer[size - 1], 0xD9);
  }
  const auto pictures = camera_->pictures();
  for (size_t i = 1; i < pictures.size(); ++i)
    EXPECT_GT(pictures[i].tick, pictures[i - 1].tick);
  EXPECT_GT(bus_->counters().completed_later, 0u);
}

} // namespace
