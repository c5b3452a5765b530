// The stream class interface of a minidriver: the request block (SRB) the stream
// class hands to the driver for every adapter and stream request, the stream
// object, the registration record, the port configuration of a started device,
// the stream descriptor, and the four services the driver calls back.
//
// Contract of the host (platform/streamclass/host.h implements it):
// - Every request block is completed exactly once by the driver: adapter requests
//   with StreamClassDeviceNotification(DeviceRequestComplete, ...), stream requests
//   with StreamClassStreamNotification(StreamRequestComplete, ...). After that the
//   driver no longer touches the block.
// - Extensions come in the registered sizes: the device extension zero-filled for
//   the life of the device, the stream extension with each stream object, the
//   per-request extension (not cleared) with each request block.
// - With TurnOffSynchronization TRUE requests are delivered on any thread, at any
//   time, concurrently, at passive level; callbacks may block.
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/streamclass/ks.h"

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
struct ACCESS_RANGE;
struct KINTERRUPT;
struct ADAPTER_OBJECT;
struct KSSCATTER_GATHER;
struct HW_EVENT_DESCRIPTOR;
struct HW_STREAM_REQUEST_BLOCK;
struct HW_STREAM_OBJECT;
struct HW_TIME_CONTEXT;

// Command codes of request blocks. Stream requests (data and control) go to the
// stream object's entry points, adapter (device) requests to HwReceivePacket.
enum SRB_COMMAND : LONG {
  // Stream data requests.
  SRB_READ_DATA = 0x00,
  SRB_WRITE_DATA = 0x01,
  // Stream control requests.
  SRB_GET_STREAM_STATE = 0x02,
  SRB_SET_STREAM_STATE = 0x03,
  SRB_SET_STREAM_PROPERTY = 0x04,
  SRB_GET_STREAM_PROPERTY = 0x05,
  SRB_OPEN_MASTER_CLOCK = 0x06,
  SRB_INDICATE_MASTER_CLOCK = 0x07,
  SRB_UNKNOWN_STREAM_COMMAND = 0x08,
  SRB_SET_STREAM_RATE = 0x09,
  SRB_PROPOSE_DATA_FORMAT = 0x0A,
  SRB_CLOSE_MASTER_CLOCK = 0x0B,
  SRB_PROPOSE_STREAM_RATE = 0x0C,
  SRB_SET_DATA_FORMAT = 0x0D,
  SRB_GET_DATA_FORMAT = 0x0E,
  SRB_BEGIN_FLUSH = 0x0F,
  SRB_END_FLUSH = 0x10,
  // Adapter (device) requests.
  SRB_GET_STREAM_INFO = 0x100,
  SRB_OPEN_STREAM = 0x101,
  SRB_CLOSE_STREAM = 0x102,
  SRB_OPEN_DEVICE_INSTANCE = 0x103,
  SRB_CLOSE_DEVICE_INSTANCE = 0x104,
  SRB_GET_DEVICE_PROPERTY = 0x105,
  SRB_SET_DEVICE_PROPERTY = 0x106,
  SRB_INITIALIZE_DEVICE = 0x107,
  SRB_CHANGE_POWER_STATE = 0x108,
  SRB_UNINITIALIZE_DEVICE = 0x109,
  SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
  SRB_PAGING_OUT_DRIVER = 0x10B,
  SRB_GET_DATA_INTERSECTION = 0x10C,
  SRB_INITIALIZATION_COMPLETE = 0x10D,
  SRB_SURPRISE_REMOVAL = 0x10E,
};
static_assert(sizeof(SRB_COMMAND) == 4);

// Power state of a device, the argument of SRB_CHANGE_POWER_STATE.
enum DEVICE_POWER_STATE : LONG {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5,
};

// HW_STREAM_REQUEST_BLOCK.Flags, set by the host.
#define SRB_HW_FLAGS_DATA_TRANSFER 0x00000001
#define SRB_HW_FLAGS_STREAM_REQUEST 0x00000002

// What StreamClassQueryMasterClockSync (or a stream's own clock function) is asked.
enum TIME_FUNCTION : LONG {
  TIME_GET_STREAM_TIME = 0,
  TIME_READ_ONBOARD_CLOCK = 1,
  TIME_SET_ONBOARD_CLOCK = 2,
};

