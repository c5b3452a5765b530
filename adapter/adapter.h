// The adapter core: the three records that hold all state of the driver (the
// device extension, one per camera; the stream extension, one per open stream;
// the request extension, one per request block) and every adapter function,
// grouped by what it does. This header is the map of the subsystem.
//
// Lock order: AdapterSpinLock and StreamSRBSpinLock are leaves, each held only
// around a list operation and a flag; no other lock is taken while one is held,
// nothing is logged and no request is completed under either. CameraLockEvent is
// an event used as a lock around camera exchanges, taken at passive level only.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/streamclass/ks.h"
#include "platform/streamclass/ksmedia.h"
#include "platform/streamclass/strmini.h"
#include "platform/usbbus/usb.h"
#include "platform/usbbus/usbdi.h"
#include "protocol/packet.h"

// The adapter has exactly one stream, the video capture pin (stream number 0);
// every per-stream array below has this many entries, indexed by stream number.
#define ADAPTER_STREAM_COUNT 1

struct STREAMEX;
using PSTREAMEX = STREAMEX *;

// Per adapter (camera). Allocated zero-filled by the stream class for the life of
// the device; handed to the driver as HwDeviceExtension of every request.
struct HW_DEVICE_EXTENSION {
  // The RealPhysicalDeviceObject of SRB_INITIALIZE_DEVICE: the first argument of
  // every USB transport call. Written by device initialization.
  PDEVICE_OBJECT pRealPhysicalDeviceObject;
  // The open stream's extension by stream number; NULL while the stream is closed.
  // Written by stream open and close.
  PSTREAMEX pStrmEx[ADAPTER_STREAM_COUNT];

  // Adapter request queue (set up on the first adapter request).
  ULONG AdapterQueueInitialized; // boolean: the queue below is set up
  // Protects AdapterSRBList and AdapterSRBInProcess, and also, per stream,
  // StreamControlSRBList and ProcessingControlSRB. A leaf lock.
  KSPIN_LOCK AdapterSpinLock;
  LIST_ENTRY AdapterSRBList; // adapter requests waiting, oldest first, linked by SRB_EXTENSION
  ULONG AdapterSRBInProcess; // boolean: an adapter request is being processed

  // Per-stream control-request queues (under AdapterSpinLock).
  LIST_ENTRY StreamControlSRBList[ADAPTER_STREAM_COUNT]; // control requests waiting, linked by SRB_EXTENSION
  ULONG ProcessingControlSRB[ADAPTER_STREAM_COUNT];      // boolean: a control request is being processed

  // Per-stream read queues. StreamSRBSpinLock[n] protects StreamSRBList[n] and
  // StreamSRBListSize[n]; a leaf lock.
  LIST_ENTRY StreamSRBList[ADAPTER_STREAM_COUNT]; // queued SRB_READ_DATA, oldest first, linked by their IRP
  LONG StreamSRBListSize[ADAPTER_STREAM_COUNT];   // number of requests in StreamSRBList
  KSPIN_LOCK StreamSRBSpinLock[ADAPTER_STREAM_COUNT];

  // Camera controls.
  LONG ZoomValue;   // current zoom, 0..100 as the property's range
  ULONG FocusFlags; // KSPROPERTY_CAMERACONTROL_FLAGS_ of the last focus set
  // Protects pPropChangeWorkItem, PropChangeZoomValue, PropChangeGeneration and
  // bPropChangeShutdown between the zoom Set handler, the zoom-change work item
  // and teardown. A leaf lock.
  KSPIN_LOCK PropChangeSpinLock;
  PWORK_QUEUE_ITEM pPropChangeWorkItem; // the pending zoom-change work item, NULL when none
  LONG PropChangeZoomValue;             // the zoom the pending change applies: the last Set's
  ULONG PropChangeGeneration;           // counts zoom Sets; a Set while applying makes the item go again
  BOOLEAN bPropChangeShutdown;          // teardown: no zoom change is started or applied any more
  BOOLEAN bPropChangeReady;             // device initialization has set up the fields above
  KEVENT PropChangeEvent;               // synchronization: signalled by each further zoom change
  KEVENT PropChangeDoneEvent;           // notification: signalled while no zoom-change work item exists
  KEVENT CameraLockEvent;               // synchronization, held around zoom and focus exchanges
  // The longest wait for each transfer of the exchange in progress, relative, in
  // 100 ns units (negative); 0: CAM_STREAM_REPLY_LIMIT, long enough for the
  // camera's next picture. Set by a zoom or focus command once it holds
  // CameraLockEvent with the transfer thread stopped, cleared before it starts
  // the thread again; set by the transfer thread around a picture's packets;
  // read by the packet exchange on the thread that set it.
  LONGLONG CommandReplyLimit;

