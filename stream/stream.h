// The video stream: its descriptor tables, format negotiation and the stored
// format, the stream's control requests and state, and the queue of waiting read
// requests. This header is the map of the subsystem.
//
// Locks (all leaves; nothing is logged and no request is completed under them):
// - AdapterSpinLock (HW_DEVICE_EXTENSION) guards, per stream, StreamControlSRBList
//   and ProcessingControlSRB: the control requests of a stream are processed one
//   at a time, in arrival order.
// - StreamSRBSpinLock[n] guards StreamSRBList[n] and StreamSRBListSize[n], the
//   read queue of stream n.
// - gStreamFormatSpinLock (format_store.cpp) guards the pKSDataFormat and
//   pVideoInfoHeader pointers of every stream while the stored format is
//   replaced or read: readers copy what they need under it, so a replaced copy is
//   freed as soon as the new one is published.
// KSState and hMasterClock are single words written by the control path (and
// open and close) and read without a lock, atomically, by the data path and the
// transfer thread.
#pragma once

#include "adapter/adapter.h"
#include "stream/stream_tables.h"

static_assert(STREAM_TABLE_COUNT == ADAPTER_STREAM_COUNT,
              "one table entry per stream of the device extension");

// ---------------------------------------------------------------------------
// Format negotiation (format_negotiation.cpp)

// TRUE when MajorFormat, SubFormat and Specifier of both are equal byte for byte
// (and, when bCompareFormatSize, FormatSize too). Both must hold a whole
// KSDATAFORMAT. Any context.
BOOLEAN AdapterCompareGUIDsAndFormatSize(const KSDATARANGE *pDataRange1, const KSDATARANGE *pDataRange2,
                                         BOOLEAN bCompareFormatSize);

// Logs the Specifier of a range or format (level 3). It must hold a whole
// KSDATAFORMAT. Any context.
VOID PrintDataRange(const KSDATARANGE *pDataRange);

// TRUE when pKSDataFormatToVerify fits one range of the stream's format list
// (subtype GUIDs, width and height, or the same picture top-down, and image size).
// Reads nothing past the format's FormatSize bytes: a format too short for its
// video info header is refused. Logs the requested header (level 3). Passive level.
BOOLEAN AdapterVerifyFormat(const KSDATAFORMAT *pKSDataFormatToVerify, ULONG StreamNumber);

// SRB_GET_DATA_INTERSECTION: builds, from the caller's data range, the format the
// stream would produce, or reports its size (a 0-byte buffer) or that no range
// matches. Always TRUE; the outcome is in Status and ActualBytesTransferred. Reads
// nothing past the range's FormatSize bytes and writes nothing past the buffer.
// Runs in the adapter dispatch; passive level.
BOOLEAN AdapterGetDataInterSection(PHW_STREAM_REQUEST_BLOCK pSrb);

// The image size of an uncompressed bitmap: rows padded to a multiple of 4 bytes,
// times the number of rows (a negative biHeight counts as positive). FALSE when
// the width is negative or the size does not fit 32 bits. Any context.
BOOLEAN StreamImageSize(const KS_BITMAPINFOHEADER *pBmiHeader, PULONG pImageSize);

// TRUE when a format of FormatSize bytes holds its whole KSDATAFORMAT, its video
// info header and a bitmap header of at least 40 bytes as long as its biSize says.
// Reads only FormatSize until it knows more is there. Any context.
BOOLEAN StreamVideoFormatIsComplete(const KSDATAFORMAT *pKSDataFormat);

// ---------------------------------------------------------------------------
// The stored format (format_store.cpp)

// What the transfer thread and the property handlers use of the stream's format,
// copied out at one moment under gStreamFormatSpinLock.
struct STREAM_FORMAT_SNAPSHOT {
  BOOLEAN bDataFormat;                 // the stream has a stored format (pKSDataFormat)
  KS_VIDEOINFOHEADER DataFormatHeader; // the stored format's video info header (40-byte bitmap header);
                                       // zero if the record's FormatSize cannot hold one
  BOOLEAN bVideoInfoHeader;            // the stream has a video info header copy (pVideoInfoHeader)
  KS_VIDEOINFOHEADER VideoInfoHeader;  // that copy (40-byte bitmap header)
  LONGLONG AvgTimePerFrame;            // the stream's frame interval, 100 ns units
};
using PSTREAM_FORMAT_SNAPSHOT = STREAM_FORMAT_SNAPSHOT *;

// SRB_OPEN_STREAM and SRB_SET_DATA_FORMAT (after verification): stores a pool copy
// of the request's format (CommandData.OpenFormat) as the stream's pKSDataFormat
// and its frame interval as AvgTimePerFrame; a stream that already holds an open-
// time video info header copy (pVideoInfoHeader) gets that renewed from the new
// format too, so that frames follow the format in force. The new copies are made
// first and published together; the old ones are freed once no reader can hold
// them. FALSE with Status STATUS_INSUFFICIENT_RESOURCES when pool is short (the
// stream keeps the format it had), or STATUS_INVALID_PARAMETER for a format too
// short for its video info header. Serialised per stream (adapter dispatch or the
// stream's control path); passive level.
BOOLEAN AdapterSetFormat(PHW_STREAM_REQUEST_BLOCK pSrb);

