// dscam capture: N frames into a folder as image files, or into one AVI clip.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/streamclass/ksmedia.h"
#include "tools/dscam/avi_writer.h"
#include "tools/dscam/commands.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/image_writer.h"
#include "tools/dscam/run.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

namespace fs = std::filesystem;

// Writes each frame as DIR/frame-NNNNNN.EXT.
class FileSink : public FrameSink {
public:
  explicit FileSink(const Options &options) : options_(options) {}
  Result write(std::span<const uint8_t> frame, uint64_t number, std::string *error) override {
    char name[32];
    std::snprintf(name, sizeof(name), "frame-%06llu.%s", static_cast<unsigned long long>(number),
                  image_extension(options_.format));
    FrameImage image;
    image.bgr = frame;
    image.width = options_.width;
    image.height = options_.height;
    image.top_down = options_.top_down;
    *error = write_image(options_.format, (fs::path(options_.out_dir) / name).string(), image);
    return error->empty() ? Result::Ok : Result::Failed;
  }

private:
  const Options &options_;
};

// Appends each frame to an AVI clip, bottom-up as the clip's frames are; the
// frame rate is that of the pin's format.
class AviSink : public FrameSink {
public:
  AviSink(const Options &options, const Session &session) : options_(options), session_(session) {}
  std::string open() { return avi_.open(options_.out_dir, options_.width, options_.height); }

  Result write(std::span<const uint8_t> frame, uint64_t, std::string *error) override {
    std::span<const uint8_t> rows = frame;
    if (options_.top_down) {
      const size_t pitch = (static_cast<size_t>(options_.width) * 3 + 3) / 4 * 4;
      const size_t height = static_cast<size_t>(options_.height);
      flipped_.assign(pitch * height, 0);
      for (size_t row = 0; row < height && (row + 1) * pitch <= frame.size(); ++row)
        std::memcpy(flipped_.data() + (height - 1 - row) * pitch, frame.data() + row * pitch, pitch);
      rows = flipped_;
    }
    *error = avi_.add_frame(rows);
    return error->empty() ? Result::Ok : Result::Failed;
  }
  Result finish(std::string *error) override {
    KS_DATAFORMAT_VIDEOINFOHEADER video{};
    const std::vector<uint8_t> &format = session_.format();
    if (format.size() >= sizeof(video))
      std::memcpy(&video, format.data(), sizeof(video));
    *error = avi_.finish(video.VideoInfoHeader.AvgTimePerFrame);
    return error->empty() ? Result::Ok : Result::Failed;
  }

private:
  const Options &options_;
  const Session &session_;
  AviWriter avi_;
  std::vector<uint8_t> flipped_;
};

// Whether a file name is one capture writes: frame-NNNNNN.EXT of an image format.
bool is_frame_file(const std::string &name) {
  const size_t dot = name.rfind('.');
  if (name.rfind("frame-", 0) != 0 || dot == std::string::npos || dot < 12)
    return false;
  for (size_t i = 6; i < dot; ++i)
    if (name[i] < '0' || name[i] > '9')
      return false;
  const std::string ext = name.substr(dot + 1);
  return ext == "bmp" || ext == "png" || ext == "ppm" || ext == "jpg";
}

// The folder of the frames: created if missing. One that holds frames of an
// earlier capture is refused (they would be mixed with this one's), unless
// --overwrite, which removes them first.
int prepare_folder(const Options &options, std::string *error) {
  std::error_code ec;
  fs::create_directories(options.out_dir, ec);
  if (ec || !fs::is_directory(options.out_dir)) {
    *error = "cannot create the folder '" + options.out_dir + "'" + (ec ? ": " + ec.message() : "");
    return kExitOutput;
  }
  std::vector<fs::path> frames;
  for (const auto &entry : fs::directory_iterator(options.out_dir, ec))
    if (entry.is_regular_file() && is_frame_file(entry.path().filename().string()))
      frames.push_back(entry.path());
  if (!frames.empty() && !options.overwrite) {
    *error = "the folder '" + options.out_dir + "' holds " + std::to_string(frames.size()) +
             " frames of an earlier capture: use --overwrite to replace them, or another folder";
    return kExitOutput;
  }
  for (const fs::path &frame : frames) {
    if (!fs::remove(frame, ec)) {
      *error = "cannot remove '" + frame.string() + "': " + ec.message();
      return kExitOutput;
    }
  }
  return kExitOk;
}

// The AVI clip's file: an existing one is replaced only with --overwrite; the
// clip must fit the size AVI readers accept.
int check_clip(const Options &options, std::string *error) {
  std::error_code ec;
  if (fs::exists(options.out_dir, ec) && (!options.overwrite || fs::is_directory(options.out_dir, ec))) {
    *error = "'" + options.out_dir + "' exists: use --overwrite to replace it, or another file name";
    return kExitOutput;
  }
  if (AviWriter::clip_bytes(options.width, options.height, static_cast<uint64_t>(options.frames)) >
      AviWriter::kMaxBytes) {
    *error = "an AVI clip holds at most " + std::to_string(AviWriter::kMaxBytes >> 20) +
             " MiB: " + std::to_string(options.frames) + " frames are too many";
    return kExitUsage;
  }
  return kExitOk;
}

} // namespace

int command_capture(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  FileSink files(options);
  AviSink clip(options, session);
  const bool avi = options.format == ImageFormat::Avi;
  int result = avi ? check_clip(options, error) : prepare_folder(options, error);
  if (result == kExitOk)
    result = session.start(error);
  if (result == kExitOk && avi) {
    *error = clip.open();
    result = error->empty() ? kExitOk : kExitOutput;
  }
  if (result != kExitOk)
    return result;
  RunPlan plan;
  plan.frames = static_cast<uint64_t>(options.frames);
  plan.need_all = true;
  plan.progress = true;
  plan.json_out = stdout;
  return run_stream(session, options, plan, avi ? static_cast<FrameSink &>(clip) : files, signals, wakeup,
                    error);
}

} // namespace dscam