// A clock query: the caller fills HwDeviceExtension, HwStreamObject and Function;
// the clock fills Time (100 ns units) and SystemTime.
struct HW_TIME_CONTEXT {
  PVOID HwDeviceExtension;
  HW_STREAM_OBJECT *HwStreamObject;
  TIME_FUNCTION Function;
  ULONGLONG Time;
  ULONGLONG SystemTime;
};
using PHW_TIME_CONTEXT = HW_TIME_CONTEXT *;

using PHW_CLOCK_FUNCTION = VOID (*)(PHW_TIME_CONTEXT HwTimeContext);

// The clock a stream offers (HwClockFunction NULL and ClockSupportFlags 0: none).
struct HW_CLOCK_OBJECT {
  PHW_CLOCK_FUNCTION HwClockFunction;
  ULONG ClockSupportFlags;
  ULONG Reserved[2];
};
using PHW_CLOCK_OBJECT = HW_CLOCK_OBJECT *;

// HW_CLOCK_OBJECT.ClockSupportFlags.
#define CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK 0x1
#define CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK 0x2
#define CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME 0x4

using PHW_RECEIVE_STREAM_DATA_SRB = VOID (*)(HW_STREAM_REQUEST_BLOCK *SRB);
using PHW_RECEIVE_STREAM_CONTROL_SRB = VOID (*)(HW_STREAM_REQUEST_BLOCK *SRB);
using PHW_EVENT_ROUTINE = NTSTATUS (*)(HW_EVENT_DESCRIPTOR *EventDescriptor);

// One open stream. The host creates it for SRB_OPEN_STREAM with SizeOfThisPacket,
// StreamNumber, HwStreamExtension and HwDeviceExtension filled; the driver sets its
// entry points and the data-transfer fields while it opens the stream.
struct HW_STREAM_OBJECT {
  ULONG SizeOfThisPacket;
  ULONG StreamNumber;
  PVOID HwStreamExtension;
  PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
  PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
  HW_CLOCK_OBJECT HwClockObject;
  BOOLEAN Dma;
  BOOLEAN Pio;
  PVOID HwDeviceExtension;
  ULONG StreamHeaderMediaSpecific; // bytes behind each KSSTREAM_HEADER of a data request
  ULONG StreamHeaderWorkspace;
  BOOLEAN Allocator;
  PHW_EVENT_ROUTINE HwEventRoutine;
  ULONG Reserved[2];
};
using PHW_STREAM_OBJECT = HW_STREAM_OBJECT *;

// Head of the stream descriptor: the adapter's streams, property sets and topology.
struct HW_STREAM_HEADER {
  ULONG NumberOfStreams;
  ULONG SizeOfHwStreamInformation;
  ULONG NumDevPropArrayEntries;
  const KSPROPERTY_SET *DevicePropertiesArray;
  ULONG NumDevEventArrayEntries;
  const KSEVENT_SET *DeviceEventsArray;
  const KSTOPOLOGY *Topology;
  PHW_EVENT_ROUTINE DeviceEventRoutine;
  ULONG NumDevMethodArrayEntries;
  const KSMETHOD_SET *DeviceMethodsArray;
};
using PHW_STREAM_HEADER = HW_STREAM_HEADER *;

// One stream (pin) of the stream descriptor: instances, direction, formats,
// property sets, category and name, mediums.
struct HW_STREAM_INFORMATION {
  ULONG NumberOfPossibleInstances;
  KSPIN_DATAFLOW DataFlow;
  BOOLEAN DataAccessible;
  ULONG NumberOfFormatArrayEntries;
  const KSDATARANGE *const *StreamFormatsArray;
  PVOID ClassReserved[4];
  ULONG NumStreamPropArrayEntries;
  const KSPROPERTY_SET *StreamPropertiesArray;
  ULONG NumStreamEventArrayEntries;
  const KSEVENT_SET *StreamEventsArray;
  const GUID *Category;
  const GUID *Name;
  ULONG MediumsCount;
  const KSPIN_MEDIUM *Mediums;
  BOOLEAN BridgeStream;
  ULONG Reserved[2];
};
using PHW_STREAM_INFORMATION = HW_STREAM_INFORMATION *;

// The whole stream descriptor of an adapter with one stream, as SRB_GET_STREAM_INFO
// fills it: the header, then one HW_STREAM_INFORMATION per stream.
struct HW_STREAM_DESCRIPTOR {
  HW_STREAM_HEADER StreamHeader;
  HW_STREAM_INFORMATION StreamInfo;
};
using PHW_STREAM_DESCRIPTOR = HW_STREAM_DESCRIPTOR *;
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));

