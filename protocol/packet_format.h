// The camera's wire format: building a command packet from the command record,
// the 16-bit byte-sum checksum, and parsing one received reply packet into the
// reply record. Nothing here touches the bus (see packet_exchange.h).
//
// Command packet (host to camera), N = bytes from offset 4 up to the checksum:
//   1B 43 | N (u16 LE) | CommandType | Address | N-2 argument bytes | checksum (u16 LE)
// Reply packet (camera to host): a control packet is its first byte (ENQ, ACK,
// DC1, NAK, CAN); a data packet (STX more follow, ETX last) is
//   type | extra | N (u16 LE) | N data bytes | checksum of the data bytes (u16 LE)
#pragma once

#include "platform/kernel/ntdef.h"
#include "protocol/packet.h"

// Reply packet types (the first byte of every reply).
#define CAM_PACKET_STX 0x02
#define CAM_PACKET_ETX 0x03
#define CAM_PACKET_ENQ 0x05
#define CAM_PACKET_ACK 0x06
#define CAM_PACKET_DC1 0x11
#define CAM_PACKET_NAK 0x15
#define CAM_PACKET_CAN 0x18

// The two bytes that open every command packet.
#define CAM_COMMAND_LEAD0 0x1B
#define CAM_COMMAND_LEAD1 0x43

// Bytes of a data packet around its data: type, extra, length and checksum.
#define CAM_DATA_PACKET_OVERHEAD 6
// A data packet shorter than this, as received, is refused.
#define CAM_DATA_PACKET_MIN 7
// Largest type-3 argument that fits the send buffer with its 8 framing bytes.
#define CAM_MAX_BLOCK_LENGTH (CAM_SEND_BUFFER_SIZE - 8)

// Builds the wire packet of the command record into SendBuffer
// (CAM_SEND_BUFFER_SIZE bytes) and stores its size in *SendLength. Returns 1
// when a packet was built; 0 for command types 5 and above 6, and for a type-3
// command whose DataLength does not fit the send buffer (then nothing is
// written, *SendLength included). Pure function: any context, any thread.
ULONG VELTRA_CreateAPItoCAMPacket(const API_COMMAND *ApiCommand, PUCHAR SendBuffer, PULONG SendLength);

// Returns the sum of Count bytes, each unsigned, kept in 16 bits. A Count of 0
// or less gives 0. Pure function: any context.
USHORT VELTRA_ComputeChecksum(const UCHAR *Bytes, LONG Count);

// Parses the raw bytes of one bulk IN read (Received, ReceivedLength bytes)
// into CamPacket. The checksum is verified only when VerifyChecksum is 1.
// Returns 1 when the packet is accepted, 0 when refused: an unknown type, a
// data packet shorter than 7 bytes or shorter than its length field claims, or
// (verified) a checksum mismatch. Never reads past ReceivedLength bytes. After
// a refusal PacketType holds the first byte and Extra and Length are 0.
// Logs at level 3 when it verifies. Any context where DubugMsg may run.
ULONG VELTRA_ParseCAMtoAPIPacket(const UCHAR *Received, ULONG ReceivedLength, ULONG VerifyChecksum,
                                 PCAM_PACKET CamPacket);
