// Writes the kept corpus of the jpeg_decode fuzz target: small valid and broken
// JPEG pictures made with libjpeg, each behind its frame-choice byte.
//   fuzz_jpeg_decode_make_corpus <folder>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/pictures.h"

namespace {

using rig::make_picture;
using rig::PictureOptions;

bool write_input(const std::string &folder, const char *name, uint8_t choice,
                 const std::vector<uint8_t> &picture) {
  std::FILE *file = std::fopen((folder + "/" + name).c_str(), "wb");
  if (file == nullptr)
    return false;
  bool ok = std::fwrite(&choice, 1, 1, file) == 1;
  if (!picture.empty())
    ok = ok && std::fwrite(picture.data(), 1, picture.size(), file) == picture.size();
  return std::fclose(file) == 0 && ok;
}

// Width and height of the frame header replaced (SOF0 or SOF2).
std::vector<uint8_t> announce(std::vector<uint8_t> jpeg, int width, int height) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = static_cast<uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<uint8_t>(height);
      jpeg[i + 7] = static_cast<uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<uint8_t>(width);
      break;
    }
  }
  return jpeg;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::vector<uint8_t> baseline = make_picture({.quality = 40});
  std::vector<uint8_t> damaged = baseline;
  for (size_t i = damaged.size() / 3; i < damaged.size(); i += 97)
    damaged[i] ^= 0x5A;
  const std::vector<uint8_t> truncated(baseline.begin(),
                                       baseline.begin() + static_cast<long>(baseline.size() / 2));
  const std::string text = "not a picture";
  const std::vector<uint8_t> long_marker = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xF0, 'E', 'x', 'i', 'f', 0, 0};

  struct Input {
    const char *name;
    uint8_t choice;
    std::vector<uint8_t> picture;
  };
  const Input inputs[] = {
      {"baseline_420_bottom_up", 0, baseline},
      {"baseline_444_half_top_down", 3, make_picture({.quality = 30, .subsample = false, .seed = 2})},
      {"progressive_half", 1, make_picture({.quality = 30, .progressive = true, .seed = 3})},
      {"grey_top_down", 2, make_picture({.quality = 40, .grayscale = true, .seed = 4})},
      {"restart_half_buffer", 4, make_picture({.quality = 30, .restart_rows = 1, .seed = 5})},
      {"oversized_640x480", 1, make_picture({.width = 640, .height = 480, .quality = 10, .seed = 6})},
      {"odd_200x100_one_row_buffer", 8,
       make_picture({.width = 200, .height = 100, .quality = 40, .seed = 7})},
      {"tiny_16x16", 0, make_picture({.width = 16, .height = 16, .quality = 90, .seed = 8})},
      {"cmyk_32x32", 2, make_picture({.width = 32, .height = 32, .cmyk = true, .seed = 9})},
      {"truncated_half", 3, truncated},
      {"damaged_scan", 1, damaged},
      {"announced_4000x3000", 0, announce(baseline, 4000, 3000)},
      {"long_marker", 2, long_marker},
      {"not_jpeg", 0, std::vector<uint8_t>(text.begin(), text.end())},
      {"empty", 1, {}},
  };
  for (const Input &input : inputs) {
    if (!write_input(folder, input.name, input.choice, input.picture)) {
      std::fprintf(stderr, "cannot write %s\n", input.name);
      return 1;
    }
  }
  return 0;
}
