// Video records of kernel streaming: bitmap and video info headers, the video data
// range with its configuration capabilities, the frame information behind each
// frame's stream header, and the request records of the video-capture property
// sets (video control, video compression, camera control, dropped frames) and of
// the connection set.
//
// All of these are pointer-free and keep their documented sizes byte for byte.
#pragma once

#include "platform/streamclass/ks.h"

// A rectangle (left, top inclusive; right, bottom exclusive).
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using PRECT = RECT *;
static_assert(sizeof(RECT) == 16);

// A width and a height.
struct SIZE {
  LONG cx;
  LONG cy;
};
using PSIZE = SIZE *;
static_assert(sizeof(SIZE) == 8);

// Times in 100 ns units.
using REFERENCE_TIME = LONGLONG;

// Bitmap header of a video frame; biSize says how long the header really is.
struct KS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight; // positive: bottom-up rows; negative: top-down rows
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
using PKS_BITMAPINFOHEADER = KS_BITMAPINFOHEADER *;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

// KS_BITMAPINFOHEADER.biCompression.
#define KS_BI_RGB 0L
#define KS_BI_RLE8 1L
#define KS_BI_RLE4 2L
#define KS_BI_BITFIELDS 3L

// Video info header: source and target rectangles, rates and the bitmap header,
// which may be longer than 40 bytes (its biSize).
struct KS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
};
using PKS_VIDEOINFOHEADER = KS_VIDEOINFOHEADER *;
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);

// Bytes of a video info header before its bitmap header.
#define KS_SIZE_PREHEADER (offsetof(KS_VIDEOINFOHEADER, bmiHeader))
// Bytes of a whole video info header: the part before the bitmap header plus biSize.
#define KS_SIZE_VIDEOHEADER(pvih) ((pvih)->bmiHeader.biSize + KS_SIZE_PREHEADER)

// What a video stream can produce: sizes, cropping, scaling, frame intervals, bit rates.
struct KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
};
using PKS_VIDEO_STREAM_CONFIG_CAPS = KS_VIDEO_STREAM_CONFIG_CAPS *;
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);

// KS_VIDEO_STREAM_CONFIG_CAPS.VideoStandard: no analog standard.
#define KS_AnalogVideo_None 0x00000000

// A video data range: the range header, sample properties, the configuration
// capabilities and a video info header (with a 40-byte bitmap header).
struct KS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG StreamDescriptionFlags;
  ULONG MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
};
using PKS_DATARANGE_VIDEO = KS_DATARANGE_VIDEO *;
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);

// A video data format: the format header followed by the video info header.
struct KS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
};
using PKS_DATAFORMAT_VIDEOINFOHEADER = KS_DATAFORMAT_VIDEOINFOHEADER *;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

// Frame information, the media-specific header behind each video frame's stream
// header. The two display-surface handles of the documented layout are kept as
// 32-bit words, unused here, so that the record stays 64 bytes on this host.
struct KS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG hDirectDraw;    // reserved: a display-surface handle on the documented platform
  ULONG hSurfaceHandle; // reserved: a display-surface handle on the documented platform
  RECT DirectDrawRect;
  DWORD Reserved1;
  DWORD Reserved2;
  DWORD Reserved3;
  DWORD Reserved4;
};
using PKS_FRAME_INFO = KS_FRAME_INFO *;
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8);
static_assert(offsetof(KS_FRAME_INFO, DirectDrawRect) == 32);
static_assert(sizeof(KS_FRAME_INFO) == 64);

// KS_FRAME_INFO.dwFrameFlags.
#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L

// Properties of KSPROPSETID_Connection.
enum KSPROPERTY_CONNECTION : ULONG {
  KSPROPERTY_CONNECTION_STATE = 0,
  KSPROPERTY_CONNECTION_PRIORITY = 1,
  KSPROPERTY_CONNECTION_DATAFORMAT = 2,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3,
  KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT = 4,
  KSPROPERTY_CONNECTION_ACQUIREORDERING = 5,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX = 6,
  KSPROPERTY_CONNECTION_STARTAT = 7,
};

// Properties of PROPSETID_VIDCAP_DROPPEDFRAMES.
enum KSPROPERTY_VIDCAP_DROPPEDFRAMES : ULONG {
  KSPROPERTY_DROPPEDFRAMES_CURRENT = 0,
};

// Frames delivered and dropped so far, and the average frame size.
struct KSPROPERTY_DROPPEDFRAMES_CURRENT_S {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
};
using PKSPROPERTY_DROPPEDFRAMES_CURRENT_S = KSPROPERTY_DROPPEDFRAMES_CURRENT_S *;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);

// Properties of PROPSETID_VIDCAP_CAMERACONTROL.
enum KSPROPERTY_VIDCAP_CAMERACONTROL : ULONG {
  KSPROPERTY_CAMERACONTROL_PAN = 0,
  KSPROPERTY_CAMERACONTROL_TILT = 1,
  KSPROPERTY_CAMERACONTROL_ROLL = 2,
  KSPROPERTY_CAMERACONTROL_ZOOM = 3,
  KSPROPERTY_CAMERACONTROL_EXPOSURE = 4,
  KSPROPERTY_CAMERACONTROL_IRIS = 5,
  KSPROPERTY_CAMERACONTROL_FOCUS = 6,
};

// KSPROPERTY_CAMERACONTROL_S.Flags and Capabilities.
#define KSPROPERTY_CAMERACONTROL_FLAGS_AUTO 0x0001L
#define KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL 0x0002L

// A camera-control value with its flags and capabilities.
struct KSPROPERTY_CAMERACONTROL_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};
using PKSPROPERTY_CAMERACONTROL_S = KSPROPERTY_CAMERACONTROL_S *;
static_assert(sizeof(KSPROPERTY_CAMERACONTROL_S) == 40);

// Properties of PROPSETID_VIDCAP_VIDEOCONTROL.
enum KSPROPERTY_VIDCAP_VIDEOCONTROL : ULONG {
  KSPROPERTY_VIDEOCONTROL_CAPS = 0,
  KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE = 1,
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES = 2,
  KSPROPERTY_VIDEOCONTROL_MODE = 3,
};

// Video-control capabilities of a stream.
struct KSPROPERTY_VIDEOCONTROL_CAPS_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG VideoControlCaps;
};
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32);

// Video-control mode of a stream.
struct KSPROPERTY_VIDEOCONTROL_MODE_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Mode;
};
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32);

// Actual and available frame rates of a stream at a size.
struct KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  SIZE Dimensions;
  LONGLONG CurrentActualFrameRate;
  LONGLONG CurrentMaxAvailableFrameRate;
};
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56);

// Request for the list of frame rates of a stream at a size (the data is variable).
struct KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  SIZE Dimensions;
};
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40);

// Properties of PROPSETID_VIDCAP_VIDEOCOMPRESSION.
enum KSPROPERTY_VIDCAP_VIDEOCOMPRESSION : ULONG {
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO = 0,
  KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE = 1,
  KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME = 2,
  KSPROPERTY_VIDEOCOMPRESSION_QUALITY = 3,
  KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME = 4,
};

// Compression defaults and capabilities of a stream.
struct KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
};
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48);

// One compression value of a stream.
struct KSPROPERTY_VIDEOCOMPRESSION_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Value;
};
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_S) == 32);