  // USB configuration, pool copies owned by the adapter (released at uninitialization).
  PUSB_DEVICE_DESCRIPTOR pDeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR pConfigurationDescriptor; // with its interface and endpoint descriptors
  PUSBD_INTERFACE_INFORMATION pInterfaceInformation;      // the interface after select-configuration
  ULONG InPipeIndex;                                      // index of the bulk IN pipe
  ULONG OutPipeIndex;                                     // index of the bulk OUT pipe

  // Camera buffers: no camera exchange allocates. Written by the one thread that
  // talks to the camera (the transfer thread, or a camera command that stopped it).
  CAM_PACKET CamPacket;                   // the last camera-to-host packet, parsed
  UCHAR RecvBuffer[CAM_BUFFER_SIZE];      // raw bytes of one bulk IN read
  UCHAR PictureBuffer[CAM_BUFFER_SIZE];   // the JPEG picture read from the camera
  API_COMMAND ApiCommand;                 // the host-to-camera command being built
  UCHAR SendBuffer[CAM_SEND_BUFFER_SIZE]; // wire bytes of the packet to send
  ULONG SendLength;                       // valid bytes in SendBuffer
  KEVENT WriteDoneEvent;                  // notification: set when a bulk OUT transfer completes
  NTSTATUS WriteStatus;                   // completion status of the last bulk OUT transfer
};
using PHW_DEVICE_EXTENSION = HW_DEVICE_EXTENSION *;

// What became of the camera's pictures since the stream was opened, apart from
// the frames delivered whole: the records behind KSPROPERTY_VELTRA_PICTURE_COUNTS
// (stream/stream_public.h says what each count counts). Zero at open (the stream
// extension is zero-filled). Written by the transfer thread only, read by the
// stream's property path; every field is stored and read atomically (relaxed),
// so a reader sees each count whole, though one picture's counts may show in
// one field before another.
struct STREAM_PICTURE_COUNTS {
  ULONG DamagedFrames;       // frames delivered with VELTRA_FRAMEF_DAMAGED
  ULONG TooLarge;            // pictures refused: announced larger than PictureBuffer
  ULONG LongerThanAnnounced; // pictures refused: more bytes came than announced
  ULONG FailedFetches;       // size or picture exchanges that failed (not those a stop ended)
  // The last refusal: its VELTRA_PICTURE_REFUSAL in the high 32 bits, the size
  // the camera announced for it in the low 32 (0 for a failed size exchange),
  // stored together so that a reader never pairs a reason with another's size.
  ULONGLONG LastRefusal;
};
using PSTREAM_PICTURE_COUNTS = STREAM_PICTURE_COUNTS *;

// Per open stream. Allocated by the stream class with the stream object; zero-filled
// by stream open before anything else.
struct STREAMEX {
  PHW_DEVICE_EXTENSION pHwDevExt;       // owning adapter
  PHW_STREAM_OBJECT pStreamObject;      // the stream class's stream object
  PKSDATAFORMAT pKSDataFormat;          // pool copy of the current data format (FormatSize bytes)
  KS_FRAME_INFO FrameInfo;              // frame information copied into each completed frame
  HANDLE hMasterClock;                  // master clock of SRB_INDICATE_MASTER_CLOCK; NULL: none
  KSSTATE KSState;                      // current stream state
  LONGLONG AvgTimePerFrame;             // frame interval of the current format, 100 ns units
  PKS_VIDEOINFOHEADER pVideoInfoHeader; // pool copy of the open format's video info header
  ULONG StreamNumber;                   // the stream's number (0)
  ULONG FrameCount;                     // frames delivered since open
  LONGLONG LastFrameTime;               // presentation time of the previous frame
  PKTHREAD pTransferThread;             // the transfer thread (referenced); NULL when stopped
  BOOLEAN bStopTransferThread;          // the transfer thread leaves its loop when set
  KEVENT ThreadStopEvent;               // synchronization: set by the transfer thread as its last act
  KEVENT ThreadStartEvent;              // synchronization: set by the transfer thread once it runs
  STREAM_PICTURE_COUNTS PictureCounts;  // damaged and refused pictures since open
};

// Per request block (its SRBExtension); not cleared by the stream class.
struct SRB_EXTENSION {
  LIST_ENTRY ListEntry;          // link in AdapterSRBList or StreamControlSRBList
  PHW_STREAM_REQUEST_BLOCK pSrb; // the request that owns this extension; set when queued
  ULONG FrameNumber;             // for a read request, the number of the frame delivered in it
};
using PSRB_EXTENSION = SRB_EXTENSION *;

// ---------------------------------------------------------------------------
// Driver entry and registration (driver_entry.cpp)

// Registers the adapter callbacks and the sizes of the three records with the stream
// class and returns StreamClassRegisterAdapter's status unchanged. Called once by the
// loader; passive level.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// ---------------------------------------------------------------------------
// Adapter request dispatch (adapter_dispatch.cpp, adapter_queue.cpp)

