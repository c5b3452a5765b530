// The constant tables that describe the adapter and its one video stream: the
// stream header and stream information copied into the stream descriptor, the
// two offered formats, the pin medium, the topology, the stream and device
// property sets, and the value descriptions of zoom and focus.
//
// All tables are read-only for the life of the driver; any thread may read them
// at any time without a lock.
#pragma once

#include "platform/streamclass/ks.h"
#include "platform/streamclass/ksmedia.h"
#include "platform/streamclass/strmini.h"

// Number of entries of Streams (the stream numbers the adapter knows: 0 only).
#define STREAM_TABLE_COUNT 1

// Frame interval of every offered format: 15 frames per second in 100 ns units.
#define STREAM_FRAME_INTERVAL 666666

// The stream descriptor: StreamHeader followed by every entry of Streams. Its
// size is that of the records on this host (the documented 32-bit platform has
// 40 + 80 bytes); device initialization announces it as StreamDescriptorSize.
inline constexpr ULONG StreamDescriptorSize =
    sizeof(HW_STREAM_HEADER) + STREAM_TABLE_COUNT * sizeof(HW_STREAM_INFORMATION);

// Head of the stream descriptor: one stream, the three device property sets, the
// topology.
extern const HW_STREAM_HEADER StreamHeader;

// The streams by stream number: [0] the video capture output pin.
extern const HW_STREAM_INFORMATION Streams[STREAM_TABLE_COUNT];

// The formats of stream 0, in the order negotiation walks them (the first match
// wins): [0] RGB24 320x240, [1] RGB24 160x120. Both are KS_DATARANGE_VIDEO records.
extern const KSDATARANGE *const Stream0Formats[2];
extern const KS_DATARANGE_VIDEO StreamFormatRGB24Bpp_Capture;  // 320x240, 15 fps
extern const KS_DATARANGE_VIDEO StreamFormatRGB24Bpp_Capture2; // 160x120, 15 fps

// The standard pin medium (listed, though stream 0 declares no mediums).
extern const KSPIN_MEDIUM StandardMedium;

// The filter's topology: one category, no nodes, no connections.
extern const KSTOPOLOGY Topology;
extern const GUID Categories[1];

// Stream 0's property sets (allocator framing, dropped frames, the picture
// counts of stream_public.h) and their items.
#define STREAM0_PROPERTY_SET_COUNT 3
extern const KSPROPERTY_SET Stream0Properties[STREAM0_PROPERTY_SET_COUNT];
extern const KSPROPERTY_ITEM Stream0ConnectionProperties[1];
extern const KSPROPERTY_ITEM Stream0DroppedFramesProperties[1];
extern const KSPROPERTY_ITEM Stream0PictureCountsProperties[1];

// The device's property sets: video control, video compression, camera control.
extern const KSPROPERTY_SET AdapterPropertyTable[3];
extern const KSPROPERTY_ITEM VideoControlProperties[4];
extern const KSPROPERTY_ITEM VideoStreamCompressionProperties[5];
extern const KSPROPERTY_ITEM VideoCameraControlProperties[7];

// Value descriptions of the two settable camera-control items. ZoomDefault is
// also the zoom that device initialization starts with.
extern const KSPROPERTY_STEPPING_LONG ZoomRangeAndStep; // 0..100, step 1
extern const LONG ZoomDefault;                          // 50
extern const KSPROPERTY_MEMBERSLIST ZoomMembersList[2];
extern const KSPROPERTY_VALUES ZoomValues;
extern const KSPROPERTY_STEPPING_LONG FocusRangeAndStep; // 0..0, step 1
extern const LONG FocusDefault;                          // 0
extern const KSPROPERTY_MEMBERSLIST FocusMembersList[2];
extern const KSPROPERTY_VALUES FocusValues;
