// The camera's view of its wire format, as its firmware knows it: command
// packets arriving on bulk OUT, reply packets leaving on bulk IN. Kept apart
// from the driver's protocol code on purpose, so that a mistake in one is not
// copied into the other.
//
// Command packet: 1B 43 | N (u16 LE) | type | address | N-2 argument bytes |
//                 sum of the N bytes from the type on (u16 LE).
// Data packet:    STX or ETX | 0x00 | N (u16 LE) | N data bytes | sum of the data (u16 LE).
// Control packet: one byte (ENQ, ACK, NAK, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emu {

// Reply packet types the camera sends, and the host's acknowledgement.
enum WireByte : uint8_t {
  kStx = 0x02,
  kEtx = 0x03,
  kEnq = 0x05,
  kAck = 0x06,
  kNak = 0x15,
};

// Command types and addresses the camera understands.
enum CommandCode : uint8_t {
  kTypeNoArgument = 1, // picture size
  kTypeOneByte = 2,    // one-touch auto focus
  kTypeBlock = 3,      // zoom set
  kTypeRead = 4,       // zoom get
  kTypeLongReply = 6,  // picture
  kAddrPictureSize = 0x0C,
  kAddrPicture = 0x0E,
  kOpcodeAutoFocus = 0x19,
  kAddrZoom = 0x8D,
};

// The zoom record is 12 bytes: the position (u32 LE) and eight zero bytes.
inline constexpr size_t kZoomRecordSize = 12;
// Most data bytes one packet can carry: one bulk IN read is at most 65,536 bytes.
inline constexpr size_t kMaxPacketData = 65530;
// Bytes framing the data of a data packet.
inline constexpr size_t kDataPacketFraming = 6;

// A command packet that passed the camera's checks.
struct Command {
  uint8_t type = 0;
  uint8_t address = 0;
  std::vector<uint8_t> argument; // the N-2 bytes after the address
};

// The 16-bit byte sum the camera uses for both directions.
uint16_t wire_sum(std::span<const uint8_t> bytes);

// Checks one OUT transfer as a command packet: the lead bytes, a length field
// of at least 2 matching the transfer's size exactly, and the checksum.
// Returns the command, or nothing for a bad packet.
std::optional<Command> wire_parse_command(std::span<const uint8_t> bytes);

// Builds a data packet (STX or ETX) around data (at most kMaxPacketData bytes).
std::vector<uint8_t> wire_data_packet(uint8_t type, std::span<const uint8_t> data);

// Builds a command packet; used by test hosts that talk to the camera directly.
std::vector<uint8_t> wire_command_packet(uint8_t type, uint8_t address, std::span<const uint8_t> argument);

// Reads a u32 little-endian value from the first four bytes (0 when shorter).
uint32_t wire_u32(std::span<const uint8_t> bytes);

} // namespace emu
