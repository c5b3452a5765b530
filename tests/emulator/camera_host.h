// A test host that talks to the camera core byte by byte with its own knowledge of the wire format (neither
// the driver's protocol code nor the camera's) and moves the camera's clock: each read waits, in clock time,
// for its packet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/camera/camera_core.h"

namespace camtest {

using Bytes = std::vector<uint8_t>;

inline const Bytes kSizeCommand = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
inline const Bytes kPictureCommand = {0x1B, 0x43, 0x02, 0x00, 0x06, 0x0E, 0x14, 0x00};
inline const Bytes kFocusCommand = {0x1B, 0x43, 0x03, 0x00, 0x02, 0x19, 0x00, 0x1B, 0x00};
inline const Bytes kZoomGetCommand = {0x1B, 0x43, 0x02, 0x00, 0x04, 0x8D, 0x91, 0x00};
inline const Bytes kEnq = {0x05}, kAck = {0x06}, kNak = {0x15};

inline uint16_t sum16(const uint8_t *bytes, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i)
    sum += bytes[i];
  return static_cast<uint16_t>(sum);
}

// The zoom set command for `value` (a 12-byte record).
inline Bytes zoom_set_command(uint32_t value) {
  Bytes packet = {0x1B, 0x43, 14, 0, 0x03, 0x8D};
  for (int shift : {0, 8, 16, 24})
    packet.push_back(uint8_t(value >> shift));
  packet.resize(18, 0);
  const uint16_t sum = sum16(&packet[4], 14);
  packet.insert(packet.end(), {uint8_t(sum), uint8_t(sum >> 8)});
  return packet;
}

// A data packet as read; type 0 when the bytes are none, or its length field disagrees with its size.
struct DataPacket {
  uint8_t type = 0;
  Bytes data;
  bool checksum_ok = false;
};
inline DataPacket split(const std::optional<Bytes> &raw) {
  DataPacket packet;
  const size_t n = raw && raw->size() >= 6 ? (*raw)[2] | ((*raw)[3] << 8) : 0;
  if (!raw || raw->size() < 6 || ((*raw)[0] != 0x02 && (*raw)[0] != 0x03) || n + 6 != raw->size())
    return packet;
  packet.type = (*raw)[0];
  packet.data.assign(raw->begin() + 4, raw->begin() + 4 + static_cast<ptrdiff_t>(n));
  packet.checksum_ok = sum16(&(*raw)[4], n) == ((*raw)[4 + n] | ((*raw)[5 + n] << 8));
  return packet;
}

// A picture as fetched: the size announced (whatever its checksum), the bytes, and how many of its data
// packets had a bad checksum.
struct Fetched {
  uint32_t announced = 0;
  Bytes bytes;
  int bad_sums = 0;
  bool ok = false; // the size answer and the picture up to its ETX arrived
};

struct TestHost {
  explicit TestHost(const emu::CameraConfig &config)
      : camera(config, emu::picture_source_create(config, &error)) {}

  emu::OutResult send(const Bytes &bytes) { return camera.host_write(bytes, now); }
  // Whether `bytes` were taken (the camera may still ignore them).
  bool sent(const Bytes &bytes) { return send(bytes) == emu::OutResult::Ok; }
  // A pipe or port reset now; true.
  bool reset() { return camera.reset(now), true; }
  // One IN transfer: moves the clock until its packet arrives; nothing when none is coming or the bus lost
  // it.
  std::optional<Bytes> read() {
    int64_t ready = 0;
    const emu::InState state = camera.in_state(now, &ready);
    if (state != emu::InState::Ready && state != emu::InState::Later)
      return std::nullopt;
    now = state == emu::InState::Later ? ready : now;
    std::optional<emu::InPacket> packet = camera.take_in(now);
    return packet && !packet->bus_error ? std::optional<Bytes>(packet->bytes) : std::nullopt;
  }
  // Size command and picture command, every data packet acknowledged.
  Fetched next_picture() {
    Fetched fetched;
    send(kSizeCommand);
    const DataPacket size = split(read());
    if (size.type != 0x03 || size.data.size() < 4)
      return fetched;
    fetched.announced = size.data[0] | size.data[1] << 8 | size.data[2] << 16 | uint32_t(size.data[3]) << 24;
    send(kAck);
    send(kPictureCommand);
    for (DataPacket packet; packet.type != 0x03; send(kAck)) {
      if ((packet = split(read())).type == 0)
        return fetched;
      fetched.bytes.insert(fetched.bytes.end(), packet.data.begin(), packet.data.end());
      fetched.bad_sums += packet.checksum_ok ? 0 : 1;
    }
    fetched.ok = true;
    return fetched;
  }

  std::string error; // of the picture source
  emu::CameraCore camera;
  int64_t now = 0;
};

// A camera of the synthetic scene answering whenever asked over an unlimited link.
inline emu::CameraConfig quick_config() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  return config;
}

} // namespace camtest
