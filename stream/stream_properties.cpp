// The stream's properties: allocator framing (KSPROPSETID_Connection), dropped
// frames (PROPSETID_VIDCAP_DROPPEDFRAMES) and the picture counts
// (PROPSETID_VELTRA_PICTURES), read with SRB_GET_STREAM_PROPERTY. All run in the
// stream's serialised control path.
//
// The property record and the data buffer come from the application: the
// property is read only when the request carries a whole KSPROPERTY, and data is
// written only into a buffer of the record's size.
#include <atomic>

#include "capture/capture.h"
#include "diag/debug_msg.h"
#include "platform/streamclass/ks_guids.h"
#include "stream/stream.h"

// The request's property record, or NULL when the request does not carry a
// whole one.
static const KSPROPERTY *StreamRequestProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAM_PROPERTY_DESCRIPTOR pDescriptor = pSrb->CommandData.PropertyInfo;

  if (pDescriptor == NULL || pDescriptor->Property == NULL ||
      pDescriptor->PropertyInputSize < sizeof(KSPROPERTY))
    return NULL;
  return pDescriptor->Property;
}

// The request's data buffer when it holds at least Size bytes; otherwise NULL,
// with STATUS_BUFFER_TOO_SMALL in the request.
static PVOID StreamRequestPropertyData(PHW_STREAM_REQUEST_BLOCK pSrb, ULONG Size) {
  PSTREAM_PROPERTY_DESCRIPTOR pDescriptor = pSrb->CommandData.PropertyInfo;

  if (pDescriptor->PropertyInfo == NULL || pDescriptor->PropertyOutputSize < Size) {
    pSrb->Status = STATUS_BUFFER_TOO_SMALL;
    return NULL;
  }
  return pDescriptor->PropertyInfo;
}

// SRB_GET_STREAM_PROPERTY: by property set. TRUE.
BOOLEAN GetStreamProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  const KSPROPERTY *pProperty = StreamRequestProperty(pSrb);

  if (pProperty == NULL)
    pSrb->Status = STATUS_INVALID_PARAMETER;
  else if (IsEqualGUID(pProperty->Set, KSPROPSETID_Connection))
    StreamGetConnectionProperty(pSrb);
  else if (IsEqualGUID(pProperty->Set, PROPSETID_VIDCAP_DROPPEDFRAMES))
    StreamGetDroppedFramesProperty(pSrb);
  else if (IsEqualGUID(pProperty->Set, PROPSETID_VELTRA_PICTURES))
    StreamGetPictureCountsProperty(pSrb);
  else
    pSrb->Status = STATUS_NOT_IMPLEMENTED;
  return TRUE;
}

// KSPROPSETID_Connection: only allocator framing is answered; any other id is
// left with STATUS_SUCCESS and no data.
VOID StreamGetConnectionProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  if (pSrb->CommandData.PropertyInfo->Property->Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
    DubugMsg(3, "KSPROPERTY_CONNECTION_ALLOCATORFRAMING\n");
    StreamConnectionAllocatorFraming(pSrb);
  }
}

// Allocator framing: two frames of the stored format's image size, from system
// memory, modified in place; preferences only.
VOID StreamConnectionAllocatorFraming(PHW_STREAM_REQUEST_BLOCK pSrb) {
  STREAM_FORMAT_SNAPSHOT Format;
  PKSALLOCATOR_FRAMING pFraming;

  if (!StreamGetFormatSnapshot((PSTREAMEX)pSrb->StreamObject->HwStreamExtension, &Format)) {
    DubugMsg(3, "pDataFormat NULL\n");
    pSrb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  pFraming = (PKSALLOCATOR_FRAMING)StreamRequestPropertyData(pSrb, sizeof(KSALLOCATOR_FRAMING));
  if (pFraming == NULL)
    return;

  pFraming->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                                KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
                                KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
  pFraming->PoolType = PagedPool;
  pFraming->Frames = 2;
  pFraming->FrameSize = Format.DataFormatHeader.bmiHeader.biSizeImage;
  pFraming->FileAlignment = FILE_BYTE_ALIGNMENT;
  pFraming->Reserved = 0;
  pSrb->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
  DubugMsg(3, "FrameSize=%08X\n", pFraming->FrameSize);
}

// PROPSETID_VIDCAP_DROPPEDFRAMES: the frame counters as frame delivery left them
// (it updates them on the transfer thread, hence the atomic reads) and the
// stored format's image size. Without a stored format, or for another id,
// nothing is written.
VOID StreamGetDroppedFramesProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  ULONG Id = pSrb->CommandData.PropertyInfo->Property->Id;
  STREAM_FORMAT_SNAPSHOT Format;
  PKSPROPERTY_DROPPEDFRAMES_CURRENT_S pDropped;

  DubugMsg(4, "StreamGetDroppedFramesProperty %04X\n", Id);
  if (Id != KSPROPERTY_DROPPEDFRAMES_CURRENT || !StreamGetFormatSnapshot(pStrmEx, &Format))
    return;
  pDropped = (PKSPROPERTY_DROPPEDFRAMES_CURRENT_S)StreamRequestPropertyData(
      pSrb, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
  if (pDropped == NULL)
    return;

  DubugMsg(4, "KSPROPERTY_DROPPEDFRAMES_CURRENT\n");
  pDropped->PictureNumber = std::atomic_ref<LONGLONG>(pStrmEx->FrameInfo.PictureNumber).load();
  DubugMsg(4, "PictureNumber = %d\n", pDropped->PictureNumber);
  pDropped->DropCount = std::atomic_ref<LONGLONG>(pStrmEx->FrameInfo.DropCount).load();
  DubugMsg(4, "DropCount = %d\n", pDropped->DropCount);
  pDropped->AverageFrameSize = Format.DataFormatHeader.bmiHeader.biSizeImage;
  pSrb->ActualBytesTransferred = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
}

// PROPSETID_VELTRA_PICTURES: the counts as the transfer thread left them (read
// atomically by CaptureGetPictureCounts). Another id is STATUS_INVALID_PARAMETER.
VOID StreamGetPictureCountsProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  PKSPROPERTY_VELTRA_PICTURE_COUNTS_S pCounts;

  if (pSrb->CommandData.PropertyInfo->Property->Id != KSPROPERTY_VELTRA_PICTURE_COUNTS) {
    pSrb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  pCounts = (PKSPROPERTY_VELTRA_PICTURE_COUNTS_S)StreamRequestPropertyData(
      pSrb, sizeof(KSPROPERTY_VELTRA_PICTURE_COUNTS_S));
  if (pCounts == NULL)
    return;
  CaptureGetPictureCounts(pStrmEx, pCounts);
  pSrb->ActualBytesTransferred = sizeof(KSPROPERTY_VELTRA_PICTURE_COUNTS_S);
}
