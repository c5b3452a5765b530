// Kernel-streaming records: stream states, data formats and ranges, property
// requests and the property-set tables a minidriver publishes, pin mediums,
// topology, allocator framing and the stream header of every data buffer.
//
// Records without pointers keep their documented sizes byte for byte (checked
// below); records that hold pointers take their natural size on this host.
#pragma once

#include "platform/kernel/ntdef.h"

// State of a stream, as set by SRB_SET_STREAM_STATE.
enum KSSTATE : LONG {
  KSSTATE_STOP = 0,
  KSSTATE_ACQUIRE = 1,
  KSSTATE_PAUSE = 2,
  KSSTATE_RUN = 3,
};
using PKSSTATE = KSSTATE *;
static_assert(sizeof(KSSTATE) == 4);

// Direction of data on a pin, seen from the filter.
enum KSPIN_DATAFLOW : LONG {
  KSPIN_DATAFLOW_IN = 1,
  KSPIN_DATAFLOW_OUT = 2,
};
using PKSPIN_DATAFLOW = KSPIN_DATAFLOW *;

// A data format, and a data range (the same header describing a set of formats).
// The format-specific part, if any, follows the header in the same block; FormatSize
// counts all of it.
struct alignas(8) KSDATAFORMAT {
  ULONG FormatSize;
  ULONG Flags;
  ULONG SampleSize;
  ULONG Reserved;
  GUID MajorFormat;
  GUID SubFormat;
  GUID Specifier;
};
using PKSDATAFORMAT = KSDATAFORMAT *;
using KSDATARANGE = KSDATAFORMAT;
using PKSDATARANGE = KSDATARANGE *;
static_assert(sizeof(KSDATAFORMAT) == 64);

// Set, Id and Flags naming a property, event, method or medium.
struct alignas(8) KSIDENTIFIER {
  GUID Set;
  ULONG Id;
  ULONG Flags;
};
using PKSIDENTIFIER = KSIDENTIFIER *;
using KSPROPERTY = KSIDENTIFIER;
using PKSPROPERTY = KSPROPERTY *;
using KSPIN_MEDIUM = KSIDENTIFIER;
using PKSPIN_MEDIUM = KSPIN_MEDIUM *;
static_assert(sizeof(KSPROPERTY) == 24);

// KSPROPERTY.Flags: what is asked of the property.
#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400

// A time in units of Numerator / Denominator seconds (1/1 means 100 ns units as used here).
struct KSTIME {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
};
using PKSTIME = KSTIME *;
static_assert(sizeof(KSTIME) == 16);

// The header in front of every data buffer of a stream request. A media-specific
// extension of the size the stream declared (HW_STREAM_OBJECT.StreamHeaderMediaSpecific)
// follows it directly; Size counts both.
struct KSSTREAM_HEADER {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
};
using PKSSTREAM_HEADER = KSSTREAM_HEADER *;
static_assert(sizeof(KSSTREAM_HEADER) % 8 == 0, "the media-specific header follows at an aligned offset");

// KSSTREAM_HEADER.OptionsFlags.
#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE 0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// What a pin needs from the allocator that supplies its frames.
struct KSALLOCATOR_FRAMING {
  ULONG RequirementsFlags; // also read as OptionsFlags
  LONG PoolType;           // a kernel POOL_TYPE: 0 non-paged, 1 paged
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
  ULONG Reserved;
};
using PKSALLOCATOR_FRAMING = KSALLOCATOR_FRAMING *;
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);

// KSALLOCATOR_FRAMING.RequirementsFlags.
#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000
// KSALLOCATOR_FRAMING.FileAlignment.
#define FILE_BYTE_ALIGNMENT 0x00000000
#define FILE_WORD_ALIGNMENT 0x00000001
#define FILE_LONG_ALIGNMENT 0x00000003

// Header of one list of values or ranges describing a property's data.
struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};
using PKSPROPERTY_MEMBERSHEADER = KSPROPERTY_MEMBERSHEADER *;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

// KSPROPERTY_MEMBERSHEADER.MembersFlags and Flags.
#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001

