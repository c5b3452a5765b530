// The frame-acquisition fixture.
#include "tests/capture/capture_fixture.h"

#include <fstream>
#include <unistd.h>

void CaptureTest::SetUp() {
  HostTest::SetUp();
  log_ = std::make_unique<DebugLog>();
  rig_ = std::make_unique<captest::CameraRig>();
}

void CaptureTest::release_host_objects() {
  if (pin_)
    pin_->close();
  stream_.reset();
  pin_.reset();
  rig_.reset();
  log_.reset();
  if (!picture_dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(picture_dir_, ec);
  }
}

emu::CameraConfig CaptureTest::fast_camera() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  return config;
}

emu::CameraConfig CaptureTest::file_camera(const std::vector<std::vector<uint8_t>> &pictures) {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  picture_dir_ = std::filesystem::temp_directory_path() /
                 ("dscam-capture-" + std::to_string(::getpid()) + "-" + info->name());
  std::filesystem::create_directories(picture_dir_);
  for (size_t i = 0; i < pictures.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "picture%03zu.jpg", i);
    std::ofstream out(picture_dir_ / name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(pictures[i].data()),
              static_cast<std::streamsize>(pictures[i].size()));
  }
  emu::CameraConfig config = fast_camera();
  config.pictures = emu::PictureMode::Files;
  config.picture_path = picture_dir_.string();
  return config;
}

void CaptureTest::start(const emu::CameraConfig &config) {
  std::string error;
  ASSERT_EQ(rig_->start(config, &error), STATUS_SUCCESS) << error;
}

void CaptureTest::open(LONG width, LONG height) {
  ASSERT_EQ(rig_->open_pin(width, height, pin_), STATUS_SUCCESS);
}

void CaptureTest::set_state(KSSTATE state) {
  ASSERT_EQ(pin_->set_state(state), STATUS_SUCCESS);
}

void CaptureTest::stream(unsigned buffers, LONG width, LONG height, bool keep_data) {
  ASSERT_NO_FATAL_FAILURE(open(width, height));
  ASSERT_NO_FATAL_FAILURE(set_state(KSSTATE_RUN));
  captest::FrameStreamOptions options;
  options.buffers = buffers;
  options.keep_data = keep_data;
  options.buffer_bytes = static_cast<ULONG>(width) * 3 * static_cast<ULONG>(height < 0 ? -height : height);
  stream_ = std::make_unique<captest::FrameStream>(*pin_, options);
  ASSERT_EQ(stream_->start(), STATUS_SUCCESS);
}

void CaptureTest::close() {
  if (stream_)
    stream_->stop();
  ASSERT_EQ(pin_->close(), STATUS_SUCCESS);
}
