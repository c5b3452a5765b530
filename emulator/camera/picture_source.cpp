// The picture sources.
#include "emulator/camera/picture_source.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "emulator/camera/jpeg_encode.h"

namespace emu {

namespace {

// The scene, rendered and encoded for every picture.
class SyntheticSource final : public PictureSource {
public:
  explicit SyntheticSource(int quality) : quality_(quality) {}
  std::vector<uint8_t> take(const SceneView &view) override { return scene_picture(view, quality_); }

private:
  int quality_;
};

// A fixed list of pictures played in a loop.
class LoopSource final : public PictureSource {
public:
  explicit LoopSource(std::vector<std::vector<uint8_t>> pictures) : pictures_(std::move(pictures)) {}
  std::vector<uint8_t> take(const SceneView &) override {
    const std::vector<uint8_t> &picture = pictures_[next_];
    next_ = (next_ + 1) % pictures_.size();
    return picture;
  }

private:
  std::vector<std::vector<uint8_t>> pictures_;
  size_t next_ = 0;
};

bool is_jpeg_name(const std::filesystem::path &path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".jpg" || ext == ".jpeg";
}

// The JPEG files at path: the file itself, or the folder's JPEG files by name.
std::vector<std::filesystem::path> list_pictures(const std::string &path) {
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(path, ec)) {
    for (const auto &entry : std::filesystem::directory_iterator(path, ec))
      if (entry.is_regular_file() && is_jpeg_name(entry.path()))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
  } else if (std::filesystem::is_regular_file(path, ec)) {
    files.emplace_back(path);
  }
  return files;
}

std::unique_ptr<PictureSource> file_source(const std::string &path, std::string *error) {
  std::vector<std::vector<uint8_t>> pictures;
  for (const auto &file : list_pictures(path)) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      *error = "cannot read picture " + file.string();
      return nullptr;
    }
    if (!bytes.empty())
      pictures.push_back(std::move(bytes));
  }
  if (pictures.empty()) {
    *error = "no JPEG picture at " + path;
    return nullptr;
  }
  return std::make_unique<LoopSource>(std::move(pictures));
}

std::unique_ptr<PictureSource> prerendered_source(const CameraConfig &config) {
  std::vector<std::vector<uint8_t>> pictures;
  const unsigned count = std::max(1u, config.prerendered);
  for (unsigned i = 0; i < count; ++i) {
    SceneView view;
    view.tick = i;
    view.number = i + 1;
    view.focused = true;
    pictures.push_back(scene_picture(view, config.jpeg_quality));
  }
  return std::make_unique<LoopSource>(std::move(pictures));
}

} // namespace

std::vector<uint8_t> scene_picture(const SceneView &view, int quality) {
  const std::vector<uint8_t> rgb = scene_render(view);
  return jpeg_encode_rgb(rgb.data(), view.width, view.height, quality);
}

std::unique_ptr<PictureSource> picture_source_create(const CameraConfig &config, std::string *error) {
  switch (config.pictures) {
  case PictureMode::Files:
    return file_source(config.picture_path, error);
  case PictureMode::Prerendered:
    return prerendered_source(config);
  case PictureMode::Synthetic:
    break;
  }
  return std::make_unique<SyntheticSource>(config.jpeg_quality);
}

} // namespace emu