// Copies the stream's current format into *pSnapshot. TRUE when the stream has a
// stored format. The way every reader outside the serialised control path (the
// transfer thread, frame delivery) reads the format and AvgTimePerFrame. Any
// thread, IRQL <= DISPATCH_LEVEL; takes gStreamFormatSpinLock briefly.
BOOLEAN StreamGetFormatSnapshot(PSTREAMEX pStrmEx, PSTREAM_FORMAT_SNAPSHOT pSnapshot);

// Frees the stream's format copies (pKSDataFormat, pVideoInfoHeader) and clears
// them. For stream close, once the transfer thread has stopped. Passive level.
VOID StreamFreeFormats(PSTREAMEX pStrmEx);

// ---------------------------------------------------------------------------
// Stream control requests (stream_control.cpp)

// The stream's ReceiveControlPacket entry: queues the request if another control
// request of the stream is being processed, otherwise processes it and every
// request queued meanwhile on this thread. Any thread; passive level.
VOID StreamReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

// Processes pSrb and then every queued control request of its stream, in arrival
// order, completing each, until the queue is found empty. The caller owns the
// stream's busy section. Passive level.
VOID StreamReceiveCtrlPacketProcess(PHW_STREAM_REQUEST_BLOCK pSrb);

// SRB_SET_STREAM_STATE: stores a KSSTATE of 0..3; any other value leaves the
// state. Nothing else changes. TRUE. Control path.
BOOLEAN SetStreamState(PHW_STREAM_REQUEST_BLOCK pSrb);

// SRB_GET_STREAM_STATE: reports the state (STATUS_NO_DATA_DETECTED in PAUSE).
// Control path.
VOID GetStreamState(PHW_STREAM_REQUEST_BLOCK pSrb);

// SRB_INDICATE_MASTER_CLOCK: keeps the clock handle (NULL removes it). Control path.
VOID IndicateMasterClock(PHW_STREAM_REQUEST_BLOCK pSrb);

// Reads the stream's state and master clock; any thread, no lock.
KSSTATE StreamGetState(PSTREAMEX pStrmEx);
HANDLE StreamGetMasterClock(PSTREAMEX pStrmEx);

// ---------------------------------------------------------------------------
// Stream properties (stream_properties.cpp); all run in the control path.

// SRB_GET_STREAM_PROPERTY: dispatches on the property set (connection, dropped
// frames, picture counts); any other set gets STATUS_NOT_IMPLEMENTED. TRUE.
BOOLEAN GetStreamProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// KSPROPSETID_Connection: answers allocator framing; other ids get no data.
VOID StreamGetConnectionProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// KSPROPERTY_CONNECTION_ALLOCATORFRAMING: the frames the stream wants, sized by the
// stored format (STATUS_INVALID_PARAMETER without one).
VOID StreamConnectionAllocatorFraming(PHW_STREAM_REQUEST_BLOCK pSrb);

// PROPSETID_VIDCAP_DROPPEDFRAMES: frames delivered and dropped, average frame size.
VOID StreamGetDroppedFramesProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// PROPSETID_VELTRA_PICTURES (stream/stream_public.h): the damaged and refused
// pictures since the pin was opened, the last refusal and the picture buffer's
// size.
VOID StreamGetPictureCountsProperty(PHW_STREAM_REQUEST_BLOCK pSrb);

// ---------------------------------------------------------------------------
// Read-request queue (read_queue.cpp)

// The stream's ReceiveDataPacket entry: queues SRB_READ_DATA unless the stream is
// stopped (then it is completed at once as cancelled); any other data command is
// completed with STATUS_NOT_IMPLEMENTED. Any thread; passive level.
VOID StreamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK pSrb);

// Appends a read request to its stream's queue, linked through its IRP; allocates
// nothing. Any thread, IRQL <= DISPATCH_LEVEL; takes StreamSRBSpinLock briefly.
VOID QueueAddSRB(PHW_STREAM_REQUEST_BLOCK pSrb);

// Takes the oldest queued read request of the stream, or NULL when none waits. The
// request then belongs to the caller, which fills and completes it. Any thread,
// IRQL <= DISPATCH_LEVEL; takes StreamSRBSpinLock briefly.
PHW_STREAM_REQUEST_BLOCK QueueRemoveSRB(PHW_DEVICE_EXTENSION pHwDevExt, ULONG StreamNumber);

// Completes every queued read request of the stream as cancelled, oldest first,
// each without the lock held. For stream close. Passive level.
VOID QueueCancelAllSRBs(PSTREAMEX pStrmEx);

// Cancels pSrb if it is queued on the stream: unlinks it and completes it as
// cancelled (TRUE); FALSE when it is not queued (nothing is completed). For the
// adapter's cancel entry. Any thread; passive level.
BOOLEAN QueueCancelOneSRB(PSTREAMEX pStrmEx, PHW_STREAM_REQUEST_BLOCK pSrb);

// The one completion path of every stream request (StreamRequestComplete). The
// caller sets Status (and DataUsed for reads) first and touches the request no
// more. Any thread; no lock held.
VOID CompleteStreamSRB(PHW_STREAM_REQUEST_BLOCK pSrb);
