// The started driver's picture commands against the emulated camera over the rig's bus. (At full speed and
// 15 fps: the tool's tests.)
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>

#include "protocol/picture_commands.h"
#include "tests/support/rig_test.h"
#include "usb/qrnusb.h"

namespace {

using Bytes = std::vector<UCHAR>;
using namespace std::chrono_literals;

class CameraPicturesTest : public RigTest {
protected:
  void TearDown() override {
    RigTest::TearDown();
    std::filesystem::remove_all(dir_);
  }
  // Plugs a camera made from `config` and starts the driver over it.
  void start(const emu::CameraConfig &config) {
    ASSERT_NO_FATAL_FAILURE(start_camera(config));
    ext_ = rig_.extension();
  }
  // Size, then picture, as the transfer thread asks: the fetch's result and the size (the picture bytes the
  // camera sent in received_).
  std::pair<ULONG, ULONG> frame() {
    const ULONG size = VELTRA_PictureSizeAddr(ext_);
    received_ = 0;
    return {size == 0 ? 0 : VELTRA_PictureBufferAddr(ext_, ext_->PictureBuffer, size, &received_), size};
  }
  // Whether the picture buffer holds a JPEG picture of `size` bytes (its start and end markers).
  bool jpeg_in_buffer(ULONG size) const {
    const PUCHAR p = ext_->PictureBuffer;
    return size >= 4 && p[0] == 0xFF && p[1] == 0xD8 && p[size - 2] == 0xFF && p[size - 1] == 0xD9;
  }

  std::filesystem::path dir_ =
      std::filesystem::temp_directory_path() / ("dscam-pictures-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(reinterpret_cast<uintptr_t>(this)));
  PHW_DEVICE_EXTENSION ext_ = nullptr;
  ULONG received_ = 0;
};

// Makes sure pictures of 1 to 65,536 bytes in packets of 1 to 65,530 arrive intact. Catches a packet boundary
// mistake.
TEST_F(CameraPicturesTest, EverySizeArrivesIntact) {
  const struct {
    size_t size, chunk;
  } cases[] = {{1, 1},         {2, 1},         {300, 1},       {4097, 4096},  {4096, 4096}, {20000, 7},
               {65536, 65530}, {65530, 65530}, {65531, 65530}, {65536, 4096}, {1, 65530}};
  std::filesystem::create_directories(dir_);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes in packets of " + std::to_string(c.chunk));
    std::mt19937 random(static_cast<uint32_t>(c.size * 31 + c.chunk));
    Bytes picture(c.size);
    for (UCHAR &byte : picture)
      byte = static_cast<UCHAR>(random());
    std::ofstream(dir_ / "picture.jpg", std::ios::binary)
        .write(reinterpret_cast<const char *>(picture.data()), static_cast<std::streamsize>(picture.size()));
    emu::CameraConfig config = rig::fast_camera();
    config.pictures = emu::PictureMode::Files;
    config.picture_path = (dir_ / "picture.jpg").string();
    config.chunk = c.chunk;
    ASSERT_NO_FATAL_FAILURE(start(config));
    std::memset(ext_->PictureBuffer, 0xEE, CAM_BUFFER_SIZE);
    const auto [ok, size] = frame();
    EXPECT_EQ(ok, 1u);
    ASSERT_EQ(size, c.size);
    EXPECT_EQ(Bytes(ext_->PictureBuffer, ext_->PictureBuffer + size), picture);
    EXPECT_TRUE(size == CAM_BUFFER_SIZE || ext_->PictureBuffer[size] == 0xEE);
    EXPECT_EQ(rig_.camera().snapshot().counters.pictures_sent, 1u);
    end_round();
  }
}

// Makes sure each fault gives the result the picture commands promise, with the bytes the camera sent, only a
// size acknowledged, a silence ended with a port reset, and the next frame whole. Catches a misread fault, a
// NAK acknowledged as a size, a camera left out of step or a host left waiting.
TEST_F(CameraPicturesTest, FaultsGiveTheExpectedResults) {
  enum class Then { Answers, Silent, Gone };
  const struct {
    const char *fault;
    ULONG ok;     // the fetch's result (0 also when the size was 0)
    bool size_ok; // the size command gave a size
    Then then;
  } cases[] = {
      {"size-checksum@1", 0, false, Then::Answers}, {"size-zero@1", 0, false, Then::Answers},
      {"size-smaller@1", 0, true, Then::Answers},   {"size-larger@1", 1, true, Then::Answers},
      {"truncated@1", 1, true, Then::Answers},      {"damaged@1", 1, true, Then::Answers},
      {"oversized@1", 0, true, Then::Answers},      {"picture-checksum@1", 1, true, Then::Answers},
      {"read-error@1", 0, false, Then::Answers},    {"lost-packet@1", 0, false, Then::Silent},
      {"stop-answering@1", 0, false, Then::Silent}, {"write-error@1", 0, false, Then::Silent},
      {"disconnect@1", 0, false, Then::Gone},       {"nak@1", 0, false, Then::Answers},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    emu::CameraConfig config = rig::fast_camera();
    ASSERT_EQ(emu::fault_plan_apply(&config.faults, c.fault), "");
    ASSERT_NO_FATAL_FAILURE(start(config));
    std::pair<ULONG, ULONG> first;
    if (c.then == Then::Silent) {
      std::atomic<bool> returned{false};
      std::thread asker([&] {
        first = frame();
        returned = true;
      });
      EXPECT_TRUE(rig::wait_until([&] { return rig_.camera().snapshot().waiting_in == 1; }, 5000ms));
      EXPECT_FALSE(returned) << "still waiting before the reset";
      EXPECT_EQ(QRNUSB_ResetPort(rig_.pdo()), STATUS_SUCCESS);
      asker.join();
    } else {
      first = frame();
    }
    EXPECT_EQ(first.first, c.ok);
    EXPECT_EQ(first.second != 0, c.size_ok);
    EXPECT_EQ(rig_.camera().snapshot().counters.bad_commands, 0u);
    EXPECT_EQ(rig_.camera().snapshot().counters.stray_acks, 0u);
    if (c.size_ok) {
      EXPECT_EQ(received_, first.second > CAM_BUFFER_SIZE ? 0 : rig_.camera().pictures().back().sent_size);
    }
    if (c.then == Then::Gone) {
      EXPECT_TRUE(rig::wait_until([&] { return !rig_.bus().device_present(); }, 5000ms));
      EXPECT_EQ(VELTRA_PictureSizeAddr(ext_), 0u);
    } else {
      const auto [ok, size] = frame();
      EXPECT_EQ(ok, 1u);
      EXPECT_TRUE(jpeg_in_buffer(size));
    }
    end_round(c.fault);
  }
}

} // namespace
