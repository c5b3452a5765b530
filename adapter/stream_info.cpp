// SRB_GET_STREAM_INFO: the stream descriptor, the stream header followed by the
// information of each stream, copied from the stream's constant tables.
#include "adapter/adapter.h"
#include "diag/debug_msg.h"
#include "stream/stream.h"

// Fills the descriptor buffer of the request (CommandData.StreamBuffer, the
// StreamDescriptorSize bytes that device initialization announced) with
// StreamHeader and, behind it, every entry of Streams. TRUE; Status stays
// STATUS_SUCCESS. Runs in the adapter dispatch; passive level.
BOOLEAN AdapterGetStreamInfo(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_STREAM_DESCRIPTOR pDescriptor = pSrb->CommandData.StreamBuffer;
  PHW_STREAM_INFORMATION pStreamInfo = &pDescriptor->StreamInfo;

  DubugMsg(3, "AdapterGetStreamInfo\n");
  RtlCopyMemory(&pDescriptor->StreamHeader, &StreamHeader, sizeof(HW_STREAM_HEADER));
  for (ULONG n = 0; n < StreamHeader.NumberOfStreams; n++)
    RtlCopyMemory(&pStreamInfo[n], &Streams[n], sizeof(HW_STREAM_INFORMATION));
  return TRUE;
}

static_assert(StreamDescriptorSize == sizeof(HW_STREAM_DESCRIPTOR), "one stream: the header and one entry");
