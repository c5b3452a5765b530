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
// answer. The size in bytes; 0 when no answer was received and accepted.
// Passive level; blocks.
ULONG VELTRA_PictureSizeAddr(PHW_DEVICE_EXTENSION pHwDevExt);

// Fetches the picture into Destination with PictureSize as the capacity. 1
// when the whole picture fitted, else 0. A size above the picture buffer
// (CAM_BUFFER_SIZE) is refused before the picture command is sent: 0, no
// traffic. Passive level; blocks.
ULONG VELTRA_PictureBufferAddr(PHW_DEVICE_EXTENSION pHwDevExt, PUCHAR Destination, ULONG PictureSize);
