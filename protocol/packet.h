// The camera's packet records: the command being built (host to camera) and the
// last reply parsed (camera to host). Both live inside the device extension, so
// no camera exchange allocates.
#pragma once

#include "platform/kernel/ntdef.h"

// Size of every camera buffer: receive buffer, picture buffer, reply data.
#define CAM_BUFFER_SIZE 65536
// Size of the buffer that holds one command packet on the wire.
#define CAM_SEND_BUFFER_SIZE 1024

// Command record. The argument area is read according to CommandType:
// Value for type 0, Byte for type 2, DataLength and Data for type 3.
struct API_COMMAND {
  UCHAR CommandType;
  UCHAR Address;
  UCHAR Unused[2];
  union {
    ULONG Value;
    UCHAR Byte;
    struct {
      USHORT DataLength;
      UCHAR Data[CAM_BUFFER_SIZE];
    } Block;
  } Argument;
};
using PAPI_COMMAND = API_COMMAND *;

// Reply record: a data packet's type, second byte, length and data; a control
// packet sets only PacketType (Extra and Length 0) and leaves Data as it was.
struct CAM_PACKET {
  UCHAR PacketType;
  UCHAR Extra;
  USHORT Length;
  UCHAR Data[CAM_BUFFER_SIZE];
};
using PCAM_PACKET = CAM_PACKET *;

static_assert(offsetof(API_COMMAND, Argument) == 4);
static_assert(offsetof(CAM_PACKET, Data) == 4);