// Bus and interrupt descriptions of the port configuration (unused by USB devices).
enum INTERFACE_TYPE : LONG {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  PNPBus = 15,
};
enum KINTERRUPT_MODE : LONG {
  LevelSensitive = 0,
  Latched = 1,
};

// The configuration of a device being started, handed to the driver with
// SRB_INITIALIZE_DEVICE. The driver sets StreamDescriptorSize, the size of the
// buffer the host then passes with SRB_GET_STREAM_INFO.
struct PORT_CONFIGURATION_INFORMATION {
  ULONG SizeOfThisPacket;
  PVOID HwDeviceExtension;
  DEVICE_OBJECT *ClassDeviceObject;    // the class device object (FDO)
  DEVICE_OBJECT *PhysicalDeviceObject; // the device the FDO is attached to
  ULONG SystemIoBusNumber;
  INTERFACE_TYPE AdapterInterfaceType;
  ULONG BusInterruptLevel;
  ULONG BusInterruptVector;
  KINTERRUPT_MODE InterruptMode;
  ULONG DmaChannel;
  ULONG NumberOfAccessRanges;
  ACCESS_RANGE *AccessRanges;
  ULONG StreamDescriptorSize;
  IRP *Irp;
  KINTERRUPT *InterruptObject;
  ADAPTER_OBJECT *DmaAdapterObject;
  DEVICE_OBJECT *RealPhysicalDeviceObject; // the physical device object of the bus
  ULONG Reserved[1];
};
using PPORT_CONFIGURATION_INFORMATION = PORT_CONFIGURATION_INFORMATION *;

// A property request: the property (set, id, flags), the index of its set in the
// published table, and the data (PropertyInfo) with its input and output sizes.
struct STREAM_PROPERTY_DESCRIPTOR {
  KSPROPERTY *Property;
  ULONG PropertySetID;
  PVOID PropertyInfo;
  ULONG PropertyInputSize;
  ULONG PropertyOutputSize;
};
using PSTREAM_PROPERTY_DESCRIPTOR = STREAM_PROPERTY_DESCRIPTOR *;

// A data-intersection request: the caller's data range and the buffer for the
// resulting format (SizeOfDataFormatBuffer 0 asks only for the size).
struct STREAM_DATA_INTERSECT_INFO {
  ULONG StreamNumber;
  KSDATARANGE *DataRange;
  PVOID DataFormatBuffer;
  ULONG SizeOfDataFormatBuffer;
};
using PSTREAM_DATA_INTERSECT_INFO = STREAM_DATA_INTERSECT_INFO *;

struct STREAM_TIME_REFERENCE;

// A request block. The host fills everything but Status and ActualBytesTransferred
// before delivery; CommandData is read as the command needs it.
struct HW_STREAM_REQUEST_BLOCK {
  ULONG SizeOfThisPacket;
  SRB_COMMAND Command;
  NTSTATUS Status;
  HW_STREAM_OBJECT *StreamObject; // NULL for adapter requests
  PVOID HwDeviceExtension;
  PVOID SRBExtension; // PerRequestExtensionSize bytes, not cleared
  union COMMAND_DATA {
    KSSTREAM_HEADER *DataBufferArray;           // SRB_READ_DATA, SRB_WRITE_DATA
    HW_STREAM_DESCRIPTOR *StreamBuffer;         // SRB_GET_STREAM_INFO
    KSSTATE StreamState;                        // SRB_GET_STREAM_STATE, SRB_SET_STREAM_STATE
    STREAM_TIME_REFERENCE *TimeReference;       //
    STREAM_PROPERTY_DESCRIPTOR *PropertyInfo;   // property requests
    KSDATAFORMAT *OpenFormat;                   // SRB_OPEN_STREAM, SRB_*_DATA_FORMAT
    PORT_CONFIGURATION_INFORMATION *ConfigInfo; // SRB_INITIALIZE_DEVICE
    HANDLE MasterClockHandle;                   // SRB_INDICATE_MASTER_CLOCK
    DEVICE_POWER_STATE DeviceState;             // SRB_CHANGE_POWER_STATE
    STREAM_DATA_INTERSECT_INFO *IntersectInfo;  // SRB_GET_DATA_INTERSECTION
    PVOID MethodInfo;                           //
    LONG FilterTypeIndex;                       //
    BOOLEAN Wakeup;                             //
  } CommandData;
  ULONG NumberOfBuffers;
  ULONG TimeoutCounter;  // ticks left before HwRequestTimeoutHandler; 0 = no time limit
  ULONG TimeoutOriginal; // the time limit the request started with
  HW_STREAM_REQUEST_BLOCK *NextSRB;
  IRP *Irp;
  ULONG Flags; // SRB_HW_FLAGS_
  PVOID HwInstanceExtension;
  union {
    ULONG NumberOfBytesToTransfer;
    ULONG ActualBytesTransferred;
  };
  KSSCATTER_GATHER *ScatterGatherBuffer;
  ULONG NumberOfPhysicalPages;
  ULONG NumberOfScatterGatherElements;
  ULONG Reserved[1];
};
using PHW_STREAM_REQUEST_BLOCK = HW_STREAM_REQUEST_BLOCK *;

