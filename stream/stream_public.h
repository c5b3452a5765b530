// What the video stream tells an application beyond the standard video
// records: which delivered frames are damaged, and why pictures were refused.
// Applications include this header next to the host's application API; it
// declares only records and constants, no driver function.
#pragma once

#include "platform/streamclass/ks.h"
#include "platform/streamclass/ksmedia.h"

// KS_FRAME_INFO.dwFrameFlags of a frame whose picture did not decode whole: the
// JPEG data ended early or was corrupt (libjpeg warned), or rows were cleared
// because the picture was shorter than the frame. The frame is still delivered,
// with every row it holds filled, so that applications that need a picture
// every interval get one; an application that wants only whole pictures skips
// frames with this flag. The bit lies above the KS_VIDEO_FLAG_* values.
#define VELTRA_FRAMEF_DAMAGED 0x00010000L

// The camera's picture counts of the stream: the property set and its one
// property (read-only, stream property of the capture pin).
// {5F1C2E7A-9B0D-4C3E-8A61-2D7B4E9F0C15}
inline constexpr GUID PROPSETID_VELTRA_PICTURES = {
    0x5F1C2E7A, 0x9B0D, 0x4C3E, {0x8A, 0x61, 0x2D, 0x7B, 0x4E, 0x9F, 0x0C, 0x15}};

enum KSPROPERTY_VELTRA_PICTURES : ULONG {
  KSPROPERTY_VELTRA_PICTURE_COUNTS = 0,
};

// Why the driver last refused a picture (LastRefusal).
enum VELTRA_PICTURE_REFUSAL : ULONG {
  VELTRA_REFUSAL_NONE = 0,
  // The announced size is larger than the driver's picture buffer.
  VELTRA_REFUSAL_TOO_LARGE = 1,
  // The camera sent more bytes than the size it announced.
  VELTRA_REFUSAL_LONGER_THAN_ANNOUNCED = 2,
  // The size or picture exchange failed (device error, bad checksum, no
  // answer, a refused command). A failed size exchange also ends the transfer
  // thread (the oldest two reads fail with STATUS_IO_DEVICE_ERROR); after a
  // failed picture exchange the thread asks for the next picture.
  VELTRA_REFUSAL_FETCH_FAILED = 3,
};

// Counts since the pin was opened. Every picture the camera announced ends as
// exactly one of: a delivered whole frame, a delivered damaged frame
// (DamagedFrames), or a refused picture (TooLarge + LongerThanAnnounced +
// FailedFetches); dropped frames (no read request waiting) are counted by
// PROPSETID_VIDCAP_DROPPEDFRAMES as before.
struct KSPROPERTY_VELTRA_PICTURE_COUNTS_S {
  KSPROPERTY Property;
  ULONG DamagedFrames;
  ULONG TooLarge;
  ULONG LongerThanAnnounced;
  ULONG FailedFetches;
  ULONG LastRefusal;       // VELTRA_PICTURE_REFUSAL
  ULONG LastAnnouncedSize; // bytes the camera announced for the last refused picture (0: no size came)
  ULONG PictureBufferSize; // the largest picture the driver accepts, bytes
  ULONG Reserved;
};
using PKSPROPERTY_VELTRA_PICTURE_COUNTS_S = KSPROPERTY_VELTRA_PICTURE_COUNTS_S *;
static_assert(sizeof(KSPROPERTY_VELTRA_PICTURE_COUNTS_S) == 56);
