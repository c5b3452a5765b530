// The camera's packet format: command packets out, reply packets in.
#include "protocol/packet_format.h"

#include <cstring>

#include "diag/debug_msg.h"

namespace {

// Offsets inside a command packet.
constexpr ULONG kCmdLengthOffset = 2;
constexpr ULONG kCmdTypeOffset = 4;
constexpr ULONG kCmdAddressOffset = 5;
constexpr ULONG kCmdArgumentOffset = 6;

// Offsets inside a data reply packet.
constexpr ULONG kReplyExtraOffset = 1;
constexpr ULONG kReplyLengthOffset = 2;
constexpr ULONG kReplyDataOffset = 4;

// Stores a 16-bit value little-endian at p.
void put_u16(PUCHAR p, USHORT value) {
  p[0] = static_cast<UCHAR>(value & 0xFF);
  p[1] = static_cast<UCHAR>(value >> 8);
}

// Reads a 16-bit little-endian value at p; the caller has checked the bounds.
USHORT get_u16(const UCHAR *p) {
  return static_cast<USHORT>(p[0] | (p[1] << 8));
}

// Returns N (the length field) of a command of this type, or 0 when the type
// is refused or its argument does not fit the send buffer.
ULONG command_length_field(const API_COMMAND *ApiCommand) {
  switch (ApiCommand->CommandType) {
  case 0:
    return 6;
  case 1:
  case 4:
  case 6:
    return 2;
  case 2:
    return 3;
  case 3:
    if (ApiCommand->Argument.Block.DataLength > CAM_MAX_BLOCK_LENGTH)
      return 0;
    return ApiCommand->Argument.Block.DataLength + 2u;
  default:
    return 0;
  }
}

// True for the single-byte control packets the camera sends.
bool is_control_type(UCHAR type) {
  return type == CAM_PACKET_ENQ || type == CAM_PACKET_ACK || type == CAM_PACKET_DC1 ||
         type == CAM_PACKET_NAK || type == CAM_PACKET_CAN;
}

} // namespace

ULONG VELTRA_CreateAPItoCAMPacket(const API_COMMAND *ApiCommand, PUCHAR SendBuffer, PULONG SendLength) {
  const ULONG n = command_length_field(ApiCommand);
  if (n == 0)
    return 0;

  SendBuffer[0] = CAM_COMMAND_LEAD0;
  SendBuffer[1] = CAM_COMMAND_LEAD1;
  put_u16(SendBuffer + kCmdLengthOffset, static_cast<USHORT>(n));
  SendBuffer[kCmdTypeOffset] = ApiCommand->CommandType;
  SendBuffer[kCmdAddressOffset] = ApiCommand->Address;
  PUCHAR argument = SendBuffer + kCmdArgumentOffset;
  switch (ApiCommand->CommandType) {
  case 0: {
    // The value goes on the wire little-endian whatever the host's byte order.
    const ULONG value = ApiCommand->Argument.Value;
    for (int i = 0; i < 4; ++i)
      argument[i] = static_cast<UCHAR>(value >> (8 * i));
    break;
  }
  case 2:
    argument[0] = ApiCommand->Argument.Byte;
    break;
  case 3:
    std::memcpy(argument, ApiCommand->Argument.Block.Data, ApiCommand->Argument.Block.DataLength);
    break;
  default:
    break;
  }
  put_u16(SendBuffer + kCmdTypeOffset + n,
          VELTRA_ComputeChecksum(SendBuffer + kCmdTypeOffset, static_cast<LONG>(n)));
  *SendLength = n + 6;
  return 1;
}

USHORT VELTRA_ComputeChecksum(const UCHAR *Bytes, LONG Count) {
  USHORT sum = 0;
  for (LONG i = 0; i < Count; ++i)
    sum = static_cast<USHORT>(sum + Bytes[i]);
  return sum;
}

ULONG VELTRA_ParseCAMtoAPIPacket(const UCHAR *Received, ULONG ReceivedLength, ULONG VerifyChecksum,
                                 PCAM_PACKET CamPacket) {
  CamPacket->Extra = 0;
  CamPacket->Length = 0;
  // A read of 0 bytes has no type byte; it is refused like an unknown type.
  CamPacket->PacketType = ReceivedLength > 0 ? Received[0] : 0;
  if (ReceivedLength == 0)
    return 0;
  const UCHAR type = Received[0];
  if (is_control_type(type))
    return 1;
  if (type != CAM_PACKET_STX && type != CAM_PACKET_ETX)
    return 0;
  if (ReceivedLength < CAM_DATA_PACKET_MIN)
    return 0;

  // The length field is the camera's word only: a packet claiming more data
  // than arrived is refused rather than read past the received bytes.
  const ULONG n = get_u16(Received + kReplyLengthOffset);
  if (n + CAM_DATA_PACKET_OVERHEAD > ReceivedLength)
    return 0;
  const UCHAR *data = Received + kReplyDataOffset;
  const USHORT stored = get_u16(data + n);
  if (VerifyChecksum == 1) {
    const USHORT computed = VELTRA_ComputeChecksum(data, static_cast<LONG>(n));
    DubugMsg(3, "Length = %d CheckSum=%08x\n", n, computed);
    if (computed != stored) {
      DubugMsg(3, "Received Checksum Error\n");
      return 0;
    }
  }
  CamPacket->Extra = Received[kReplyExtraOffset];
  CamPacket->Length = static_cast<USHORT>(n);
  std::memcpy(CamPacket->Data, data, n);
  return 1;
}
