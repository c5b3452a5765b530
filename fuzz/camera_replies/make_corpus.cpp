// Writes the kept corpus of the camera_replies fuzz target: conversations the
// camera could have had (pictures, the zoom record, focus answers) and broken
// ones, each behind its application byte.
//   fuzz_camera_replies_make_corpus <folder>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/camera/jpeg_encode.h"
#include "emulator/camera/scene.h"
#include "emulator/camera/wire.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

// One reply with its u16 header.
void reply(std::vector<uint8_t> &input, const std::vector<uint8_t> &packet) {
  input.push_back(static_cast<uint8_t>(packet.size()));
  input.push_back(static_cast<uint8_t>(packet.size() >> 8));
  input.insert(input.end(), packet.begin(), packet.end());
}

void failure(std::vector<uint8_t> &input, bool stall) {
  input.push_back(stall ? 0xFE : 0xFF);
  input.push_back(0xFF);
}

std::vector<uint8_t> u32_packet(uint32_t value) {
  const std::vector<uint8_t> data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return emu::wire_data_packet(kEtx, data);
}

// The size reply and the picture packets of one picture, `chunk` bytes each.
void picture(std::vector<uint8_t> &input, const std::vector<uint8_t> &jpeg, size_t chunk) {
  reply(input, u32_packet(static_cast<uint32_t>(jpeg.size())));
  for (size_t at = 0; at < jpeg.size(); at += chunk) {
    const size_t n = jpeg.size() - at < chunk ? jpeg.size() - at : chunk;
    const std::vector<uint8_t> part(jpeg.begin() + static_cast<long>(at),
                                    jpeg.begin() + static_cast<long>(at + n));
    reply(input, emu::wire_data_packet(at + n == jpeg.size() ? kEtx : kStx, part));
  }
}

std::vector<uint8_t> scene(uint32_t number) {
  emu::SceneView view;
  view.number = number;
  view.tick = number;
  const std::vector<uint8_t> rgb = emu::scene_render(view);
  return emu::jpeg_encode_rgb(rgb.data(), view.width, view.height, 10);
}

bool write_input(const std::string &folder, const char *name, const std::vector<uint8_t> &input) {
  std::FILE *file = std::fopen((folder + "/" + name).c_str(), "wb");
  if (file == nullptr)
    return false;
  const bool ok = std::fwrite(input.data(), 1, input.size(), file) == input.size();
  return std::fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::vector<uint8_t> zoom_record =
      emu::wire_data_packet(kEtx, std::vector<uint8_t>{50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const std::vector<uint8_t> ack = {0x06};
  const std::vector<uint8_t> enq = {0x05};
  const std::vector<uint8_t> nak = {0x15};

  std::vector<uint8_t> two_frames = {0x01};
  picture(two_frames, scene(1), 4096);
  picture(two_frames, scene(2), 4096);

  std::vector<uint8_t> one_frame_unplugged = {0xE0};
  picture(one_frame_unplugged, scene(3), 1000);

  std::vector<uint8_t> controls = {0x1C};
  reply(controls, zoom_record);
  reply(controls, ack);
  reply(controls, ack);
  reply(controls, enq);

  std::vector<uint8_t> frame_then_controls = {0x1D};
  picture(frame_then_controls, scene(4), 4096);
  reply(frame_then_controls, zoom_record);
  reply(frame_then_controls, ack);
  reply(frame_then_controls, enq);

  std::vector<uint8_t> errors = {0x23};
  reply(errors, nak);
  failure(errors, false);
  failure(errors, true);
  std::vector<uint8_t> bad_sum = u32_packet(1000);
  bad_sum.back() ^= 0x55;
  reply(errors, bad_sum);
  reply(errors, {0x03, 0x00, 0xFF, 0xFF, 0x01, 0x02, 0x03});

  std::vector<uint8_t> huge_size = {0x02};
  reply(huge_size, u32_packet(0xFFFFFFFFu));
  reply(huge_size, u32_packet(0));
  reply(huge_size, u32_packet(70000));

  const std::vector<uint8_t> silent_camera = {0x3F};

  struct Input {
    const char *name;
    const std::vector<uint8_t> &bytes;
  };
  const Input inputs[] = {
      {"two_frames", two_frames},
      {"one_frame_unplugged_half", one_frame_unplugged},
      {"controls", controls},
      {"frame_then_controls", frame_then_controls},
      {"errors", errors},
      {"announced_sizes", huge_size},
      {"no_replies", silent_camera},
  };
  for (const Input &input : inputs) {
    if (!write_input(folder, input.name, input.bytes)) {
      std::fprintf(stderr, "cannot write %s\n", input.name);
      return 1;
    }
  }
  return 0;
}