// Bounds of a 32-bit range; an unsigned range uses the same two words.
struct KSPROPERTY_BOUNDS_LONG {
  LONG SignedMinimum;
  LONG SignedMaximum;
};
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8);

// A 32-bit range with a step.
struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};
using PKSPROPERTY_STEPPING_LONG = KSPROPERTY_STEPPING_LONG *;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

// One list of members (MembersCount entries of MembersSize bytes at Members).
struct KSPROPERTY_MEMBERSLIST {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID *Members;
};
using PKSPROPERTY_MEMBERSLIST = KSPROPERTY_MEMBERSLIST *;

// The value description of a property: its type and its lists of ranges and values.
struct KSPROPERTY_VALUES {
  KSIDENTIFIER PropTypeSet; // the value type: KSPROPTYPESETID_General and a VT_ code
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST *MembersList;
};
using PKSPROPERTY_VALUES = KSPROPERTY_VALUES *;

// Variant type codes used in KSPROPERTY_VALUES.PropTypeSet.Id.
#define VT_I4 3

struct IRP;
// Handler of a kernel-streaming property; stream class minidrivers leave it unused
// and publish only the Supported flags that share its storage.
using PFNKSHANDLER = NTSTATUS (*)(IRP *Irp, KSIDENTIFIER *Request, VOID *Data);

// One property of a set: whether Get and Set are supported, the least sizes of the
// property and of its data, and its value description.
struct KSPROPERTY_ITEM {
  ULONG PropertyId;
  union {
    BOOLEAN GetSupported;
    PFNKSHANDLER GetPropertyHandler;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    BOOLEAN SetSupported;
    PFNKSHANDLER SetPropertyHandler;
  };
  const KSPROPERTY_VALUES *Values;
  ULONG RelationsCount;
  const KSPROPERTY *Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
};
using PKSPROPERTY_ITEM = KSPROPERTY_ITEM *;

// A table row of KSPROPERTY_ITEM, in the form stream class minidrivers use: Get and Set
// are supported flags, not handlers.
#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetSupported, MinProperty, MinData, SetSupported, Values,         \
                               RelationsCount, Relations, SupportHandler, SerializedSize)                    \
  {                                                                                                          \
    (PropertyId), {(BOOLEAN)(GetSupported)}, (MinProperty), (MinData), {(BOOLEAN)(SetSupported)}, (Values),  \
        (RelationsCount), (Relations), (SupportHandler), (SerializedSize)                                    \
  }

struct KSFASTPROPERTY_ITEM;

// A property set: its GUID and its items.
struct KSPROPERTY_SET {
  const GUID *Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM *PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM *FastIoTable;
};
using PKSPROPERTY_SET = KSPROPERTY_SET *;

#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable)                  \
  { (Set), (PropertiesCount), (PropertyItem), (FastIoCount), (FastIoTable) }

// Event and method sets: published by count and table; this system offers none.
struct KSEVENT_SET {
  const GUID *Set;
  ULONG EventsCount;
  const VOID *EventItem;
};
using PKSEVENT_SET = KSEVENT_SET *;

struct KSMETHOD_SET {
  const GUID *Set;
  ULONG MethodsCount;
  const VOID *MethodItem;
  ULONG FastIoCount;
  const VOID *FastIoTable;
};
using PKSMETHOD_SET = KSMETHOD_SET *;

// One connection between topology nodes.
struct KSTOPOLOGY_CONNECTION {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
using PKSTOPOLOGY_CONNECTION = KSTOPOLOGY_CONNECTION *;

// The filter's categories, nodes and the connections between them.
struct KSTOPOLOGY {
  ULONG CategoriesCount;
  const GUID *Categories;
  ULONG TopologyNodesCount;
  const GUID *TopologyNodes;
  ULONG TopologyConnectionsCount;
  const KSTOPOLOGY_CONNECTION *TopologyConnections;
  const GUID *TopologyNodesNames;
  ULONG Reserved;
};
using PKSTOPOLOGY = KSTOPOLOGY *;
