// Camera controls: the zoom and focus properties of the camera-control property
// set, answered for the adapter's SRB_GET_DEVICE_PROPERTY and
// SRB_SET_DEVICE_PROPERTY, and the camera commands behind them. This header is
// the map of the subsystem.
//
// Contexts: the four property handlers run in the adapter's serialised request
// processing (one adapter request at a time), at passive level. The zoom change
// is applied later by a work item (PropChangeWork) on a system worker thread.
//
// Locks, in the order they may be taken:
// - CameraLockEvent (an event used as a lock, passive level only) is held around
//   every camera command of this subsystem; under it the command stops the
//   transfer thread, exchanges its packets, starts the thread again. Stream open
//   and close take it too, so a command sees the stream either closed or open
//   with its thread in a known state, never half-way.
// - PropChangeSpinLock is a leaf: held only around the zoom-change bookkeeping
//   (pPropChangeWorkItem, PropChangeZoomValue, PropChangeGeneration,
//   bPropChangeShutdown); nothing waits, logs or talks to the camera under it.
#pragma once

#include "adapter/adapter.h"

// The camera's zoom position record (12 bytes: the zoom as u32 LE, 8 zeros).
#define CAM_RELATIVE_ZOOM_ADDR 0x8D
// Starts one run of the camera's one-touch auto focus.
#define CAM_ONETOUCH_AF_OPCODE 0x19
// Bytes of the zoom position record.
#define CAM_ZOOM_RECORD_SIZE 12

// Quiet time before a zoom change is applied: 0.5 s, relative, in 100 ns units.
#define PROP_CHANGE_DELAY (-5000000L)

// Highest zoom the camera takes; values above it (and below 0) are refused.
#define ZOOM_MAXIMUM 100

// Longest wait for each transfer of a camera command, each reply of the zoom
// commands and the focus command's first reply (ACK) among them: 0.5 s, relative,
// in 100 ns units. A camera that answers at all answers these at once.
#define CAM_REPLY_LIMIT (-5000000LL)
// Longest wait for the focus command's second reply (ENQ, sent when the lens has
// focused; a slow focus takes about 5 s): 10 s, relative, in 100 ns units.
#define CAM_FOCUS_DONE_LIMIT (-100000000LL)

// ---------------------------------------------------------------------------
// Camera control properties (camera_properties.cpp)

// SRB_GET_DEVICE_PROPERTY: logs the set, answers the camera-control set,
// STATUS_NOT_IMPLEMENTED for every other set. A request without a property
// record gets STATUS_INVALID_PARAMETER. TRUE. Adapter dispatch; passive level;
// a Get of zoom blocks for its camera exchange.
BOOLEAN AdapterGetDeviceProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// SRB_SET_DEVICE_PROPERTY: the camera-control set, or STATUS_NOT_IMPLEMENTED.
// TRUE. Adapter dispatch; passive level; a Set of automatic focus blocks for its
// camera exchange.
BOOLEAN AdapterSetDeviceProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// Get of a camera-control property: zoom reads the camera (a camera that gives
// no reading is STATUS_IO_DEVICE_ERROR, with no value reported), focus reports
// the flags last set, any other Id is STATUS_INVALID_PARAMETER. A data buffer
// shorter than KSPROPERTY_CAMERACONTROL_S is STATUS_BUFFER_TOO_SMALL. TRUE.
// Adapter dispatch; passive level; blocks on the camera for zoom.
BOOLEAN AdapterGetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// Set of a camera-control property: zoom is stored and applied later by the
// zoom-change work item; focus with Flags exactly AUTO runs one auto-focus
// cycle; any other Id is STATUS_INVALID_PARAMETER. TRUE. Adapter dispatch;
// passive level; blocks on the camera for automatic focus.
BOOLEAN AdapterSetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// ---------------------------------------------------------------------------
// Zoom change (zoom_change.cpp)

// Records a zoom Set as the value to apply and restarts the quiet time of the
// pending change, or starts a change (allocates and queues the work item).
// STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when no work item could be
// allocated (no change is pending then). After PropChangeShutdown nothing is
// started: STATUS_SUCCESS. Adapter dispatch (one Set at a time); passive level;
// may wait briefly for a work item that is finishing.
NTSTATUS PropChangeRequest(PHW_DEVICE_EXTENSION pHwDevExt, LONG Value);