using PHW_INTERRUPT = BOOLEAN (*)(PVOID DeviceExtension);
using PHW_RECEIVE_DEVICE_SRB = VOID (*)(PHW_STREAM_REQUEST_BLOCK SRB);
using PHW_CANCEL_SRB = VOID (*)(PHW_STREAM_REQUEST_BLOCK SRB);
using PHW_REQUEST_TIMEOUT_HANDLER = VOID (*)(PHW_STREAM_REQUEST_BLOCK SRB);

// What a driver registers with StreamClassRegisterAdapter: its callbacks and the
// sizes of its three records. HwInitializationDataSize is sizeof this record.
struct HW_INITIALIZATION_DATA {
  ULONG HwInitializationDataSize;
  PHW_INTERRUPT HwInterrupt;
  PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
  PHW_CANCEL_SRB HwCancelPacket;
  PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
  ULONG DeviceExtensionSize;
  ULONG PerRequestExtensionSize;
  ULONG PerStreamExtensionSize;
  ULONG FilterInstanceExtensionSize;
  BOOLEAN BusMasterDMA;
  BOOLEAN Dma24BitAddresses;
  ULONG BufferAlignment;
  BOOLEAN TurnOffSynchronization;
  ULONG DmaBufferSize;
  ULONG NumNameExtensions;
  PWCHAR *NameExtensionArray;
};
using PHW_INITIALIZATION_DATA = HW_INITIALIZATION_DATA *;

// Notifications a driver gives about an adapter request.
enum STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE : LONG {
  ReadyForNextDeviceRequest = 0,
  DeviceRequestComplete = 1,
  SignalMultipleDeviceEvents = 2,
  SignalDeviceEvent = 3,
  DeleteDeviceEvent = 4,
  SignalMultipleDeviceInstanceEvents = 5,
  DeviceNotificationMaximum = 6,
};

// Notifications a driver gives about a stream request.
enum STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE : LONG {
  ReadyForNextStreamDataRequest = 0,
  ReadyForNextStreamControlRequest = 1,
  HardwareStarved = 2,
  StreamRequestComplete = 3,
  SignalMultipleStreamEvents = 4,
  SignalStreamEvent = 5,
  DeleteStreamEvent = 6,
  StreamNotificationMaximum = 7,
};

// Registers a driver's HW_INITIALIZATION_DATA for its driver object (Argument1; the
// registry path is Argument2). Returns STATUS_SUCCESS, or STATUS_INVALID_PARAMETER
// for a record of the wrong size, without callbacks or with an unusable extension
// size. Called from DriverEntry; passive level; may block.
NTSTATUS StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                    PHW_INITIALIZATION_DATA HwInitializationData);

// Hands an adapter request back (DeviceRequestComplete, with the request). The
// other notification types are accepted and ignored (ReadyForNextDeviceRequest) or
// reported as unsupported (events). Any thread, any context; does not block and
// takes no lock the driver holds.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb = NULL);

// Hands a stream request back (StreamRequestComplete, with the request); the same
// rules as StreamClassDeviceNotification. Any thread, any context; does not block.
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK pSrb = NULL);

// Reads the master clock given to a stream with SRB_INDICATE_MASTER_CLOCK: for
// TIME_GET_STREAM_TIME fills Time (the clock's stream time, 100 ns units) and
// SystemTime before it returns. An unknown handle leaves both 0 and is reported
// as misuse, as is a call without a context. Any thread; does not block beyond
// reading the clock, which it reads with no host lock held.
VOID StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext);
