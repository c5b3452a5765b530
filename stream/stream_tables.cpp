// The stream descriptor tables: what the adapter tells the stream class about
// its one capture pin, its formats and its property sets. Constant for the life
// of the driver.
#include "stream/stream_tables.h"

#include "platform/streamclass/ks_guids.h"
#include "stream/stream_public.h"

// ---------------------------------------------------------------------------
// Formats

// A video data range of uncompressed 24-bit RGB at 15 frames per second and a
// fixed picture size. Rows of 24-bit pixels at 320 and 160 pixels are already
// multiples of 4 bytes, so the image is width x height x 3 bytes. dwBitRate
// holds the image bytes per second, ConfigCaps the bits per second.
static constexpr KS_DATARANGE_VIDEO MakeRgb24Range(LONG Width, LONG Height, RECT Rect) {
  const ULONG ImageSize = (ULONG)(Width * Height * 3);
  const SIZE Size = {Width, Height};
  return KS_DATARANGE_VIDEO{
      {
          sizeof(KS_DATARANGE_VIDEO), // FormatSize
          0,                          // Flags
          ImageSize,                  // SampleSize
          0,                          // Reserved
          KSDATAFORMAT_TYPE_VIDEO,
          KSDATAFORMAT_SUBTYPE_RGB24,
          KSDATAFORMAT_SPECIFIER_VIDEOINFO,
      },
      TRUE, // bFixedSizeSamples
      TRUE, // bTemporalCompression
      0,    // StreamDescriptionFlags
      0,    // MemoryAllocationFlags
      {
          KSDATAFORMAT_SPECIFIER_VIDEOINFO, // guid
          KS_AnalogVideo_None,              // VideoStandard
          Size,                             // InputSize
          Size,                             // MinCroppingSize
          Size,                             // MaxCroppingSize
          8,                                // CropGranularityX
          1,                                // CropGranularityY
          8,                                // CropAlignX
          1,                                // CropAlignY
          Size,                             // MinOutputSize
          Size,                             // MaxOutputSize
          8,                                // OutputGranularityX
          1,                                // OutputGranularityY
          0,                                // StretchTapsX
          0,                                // StretchTapsY
          0,                                // ShrinkTapsX
          0,                                // ShrinkTapsY
          STREAM_FRAME_INTERVAL,            // MinFrameInterval
          STREAM_FRAME_INTERVAL,            // MaxFrameInterval
          (LONG)(ImageSize * 8 * 15),       // MinBitsPerSecond
          (LONG)(ImageSize * 8 * 15),       // MaxBitsPerSecond
      },
      {
          Rect,                  // rcSource
          Rect,                  // rcTarget
          ImageSize * 15,        // dwBitRate
          0,                     // dwBitErrorRate
          STREAM_FRAME_INTERVAL, // AvgTimePerFrame
          {
              sizeof(KS_BITMAPINFOHEADER), // biSize
              Width,                       // biWidth
              Height,                      // biHeight: positive, rows bottom-up
              1,                           // biPlanes
              24,                          // biBitCount
              KS_BI_RGB,                   // biCompression
              ImageSize,                   // biSizeImage
              0,                           // biXPelsPerMeter
              0,                           // biYPelsPerMeter
              0,                           // biClrUsed
              0,                           // biClrImportant
          },
      },
  };
}

// 320x240; the source and target rectangles are the whole picture.
constinit const KS_DATARANGE_VIDEO StreamFormatRGB24Bpp_Capture =
    MakeRgb24Range(320, 240, RECT{0, 0, 320, 240});
// 160x120; the source and target rectangles are left empty.
constinit const KS_DATARANGE_VIDEO StreamFormatRGB24Bpp_Capture2 = MakeRgb24Range(160, 120, RECT{0, 0, 0, 0});

const KSDATARANGE *const Stream0Formats[2] = {
    &StreamFormatRGB24Bpp_Capture.DataRange,
    &StreamFormatRGB24Bpp_Capture2.DataRange,
};

// ---------------------------------------------------------------------------
// Medium and topology

const KSPIN_MEDIUM StandardMedium = {KSMEDIUMSETID_Standard, 0, 0};

const GUID Categories[1] = {KSCATEGORY_CAPTURE};

const KSTOPOLOGY Topology = {
    1,          // CategoriesCount
    Categories, // Categories
    0,          // TopologyNodesCount
    NULL,       // TopologyNodes
    0,          // TopologyConnectionsCount
    NULL,       // TopologyConnections
    NULL,       // TopologyNodesNames
    0,          // Reserved
};

// ---------------------------------------------------------------------------
// Stream properties: answered by the stream's control path (SRB_GET_STREAM_PROPERTY).

const KSPROPERTY_ITEM Stream0ConnectionProperties[1] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), FALSE, NULL, 0, NULL, NULL, 0),
};

const KSPROPERTY_ITEM Stream0DroppedFramesProperties[1] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_DROPPEDFRAMES_CURRENT, TRUE, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                           sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), FALSE, NULL, 0, NULL, NULL, 0),
};

// Read-only: the counts are the driver's.
const KSPROPERTY_ITEM Stream0PictureCountsProperties[1] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VELTRA_PICTURE_COUNTS, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSPROPERTY_VELTRA_PICTURE_COUNTS_S), FALSE, NULL, 0, NULL, NULL, 0),
};

const KSPROPERTY_SET Stream0Properties[STREAM0_PROPERTY_SET_COUNT] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, 1, Stream0ConnectionProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, Stream0DroppedFramesProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VELTRA_PICTURES, 1, Stream0PictureCountsProperties, 0, NULL),
};

// ---------------------------------------------------------------------------
// Zoom and focus value descriptions