// Handler of one adapter command: TRUE asks the dispatcher to complete the request
// now with the Status it carries (preset to STATUS_SUCCESS); FALSE means the handler
// failed without completing it.
using PADAPTER_COMMAND_HANDLER = BOOLEAN (*)(PHW_STREAM_REQUEST_BLOCK pSrb);

// HwReceivePacket: queues the request if another adapter request is being processed,
// otherwise processes it and every request queued meanwhile. Any thread; passive level.
VOID AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb);

// Processes pSrb and then every queued adapter request, in arrival order, on the
// calling thread; returns when the queue is found empty. The caller owns the busy
// section. Passive level; handlers may block.
VOID AdapterReceivePacketProcess(PHW_STREAM_REQUEST_BLOCK pSrb);

// Enters the busy section guarded by (SpinLock, *pBusy, ListHead), or, when it is
// taken, appends pSrb to the list through its SRB_EXTENSION. TRUE when queued.
// Takes SpinLock briefly; any thread, IRQL <= DISPATCH_LEVEL on entry.
BOOLEAN AddToListIfBusy(PHW_STREAM_REQUEST_BLOCK pSrb, PKSPIN_LOCK SpinLock, PULONG pBusy,
                        PLIST_ENTRY ListHead);

// Takes the oldest queued request into *ppSrb (TRUE: the caller stays in the busy
// section), or, with the list empty, leaves the busy section (FALSE). The test for
// empty and the clearing of the flag happen under one hold of SpinLock.
BOOLEAN RemoveFromListIfAvailable(PHW_STREAM_REQUEST_BLOCK *ppSrb, PKSPIN_LOCK SpinLock, PULONG pBusy,
                                  PLIST_ENTRY ListHead);

// Hands an adapter request back to the stream class (DeviceRequestComplete). The
// request must not be touched afterwards. Any thread; no lock held.
VOID CompleteDeviceSRB(PHW_STREAM_REQUEST_BLOCK pSrb);

// HwCancelPacket: asks each open stream's read queue to cancel the request; requests
// waiting in the adapter or control lists are left alone. Any thread; no lock held.
VOID AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

// HwRequestTimeoutHandler: logs the request and leaves it where it is; it is
// completed in the ordinary way. Any thread; no lock held.
VOID AdapterRequestTimeoutHandler(PHW_STREAM_REQUEST_BLOCK pSrb);

// Small handlers (adapter_handlers.cpp); each returns TRUE with STATUS_SUCCESS.
BOOLEAN AdapterChangePowerState(PHW_STREAM_REQUEST_BLOCK pSrb);   // accepts every power state
BOOLEAN AdapterInitializeComplete(PHW_STREAM_REQUEST_BLOCK pSrb); // nothing to do
BOOLEAN AdapterUnInitializeDevice(PHW_STREAM_REQUEST_BLOCK pSrb); // releases the USB blocks
BOOLEAN AdapterSurpriseRemoval(PHW_STREAM_REQUEST_BLOCK pSrb);    // resets the USB port

// ---------------------------------------------------------------------------
// Device initialization (initialize_device.cpp)

// SRB_INITIALIZE_DEVICE: opens the debug channel, fills the device extension, reads
// the USB descriptors, selects configuration 0, finds the bulk pipes and resets them.
// TRUE when the camera is ready; FALSE when a USB step failed (the request is then
// completed with a failure status by the dispatcher). Passive level; blocks on USB.
BOOLEAN AdapterInitializeDevice(PHW_STREAM_REQUEST_BLOCK pSrb);

// Releases the adapter's three USB descriptor blocks (device and configuration
// descriptors, interface information), each when present, and clears their
// pointers. Called at the start of every initialization, when one fails, and at
// SRB_UNINITIALIZE_DEVICE once no stream can use the pipes. Passive level.
VOID AdapterFreeUsbDescriptors(PHW_DEVICE_EXTENSION pHwDevExt);

// Walks the configuration descriptor (TotalLength bytes, compared as signed 32-bit)
// and logs each descriptor in it. Passive level.
VOID SetEachDescriptorPointer(PHW_DEVICE_EXTENSION pHwDevExt, ULONG TotalLength);

// ---------------------------------------------------------------------------
// Stream open and close (stream_open.cpp)

// SRB_GET_STREAM_INFO: copies the stream header and the stream's information into
// the descriptor buffer of the request.
BOOLEAN AdapterGetStreamInfo(PHW_STREAM_REQUEST_BLOCK pSrb);

// SRB_OPEN_STREAM: checks and stores the format, sets up the stream extension and
// the stream object, starts the transfer thread. Passive level; blocks until the
// thread runs.
BOOLEAN AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK pSrb);

// SRB_CLOSE_STREAM: cancels queued reads, stops the transfer thread, frees the
// format copies. Passive level; blocks until the thread has left its loop.
BOOLEAN AdapterCloseStream(PHW_STREAM_REQUEST_BLOCK pSrb);
