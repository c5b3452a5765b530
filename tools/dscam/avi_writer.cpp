// The AVI clip: RIFF chunks written little-endian.
#include "tools/dscam/avi_writer.h"

#include <cerrno>
#include <cstring>

#include "tools/dscam/little_endian.h"

namespace dscam {
namespace {

constexpr uint32_t kAvihSize = 56;        // MainAVIHeader
constexpr uint32_t kStrhSize = 56;        // AVIStreamHeader
constexpr uint32_t kStrfSize = 40;        // BITMAPINFOHEADER
constexpr uint32_t kAvifHasIndex = 0x10;  // AVIF_HASINDEX
constexpr uint32_t kAviifKeyframe = 0x10; // AVIIF_KEYFRAME
constexpr uint32_t kStrlSize = 4 + 8 + kStrhSize + 8 + kStrfSize;
constexpr uint32_t kHdrlSize = 4 + 8 + kAvihSize + 8 + kStrlSize;
// Bytes before the first frame chunk: RIFF header, hdrl list, movi list header.
constexpr uint32_t kHeadersSize = 12 + 8 + kHdrlSize + 12;

void put_fourcc(std::vector<uint8_t> &out, const char *fourcc) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>(fourcc[i]));
}

void put_chunk_header(std::vector<uint8_t> &out, const char *fourcc, uint32_t size) {
  put_fourcc(out, fourcc);
  put_u32(out, size);
}

} // namespace

AviWriter::~AviWriter() {
  if (file_ != nullptr)
    std::fclose(file_);
}

std::string AviWriter::failure(const char *what) {
  const std::string reason = "cannot " + std::string(what) + " '" + path_ + "': " + std::strerror(errno);
  if (file_ != nullptr)
    std::fclose(file_);
  file_ = nullptr;
  return reason;
}

uint64_t AviWriter::clip_bytes(long width, long height, uint64_t frames) {
  const uint64_t frame_bytes = static_cast<uint64_t>((width * 3 + 3) / 4 * 4 * height);
  // Each frame: its chunk (8 + data) and its index entry (16); the index's own header.
  return kHeadersSize + 8 + frames * (8 + frame_bytes + 16);
}

std::string AviWriter::open(const std::string &path, long width, long height) {
  path_ = path;
  width_ = width;
  height_ = height;
  frame_bytes_ = static_cast<uint32_t>((width * 3 + 3) / 4 * 4 * height);
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr)
    return failure("write");
  const std::vector<uint8_t> head = headers();
  if (std::fwrite(head.data(), 1, head.size(), file_) != head.size())
    return failure("write");
  return {};
}

std::string AviWriter::add_frame(std::span<const uint8_t> rows) {
  if (file_ == nullptr)
    return "the clip '" + path_ + "' is not open";
  if (rows.size() < frame_bytes_)
    return "frame of " + std::to_string(rows.size()) + " bytes is too short for " + std::to_string(width_) +
           "x" + std::to_string(height_);
  if (bytes_for(offsets_.size() + 1) > kMaxBytes)
    return "the clip '" + path_ + "' would grow past " + std::to_string(kMaxBytes >> 20) + " MiB";
  std::vector<uint8_t> header;
  put_chunk_header(header, "00db", frame_bytes_);
  offsets_.push_back(static_cast<uint32_t>(4 + offsets_.size() * (8ull + frame_bytes_)));
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
      std::fwrite(rows.data(), 1, frame_bytes_, file_) != frame_bytes_)
    return failure("write");
  return {};
}

std::string AviWriter::finish(int64_t interval) {
  if (file_ == nullptr)
    return {};
  interval_ = interval;
  std::vector<uint8_t> index;
  put_chunk_header(index, "idx1", static_cast<uint32_t>(offsets_.size() * 16));
  for (const uint32_t offset : offsets_) {
    put_fourcc(index, "00db");
    put_u32(index, kAviifKeyframe);
    put_u32(index, offset);
    put_u32(index, frame_bytes_);
  }
  const std::vector<uint8_t> head = headers();
  if (std::fwrite(index.data(), 1, index.size(), file_) != index.size() ||
      std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(head.data(), 1, head.size(), file_) != head.size())
    return failure("write");
  const int closed = std::fclose(file_);
  file_ = nullptr;
  return closed == 0 ? std::string() : "cannot write '" + path_ + "': " + std::strerror(errno);
}

// The RIFF header, the hdrl list (main header, one video stream's header and
// format) and the movi list's header, for the frames written so far.
std::vector<uint8_t> AviWriter::headers() const {
  const uint32_t frames = static_cast<uint32_t>(offsets_.size());
  const uint32_t movi_size = 4 + frames * (8 + frame_bytes_);
  const uint32_t riff_size = static_cast<uint32_t>(bytes_for(frames) - 8);
  // Frame rate as rate / scale frames per second: 10,000,000 / interval (a
  // format without one: the stream's nominal 15 frames per second).
  const uint32_t scale = static_cast<uint32_t>(interval_ > 0 ? interval_ : 666666);
  std::vector<uint8_t> out;
  put_chunk_header(out, "RIFF", riff_size);
  put_fourcc(out, "AVI ");
  put_chunk_header(out, "LIST", kHdrlSize);
  put_fourcc(out, "hdrl");
  put_chunk_header(out, "avih", kAvihSize);
  const auto bytes_per_second = static_cast<uint32_t>(uint64_t{frame_bytes_} * 10'000'000u / scale);
  for (const uint32_t field : {scale / 10, bytes_per_second, 0u, kAvifHasIndex, frames, 0u, 1u, frame_bytes_,
                               static_cast<uint32_t>(width_), static_cast<uint32_t>(height_), 0u, 0u, 0u, 0u})
    put_u32(out,
            field); // µs per frame, bytes/s, padding, flags, frames, initial, streams, buffer, size, reserved
  put_chunk_header(out, "LIST", kStrlSize);
  put_fourcc(out, "strl");
  put_chunk_header(out, "strh", kStrhSize);
  put_fourcc(out, "vids");
  put_fourcc(out, "DIB ");
  for (const uint32_t field : {0u, 0u, 0u, scale, 10'000'000u, 0u, frames, frame_bytes_, 0xFFFFFFFFu, 0u})
    put_u32(out,
            field); // flags, priority+language, initial, scale, rate, start, length, buffer, quality, sample
  for (const uint32_t edge : {0u, 0u, static_cast<uint32_t>(width_), static_cast<uint32_t>(height_)})
    put_u16(out, edge); // rcFrame
  put_chunk_header(out, "strf", kStrfSize);
  for (const uint32_t field : {kStrfSize, static_cast<uint32_t>(width_), static_cast<uint32_t>(height_)})
    put_u32(out, field);
  put_u16(out, 1);  // planes
  put_u16(out, 24); // bits per pixel
  for (const uint32_t field : {0u, frame_bytes_, 0u, 0u, 0u, 0u})
    put_u32(out, field); // BI_RGB, image size, resolution, colours
  put_chunk_header(out, "LIST", movi_size);
  put_fourcc(out, "movi");
  return out;
}

} // namespace dscam