const KSPROPERTY_STEPPING_LONG ZoomRangeAndStep = {1, 0, {0, 100}};
const LONG ZoomDefault = 50;

const KSPROPERTY_MEMBERSLIST ZoomMembersList[2] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(ZoomRangeAndStep), 1, 0}, &ZoomRangeAndStep},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(ZoomDefault), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &ZoomDefault},
};

const KSPROPERTY_VALUES ZoomValues = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, ZoomMembersList};

// Focus has no manual position, only the one-touch automatic mode: its range is
// the single value 0.
const KSPROPERTY_STEPPING_LONG FocusRangeAndStep = {1, 0, {0, 0}};
const LONG FocusDefault = 0;

const KSPROPERTY_MEMBERSLIST FocusMembersList[2] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(FocusRangeAndStep), 1, 0}, &FocusRangeAndStep},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(FocusDefault), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &FocusDefault},
};

const KSPROPERTY_VALUES FocusValues = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, FocusMembersList};

// ---------------------------------------------------------------------------
// Device properties. Only the camera-control set has handlers behind it (zoom
// and focus); the video-control and video-compression sets are advertised and
// answered with STATUS_NOT_IMPLEMENTED.

const KSPROPERTY_ITEM VideoControlProperties[4] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_CAPS, TRUE, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
                           sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(
        KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, TRUE, sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S),
        sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S), FALSE, NULL, 0, NULL, NULL, 0),
    // The list of frame rates is of variable length: no least data size.
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, TRUE,
                           sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S), 0, FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_MODE, TRUE, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
                           sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), TRUE, NULL, 0, NULL, NULL, 0),
};

const KSPROPERTY_ITEM VideoStreamCompressionProperties[5] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCOMPRESSION_GETINFO, TRUE,
                           sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S),
                           sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE, TRUE,
                           sizeof(KSPROPERTY_VIDEOCOMPRESSION_S), sizeof(KSPROPERTY_VIDEOCOMPRESSION_S),
                           FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME, TRUE,
                           sizeof(KSPROPERTY_VIDEOCOMPRESSION_S), sizeof(KSPROPERTY_VIDEOCOMPRESSION_S),
                           FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCOMPRESSION_QUALITY, TRUE, sizeof(KSPROPERTY_VIDEOCOMPRESSION_S),
                           sizeof(KSPROPERTY_VIDEOCOMPRESSION_S), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME, TRUE,
                           sizeof(KSPROPERTY_VIDEOCOMPRESSION_S), sizeof(KSPROPERTY_VIDEOCOMPRESSION_S),
                           FALSE, NULL, 0, NULL, NULL, 0),
};

// Every camera-control item is read with a KSPROPERTY_CAMERACONTROL_S; only zoom
// and focus can be set, and only they describe their values.
#define CAMERA_CONTROL_ITEM(Id, Settable, Values)                                                            \
  DEFINE_KSPROPERTY_ITEM(Id, TRUE, sizeof(KSPROPERTY_CAMERACONTROL_S), sizeof(KSPROPERTY_CAMERACONTROL_S),   \
                         Settable, Values, 0, NULL, NULL, 0)

const KSPROPERTY_ITEM VideoCameraControlProperties[7] = {
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_PAN, FALSE, NULL),
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_TILT, FALSE, NULL),
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_ROLL, FALSE, NULL),
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_ZOOM, TRUE, &ZoomValues),
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_EXPOSURE, FALSE, NULL),
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_IRIS, FALSE, NULL),
    CAMERA_CONTROL_ITEM(KSPROPERTY_CAMERACONTROL_FOCUS, TRUE, &FocusValues),
};

#undef CAMERA_CONTROL_ITEM

const KSPROPERTY_SET AdapterPropertyTable[3] = {
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEOCONTROL, 4, VideoControlProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 5, VideoStreamCompressionProperties, 0, NULL),
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_CAMERACONTROL, 7, VideoCameraControlProperties, 0, NULL),
};

// ---------------------------------------------------------------------------
// The descriptor

const HW_STREAM_HEADER StreamHeader = {
    STREAM_TABLE_COUNT,            // NumberOfStreams
    sizeof(HW_STREAM_INFORMATION), // SizeOfHwStreamInformation
    3,                             // NumDevPropArrayEntries
    AdapterPropertyTable,          // DevicePropertiesArray
    0,                             // NumDevEventArrayEntries
    NULL,                          // DeviceEventsArray
    &Topology,                     // Topology
    NULL,                          // DeviceEventRoutine
    0,                             // NumDevMethodArrayEntries
    NULL,                          // DeviceMethodsArray
};

const HW_STREAM_INFORMATION Streams[STREAM_TABLE_COUNT] = {
    // Stream 0: the video capture output pin.
    {
        1,                          // NumberOfPossibleInstances
        KSPIN_DATAFLOW_OUT,         // DataFlow
        TRUE,                       // DataAccessible
        2,                          // NumberOfFormatArrayEntries
        Stream0Formats,             // StreamFormatsArray
        {NULL, NULL, NULL, NULL},   // ClassReserved
        STREAM0_PROPERTY_SET_COUNT, // NumStreamPropArrayEntries
        Stream0Properties,          // StreamPropertiesArray
        0,                          // NumStreamEventArrayEntries
        NULL,                       // StreamEventsArray
        &PINNAME_VIDEO_CAPTURE,     // Category
        &PINNAME_VIDEO_CAPTURE,     // Name
        0,                          // MediumsCount
        &StandardMedium,            // Mediums: not read while MediumsCount is 0
        FALSE,                      // BridgeStream
        {0, 0},                     // Reserved
    },
};

static_assert(sizeof(Stream0Formats) / sizeof(Stream0Formats[0]) == 2);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
