// The byte-level test host.
#include "tests/emulator/camera_test_host.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace camtest {

namespace {

uint16_t sum16(const uint8_t *p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i)
    s += p[i];
  return static_cast<uint16_t>(s);
}

} // namespace

Bytes zoom_set_command(uint32_t value) {
  Bytes packet = {0x1B, 0x43, 14, 0, 0x03, 0x8D};
  for (int i = 0; i < 4; ++i)
    packet.push_back(static_cast<uint8_t>(value >> (8 * i)));
  packet.resize(18, 0);
  const uint16_t s = sum16(&packet[4], 14);
  packet.push_back(static_cast<uint8_t>(s));
  packet.push_back(static_cast<uint8_t>(s >> 8));
  return packet;
}

bool split_data_packet(const Bytes &raw, DataPacket *packet) {
  if (raw.size() < 6 || (raw[0] != 0x02 && raw[0] != 0x03))
    return false;
  const size_t n = raw[2] | (raw[3] << 8);
  if (n + 6 != raw.size())
    return false;
  packet->type = raw[0];
  packet->data.assign(raw.begin() + 4, raw.begin() + 4 + static_cast<ptrdiff_t>(n));
  packet->checksum_ok = sum16(&raw[4], n) == static_cast<uint16_t>(raw[4 + n] | (raw[5 + n] << 8));
  return true;
}

TestHost::TestHost(const emu::CameraConfig &config)
    : camera(config, [&] {
        std::string error;
        return emu::picture_source_create(config, &error);
      }()) {}

std::optional<Bytes> TestHost::read() {
  int64_t ready = 0;
  switch (camera.in_state(now, &ready)) {
  case emu::InState::Later:
    now = ready;
    break;
  case emu::InState::Ready:
    break;
  default:
    return std::nullopt;
  }
  std::optional<emu::InPacket> packet = camera.take_in(now);
  if (!packet || packet->bus_error)
    return std::nullopt;
  return packet->bytes;
}

std::optional<uint32_t> TestHost::picture_size() {
  send(kSizeCommand);
  std::optional<Bytes> raw = read();
  DataPacket packet;
  if (!raw || !split_data_packet(*raw, &packet) || !packet.checksum_ok || packet.data.size() < 4)
    return std::nullopt;
  send(kAck);
  return packet.data[0] | (packet.data[1] << 8) | (packet.data[2] << 16) |
         (static_cast<uint32_t>(packet.data[3]) << 24);
}

Fetched TestHost::fetch_picture(uint32_t announced) {
  Fetched fetched;
  fetched.announced = announced;
  send(kPictureCommand);
  for (;;) {
    std::optional<Bytes> raw = read();
    DataPacket packet;
    if (!raw || !split_data_packet(*raw, &packet))
      return fetched;
    fetched.bytes.insert(fetched.bytes.end(), packet.data.begin(), packet.data.end());
    ++fetched.packets;
    send(kAck);
    if (packet.type == 0x03)
      break;
  }
  fetched.ok = true;
  return fetched;
}

Fetched TestHost::next_picture() {
  std::optional<uint32_t> size = picture_size();
  if (!size)
    return {};
  return fetch_picture(*size);
}

namespace {

struct DecodeError {
  jpeg_error_mgr mgr;
  std::jmp_buf back;
};

void decode_error_exit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<DecodeError *>(cinfo->err)->back, 1);
}
void decode_message(j_common_ptr) {}

bool run_decode(jpeg_decompress_struct *cinfo, DecodeError *err, const Bytes &jpeg, int *width, int *height,
                Bytes *rgb) {
  if (setjmp(err->back) != 0)
    return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(cinfo, TRUE);
  cinfo->out_color_space = JCS_RGB;
  jpeg_start_decompress(cinfo);
  *width = static_cast<int>(cinfo->output_width);
  *height = static_cast<int>(cinfo->output_height);
  rgb->assign(static_cast<size_t>(*width) * *height * 3, 0);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = rgb->data() + static_cast<size_t>(cinfo->output_scanline) * *width * 3;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

} // namespace

bool decode_jpeg(const Bytes &jpeg, int *width, int *height, Bytes *rgb) {
  if (jpeg.empty())
    return false;
  jpeg_decompress_struct cinfo{};
  DecodeError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = decode_error_exit;
  err.mgr.output_message = decode_message;
  const bool ok = run_decode(&cinfo, &err, jpeg, width, height, rgb);
  jpeg_destroy_decompress(&cinfo);
  return ok;
}

emu::CameraConfig quick_config() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  return config;
}

} // namespace camtest
