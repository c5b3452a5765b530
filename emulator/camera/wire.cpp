// The camera's wire format: command checks and reply packets.
#include "emulator/camera/wire.h"

namespace emu {

uint16_t wire_sum(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes)
    sum += b;
  return static_cast<uint16_t>(sum);
}

std::optional<Command> wire_parse_command(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8 || bytes[0] != 0x1B || bytes[1] != 0x43)
    return std::nullopt;
  const size_t n = bytes[2] | (bytes[3] << 8);
  // One OUT transfer carries exactly one packet: N + 6 bytes, nothing more.
  if (n < 2 || n + 6 != bytes.size())
    return std::nullopt;
  const uint16_t stored = static_cast<uint16_t>(bytes[4 + n] | (bytes[5 + n] << 8));
  if (wire_sum(bytes.subspan(4, n)) != stored)
    return std::nullopt;
  Command command;
  command.type = bytes[4];
  command.address = bytes[5];
  command.argument.assign(bytes.begin() + 6, bytes.begin() + 4 + static_cast<ptrdiff_t>(n));
  return command;
}

std::vector<uint8_t> wire_data_packet(uint8_t type, std::span<const uint8_t> data) {
  std::vector<uint8_t> packet;
  packet.reserve(data.size() + kDataPacketFraming);
  const uint16_t n = static_cast<uint16_t>(data.size());
  const uint16_t sum = wire_sum(data);
  packet.push_back(type);
  packet.push_back(0x00);
  packet.push_back(static_cast<uint8_t>(n & 0xFF));
  packet.push_back(static_cast<uint8_t>(n >> 8));
  packet.insert(packet.end(), data.begin(), data.end());
  packet.push_back(static_cast<uint8_t>(sum & 0xFF));
  packet.push_back(static_cast<uint8_t>(sum >> 8));
  return packet;
}

std::vector<uint8_t> wire_command_packet(uint8_t type, uint8_t address, std::span<const uint8_t> argument) {
  const size_t n = argument.size() + 2;
  std::vector<uint8_t> packet;
  packet.reserve(n + 6);
  packet.push_back(0x1B);
  packet.push_back(0x43);
  packet.push_back(static_cast<uint8_t>(n & 0xFF));
  packet.push_back(static_cast<uint8_t>(n >> 8));
  packet.push_back(type);
  packet.push_back(address);
  for (uint8_t b : argument)
    packet.push_back(b);
  const uint16_t sum = wire_sum(std::span<const uint8_t>(packet).subspan(4, n));
  packet.push_back(static_cast<uint8_t>(sum & 0xFF));
  packet.push_back(static_cast<uint8_t>(sum >> 8));
  return packet;
}

uint32_t wire_u32(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4)
    return 0;
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

} // namespace emu