// The zoom-change work item's routine (parameter: the device extension). Waits
// until no zoom Set has come for PROP_CHANGE_DELAY, applies the last Set's value
// with VELTRA_SetZoomProperty, and goes round again if a Set came meanwhile;
// then frees its item, clears pPropChangeWorkItem and, as its very last act,
// signals PropChangeDoneEvent. After PropChangeShutdown it ends without applying.
// System worker thread; passive level; blocks.
VOID PropChangeWork(PVOID Context);

// Teardown (uninitialization, surprise removal, a repeated initialization): no
// zoom change is started or applied any more, a pending one is given up, and
// the call returns once no work item touches the device extension. A work item
// inside a camera exchange that does not end has its bulk transfers ended (see
// VELTRA_WaitEndingStalledTransfers). Does nothing for an extension that device
// initialization never set up. Adapter dispatch; passive level; blocks.
VOID PropChangeShutdown(PHW_DEVICE_EXTENSION pHwDevExt);

// ---------------------------------------------------------------------------
// Zoom and focus commands (camera_commands.cpp)
//
// The three entry points take the camera in one fixed frame: wait for
// CameraLockEvent, VELTRA_PushStopTransferMode, the exchange,
// VELTRA_PopStartTransferMode, set CameraLockEvent. All block, at passive level,
// with no lock held on entry. During the exchange CommandReplyLimit bounds each
// transfer (CAM_REPLY_LIMIT; CAM_FOCUS_DONE_LIMIT for the focus command's second
// reply): a camera that loses a reply, stops answering or never got the command
// fails the command within the limit instead of holding the camera for ever,
// and the port reset that ends the transfer also drops a reply the camera might
// still send late. The limit is cleared before the transfer thread starts again.

// Moves the camera's zoom to Value. TRUE when the camera answered ACK; FALSE
// when it did not (in time), or at once (no lock, no traffic) for a value
// outside 0..100.
BOOLEAN VELTRA_SetZoomProperty(PHW_DEVICE_EXTENSION pHwDevExt, LONG Value);

// Reads the camera's zoom into *pValue: 50 for a reading above 100 (logged).
// TRUE when the camera answered; FALSE, *pValue left as it was, when it did
// not (in time), refused the command or answered something else than its zoom
// record, or when the transfer thread could not be stopped for the exchange.
BOOLEAN VELTRA_GetZoomProperty(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pValue);

// Runs one one-touch auto focus. TRUE when the camera answered ACK and then
// ENQ, each within its limit; FALSE otherwise.
BOOLEAN VELTRA_SetFocusAuto(PHW_DEVICE_EXTENSION pHwDevExt);

// The set-zoom exchange: the zoom record with Value, then one reply; TRUE for
// ACK. Only inside the frame.
BOOLEAN VELTRA_SetCamRelativeZoomAddr(PHW_DEVICE_EXTENSION pHwDevExt, LONG Value);

// The get-zoom exchange: TRUE with the camera's zoom position in *pZoom, the
// first four bytes of the reply (u32 LE; a shorter reply is zero-extended);
// FALSE, *pZoom untouched, when the exchange failed or the reply exceeded 12
// bytes. Only inside the frame.
BOOLEAN VELTRA_GetCamRelativeZoomAddr(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pZoom);

// The auto-focus exchange: the opcode, then ACK and ENQ expected; sets
// CommandReplyLimit to CAM_FOCUS_DONE_LIMIT for the ENQ. TRUE or FALSE. Only
// inside the frame.
BOOLEAN VELTRA_SendOnetouchAfOpcode(PHW_DEVICE_EXTENSION pHwDevExt);

// Stops the open stream's transfer thread if it is started: *pSavedTransferMode
// is 1 when this call stopped it, else 0. Under CameraLockEvent only.
VOID VELTRA_PushStopTransferMode(PHW_DEVICE_EXTENSION pHwDevExt, PULONG pSavedTransferMode);

// Starts the transfer thread again when SavedTransferMode is 1 and the stream
// is still open; a thread that was not running stays stopped. Under
// CameraLockEvent only, with the value VELTRA_PushStopTransferMode gave.
VOID VELTRA_PopStartTransferMode(PHW_DEVICE_EXTENSION pHwDevExt, ULONG SavedTransferMode);
