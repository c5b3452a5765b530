// Frame acquisition: the transfer thread that fetches pictures from the camera
// while the stream is open, and the delivery of each decoded picture as a frame
// with its number, presentation time and dropped-frame count. This header is
// the map of the subsystem.
//
// One transfer thread per open stream, from open to close; camera controls stop
// it around their own exchanges and start it again. It is the only user of the
// camera exchange while it runs and holds no lock of its own: it meets the
// request callbacks at the read queue (StreamSRBSpinLock) and reads the stream's
// format through StreamGetFormatSnapshot. bStopTransferThread is written by the
// stopper and by the thread, and read by the thread once per cycle (atomically).
//
// Each transfer of the camera exchange gives up after CAM_STREAM_REPLY_LIMIT,
// which is longer than a stop should take. A stop therefore waits for the
// current cycle only for a grace period; a thread still inside a transfer after
// it has met a camera that does not answer, and the stop resets
// the bulk pipes (the bus ends their pending transfers as cancelled), which ends
// the cycle; it repeats that until the thread has returned.
#pragma once

#include "adapter/adapter.h"
#include "stream/stream_public.h"

// How long a stop waits for the transfer thread's current cycle before it ends
// the cycle's pending transfers, in 100 ns units (relative): 1 s, many times a
// picture cycle of the slowest camera setting that still delivers frames.
inline constexpr LONGLONG CAPTURE_STOP_GRACE = -10000000LL;

// How long a stop waits after each reset of the bulk pipes before it resets them
// again (a cycle may be between two transfers when a reset comes), 100 ns units.
inline constexpr LONGLONG CAPTURE_STOP_RETRY = -2500000LL;

// ---------------------------------------------------------------------------
// Transfer thread (transfer_thread.cpp)

// Creates the stream's transfer thread and waits, without limit, until it runs
// (it has cleared bStopTransferThread). Returns the creation failure (logged;
// pTransferThread stays NULL), else the status of that wait (STATUS_SUCCESS). A
// stream whose thread is already started keeps it: STATUS_SUCCESS, nothing new.
// Called by stream open and by camera controls (under CameraLockEvent); passive
// level; blocks.
NTSTATUS VELTRA_StartTransferThread(PSTREAMEX pStrmEx);

// The transfer thread: picture size, picture fetch, and the picture decoded into
// the oldest waiting read (or dropped when none waits), cycle after cycle, until
// bStopTransferThread is set; a size failure fails up to two waiting reads with
// STATUS_IO_DEVICE_ERROR and ends the thread. Sets ThreadStopEvent as its last
// act. Runs at priority 16 on its own system thread; blocks on the camera.
VOID VELTRA_ProcessTransferThread(PVOID StartContext);

// Asks the transfer thread to stop and waits until its routine has returned,
// then drops the thread reference and clears pTransferThread. A thread that gave
// up on its own is waited for all the same (it may still be completing a read);
// with no thread (never started, creation failed, already stopped) it returns at
// once. The wait is bounded per attempt: see CAPTURE_STOP_GRACE. TRUE when the
// thread is stopped, FALSE when a wait failed (pTransferThread is then kept).
// Called by stream close and by camera controls (under CameraLockEvent); passive
// level; blocks.
BOOLEAN VELTRA_StopTransferThread(PSTREAMEX pStrmEx);

// Waits until Object (an event or a thread object) is signalled. After
// CAPTURE_STOP_GRACE, and again every CAPTURE_STOP_RETRY, resets the camera's
// bulk IN and OUT pipes, so that an exchange waiting for a camera that does not
// answer ends (its transfers complete as cancelled) and whoever holds Object can
// let go of it. Returns the status of the last wait. Passive level; blocks.
NTSTATUS VELTRA_WaitEndingStalledTransfers(PHW_DEVICE_EXTENSION pHwDevExt, PVOID Object);

// ---------------------------------------------------------------------------
// Frame delivery (frame_delivery.cpp)

// Decodes the picture (PictureSize bytes) into the read request's frame
// (ImageSynth2, which sets DataUsed), numbers it (SRB_EXTENSION.FrameNumber),
// stamps its presentation time and duration, updates the stream's dropped-frame
// count and copies the stream's KS_FRAME_INFO behind the stream header. A
// picture that did not decode whole is delivered all the same, marked
// VELTRA_FRAMEF_DAMAGED in the frame's dwFrameFlags, counted (DamagedFrames)
// and logged at level 2. Status stays as the read queue set it
// (STATUS_SUCCESS); the caller completes the request. Transfer thread only.
VOID VELTRA_ProcessFrame(PHW_STREAM_REQUEST_BLOCK pSrb, PUCHAR pPicture, ULONG PictureSize);

// The master clock's stream time (100 ns units) for the request's stream; 0 when
// the stream has no master clock. Any thread; passive level (the clock is read
// synchronously).
LONGLONG GetStreamTime(PHW_STREAM_REQUEST_BLOCK pSrb, PSTREAMEX pStrmEx);

// Fails a read request without data: Status, DataUsed 0, logged, completed. A
// NULL request is ignored (nothing logged). Any thread; no lock held.
VOID StreamSRBComplete(PHW_STREAM_REQUEST_BLOCK pSrb, NTSTATUS Status);

// ---------------------------------------------------------------------------
// Picture counts (picture_counts.cpp)
//
// The stream's STREAM_PICTURE_COUNTS: written by the transfer thread as it
// meets a damaged or refused picture, read by the stream's property path.

// Counts one frame delivered damaged. Transfer thread only; never blocks.
VOID CaptureCountDamagedFrame(PSTREAMEX pStrmEx);

// Counts one picture refused for Reason (not VELTRA_REFUSAL_NONE) and keeps it,
// with the size the camera announced for it, as the last refusal. Transfer
// thread only; never blocks.
VOID CaptureCountRefusal(PSTREAMEX pStrmEx, VELTRA_PICTURE_REFUSAL Reason, ULONG AnnouncedSize);

// Fills the counts of *pCounts (every field after Property) from the stream's
// records and the picture buffer's size. Any thread; never blocks.
VOID CaptureGetPictureCounts(PSTREAMEX pStrmEx, PKSPROPERTY_VELTRA_PICTURE_COUNTS_S pCounts);
