// The picture commands.
#include "protocol/picture_commands.h"

#include "diag/debug_msg.h"
#include "protocol/packet_exchange.h"
#include "protocol/packet_format.h"

namespace {

// Command types of the picture commands.
constexpr UCHAR kTypeNoArgument = 1;
constexpr UCHAR kTypeVariableReply = 6;

// Data bytes of the size answer that hold the size (u32 LE).
constexpr USHORT kSizeBytes = 4;

} // namespace

ULONG VELTRA_PictureSizeAddr(PHW_DEVICE_EXTENSION pHwDevExt) {
  PCAM_PACKET packet = &pHwDevExt->CamPacket;
  DubugMsg(4, "** Send CAM_PICTURE_SIZE_ADDR\n");
  pHwDevExt->ApiCommand.CommandType = kTypeNoArgument;
  pHwDevExt->ApiCommand.Address = CAM_PICTURE_SIZE_ADDR;
  VELTRA_writeUSB(pHwDevExt, &pHwDevExt->ApiCommand);
  if (!VELTRA_ReceiveCAMPacket(pHwDevExt, 1, packet))
    return 0;
  // A control packet (a NAK: the camera refused the command) carries no data
  // and leaves the bytes of the last data packet in place: those are no size,
  // and the camera is not told that they were taken as one.
  if ((packet->PacketType != CAM_PACKET_STX && packet->PacketType != CAM_PACKET_ETX) ||
      packet->Length < kSizeBytes) {
    DubugMsg(4, "## VELTRA_PictureSizeAddr() No Size Type=%x Length=%d\n", packet->PacketType,
             packet->Length);
    return 0;
  }
  const ULONG size = static_cast<ULONG>(packet->Data[0]) | (static_cast<ULONG>(packet->Data[1]) << 8) |
                     (static_cast<ULONG>(packet->Data[2]) << 16) |
                     (static_cast<ULONG>(packet->Data[3]) << 24);
  DubugMsg(4, "** CAM_PICTURE_SIZE_ADDR Received %d\n", size);
  VELTRA_writeUSB1Byte(pHwDevExt, CAM_PACKET_ACK);
  return size;
}

ULONG VELTRA_PictureBufferAddr(PHW_DEVICE_EXTENSION pHwDevExt, PUCHAR Destination, ULONG PictureSize,
                               PULONG pReceived) {
  *pReceived = 0;
  DubugMsg(4, "** Send CAM_PICTURE_BUFFER_ADDR PictureSize=%d\n", PictureSize);
  // The picture buffer holds CAM_BUFFER_SIZE bytes: a larger announced size
  // would let the reply, and the decoder after it, run past the buffer. The
  // picture is not asked for; the camera, its size answer acknowledged, waits
  // for the next command.
  if (PictureSize > CAM_BUFFER_SIZE) {
    DubugMsg(2, "** CAM_PICTURE_BUFFER_ADDR PictureSize=%d Too Large\n", PictureSize);
    return 0;
  }
  pHwDevExt->ApiCommand.CommandType = kTypeVariableReply;
  pHwDevExt->ApiCommand.Address = CAM_PICTURE_BUFFER_ADDR;
  VELTRA_writeUSB(pHwDevExt, &pHwDevExt->ApiCommand);
  return VELTRA_GetVarLenReceive(pHwDevExt, 0, Destination, PictureSize, pReceived);
}
