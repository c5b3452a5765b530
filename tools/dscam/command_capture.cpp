// dscam capture: N frames into a folder as image files.
#include <cstdio>
#include <filesystem>

#include "tools/dscam/commands.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/image_writer.h"
#include "tools/dscam/run.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

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
    *error = write_image(options_.format, (std::filesystem::path(options_.out_dir) / name).string(), image);
    return error->empty() ? Result::Ok : Result::Failed;
  }

private:
  const Options &options_;
};

} // namespace

int command_capture(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  std::error_code ec;
  std::filesystem::create_directories(options.out_dir, ec);
  if (ec || !std::filesystem::is_directory(options.out_dir)) {
    *error = "cannot create the folder '" + options.out_dir + "'" + (ec ? ": " + ec.message() : "");
    return kExitOutput;
  }
  Session session(options, wakeup);
  int result = session.start(error);
  if (result != kExitOk)
    return result;
  RunPlan plan;
  plan.frames = static_cast<uint64_t>(options.frames);
  plan.need_all = true;
  plan.progress = true;
  FileSink sink(options);
  return run_stream(session, options, plan, sink, signals, wakeup, error);
}

} // namespace dscam
