// The two picture commands: the size of the camera's next picture, and the
// picture itself. Issued by the transfer thread once per frame, in this
// order. Both block at passive level (see packet_exchange.h).
#pragma once

#include "adapter/adapter.h"
#include "platform/kernel/ntdef.h"

// Camera addresses of the picture commands.
#define CAM_PICTURE_SIZE_ADDR 0x0C
#define CAM_PICTURE_BUFFER_ADDR 0x0E

// Asks the camera for the size of its next picture and acknowledges the
// answer. The size in bytes; 0 when no answer was received and accepted: no
// packet, a bad checksum, or a packet that holds no size (a control packet
// such as NAK, or a data packet of fewer than four bytes), none of which is
// acknowledged; or a camera that answered 0 (acknowledged). Passive level;
// blocks.
ULONG VELTRA_PictureSizeAddr(PHW_DEVICE_EXTENSION pHwDevExt);

// Fetches the picture into Destination with PictureSize as the capacity. 1
// when the whole picture fitted, else 0. *pReceived gets the picture bytes the
// camera sent (see VELTRA_GetVarLenReceive): with 1, the bytes of the picture
// in Destination, which may be fewer than PictureSize; with 0, more than
// PictureSize when the camera sent more than it announced. A size above the
// picture buffer (CAM_BUFFER_SIZE) is refused before the picture command is
// sent: 0, *pReceived 0, no traffic. Passive level; blocks.
ULONG VELTRA_PictureBufferAddr(PHW_DEVICE_EXTENSION pHwDevExt, PUCHAR Destination, ULONG PictureSize,
                               PULONG pReceived);
