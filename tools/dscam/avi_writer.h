// An uncompressed AVI clip (RIFF 'AVI ', AVI 1.0 with an idx1 index) of 24-bit
// frames: each frame one '00db' chunk of bottom-up blue-green-red rows padded
// to 4 bytes, as a 'DIB ' video stream; the frame rate in the main and stream
// headers. Players (ffplay, mpv, VLC) and editors open it.
//
// Frames are written as they come; finish() adds the index and fills in the
// headers, so a clip that ends early is still whole. A clip holds at most
// kMaxBytes (the size AVI 1.0 readers accept).
//
// Main thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace dscam {

class AviWriter {
public:
  static constexpr uint64_t kMaxBytes = 1ull << 30;

  ~AviWriter();

  // The bytes of a clip of `frames` frames of width x height.
  static uint64_t clip_bytes(long width, long height, uint64_t frames);

  // Creates the file (replacing one of that name) for frames of width x
  // height. An empty string, or the reason.
  std::string open(const std::string &path, long width, long height);
  // Appends one frame: bottom-up rows, (width x 3 rounded up to 4) x height bytes.
  std::string add_frame(std::span<const uint8_t> rows);
  // Writes the index, fills in the headers with the frames shown `interval`
  // apart (100 ns units) and closes the file.
  std::string finish(int64_t interval);

private:
  std::vector<uint8_t> headers() const;
  uint64_t bytes_for(uint64_t frames) const { return clip_bytes(width_, height_, frames); }
  std::string failure(const char *what);

  std::string path_;
  std::FILE *file_ = nullptr;
  long width_ = 0;
  long height_ = 0;
  int64_t interval_ = 0;
  uint32_t frame_bytes_ = 0;
  std::vector<uint32_t> offsets_; // of each frame's chunk, from the 'movi' list type
};

} // namespace dscam
