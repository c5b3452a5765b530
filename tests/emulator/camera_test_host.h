// A test host that talks to the camera core byte by byte, with its own
// knowledge of the wire format (it does not use the driver's protocol code nor
// the camera's), and moves the clock itself: each read waits, in clock time,
// for the packet to arrive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/camera/camera_core.h"

namespace camtest {

using Bytes = std::vector<uint8_t>;

// The commands as the host sends them.
inline const Bytes kSizeCommand = {0x1B, 0x43, 0x02, 0x00, 0x01, 0x0C, 0x0D, 0x00};
inline const Bytes kPictureCommand = {0x1B, 0x43, 0x02, 0x00, 0x06, 0x0E, 0x14, 0x00};
inline const Bytes kFocusCommand = {0x1B, 0x43, 0x03, 0x00, 0x02, 0x19, 0x00, 0x1B, 0x00};
inline const Bytes kZoomGetCommand = {0x1B, 0x43, 0x02, 0x00, 0x04, 0x8D, 0x91, 0x00};
inline const Bytes kAck = {0x06};

// The zoom set command for a value (12-byte record).
Bytes zoom_set_command(uint32_t value);

// A data packet as read: its type, its data, whether its checksum matched.
struct DataPacket {
  uint8_t type = 0;
  Bytes data;
  bool checksum_ok = false;
};

// Splits a received data packet; false when it is not one (or its length
// field disagrees with its size).
bool split_data_packet(const Bytes &raw, DataPacket *packet);

// A picture as fetched: the announced size, the bytes received and the
// number of data packets they came in.
struct Fetched {
  uint32_t announced = 0;
  Bytes bytes;
  int packets = 0;
  bool ok = false;
};

class TestHost {
public:
  explicit TestHost(const emu::CameraConfig &config);

  // One OUT transfer now.
  emu::OutResult send(const Bytes &bytes) { return camera.host_write(bytes, now); }
  // One IN transfer: waits (moves the clock) until a packet arrives; nothing
  // when none is coming (the camera is silent or gone).
  std::optional<Bytes> read();
  // Size command, size answer and its ACK; the announced size.
  std::optional<uint32_t> picture_size();
  // Picture command and every packet up to ETX, each acknowledged.
  Fetched fetch_picture(uint32_t announced);
  // Both of the above.
  Fetched next_picture();

  emu::CameraCore camera;
  int64_t now = 0;
};

// Decodes a JPEG with libjpeg: width, height and RGB pixels; false when the
// library refuses it.
bool decode_jpeg(const Bytes &jpeg, int *width, int *height, Bytes *rgb);

// A configuration for byte-level tests: synthetic scene, no frame rate, no
// link limits, the given faults.
emu::CameraConfig quick_config();

} // namespace camtest
