// The stream's stored format: the pool copy of the accepted format
// (pKSDataFormat), the open-time copy of its video info header
// (pVideoInfoHeader) and the frame interval (AvgTimePerFrame).
//
// The control path replaces the format (SRB_SET_DATA_FORMAT) while the transfer
// thread may be reading it. Replacing is therefore publish-then-free: the new
// copies are made in full first, the pointers are swapped under
// gStreamFormatSpinLock, and the old copies are freed after it is released.
// Readers outside the control path (the transfer thread, frame delivery) read
// only through StreamGetFormatSnapshot, which copies what they need under the
// same lock; so once the swap is done no reader can still hold an old copy.
#include "diag/debug_msg.h"
#include "stream/stream.h"

// Protects, for every stream, the pKSDataFormat and pVideoInfoHeader pointers
// (and the copies they point at while a reader copies from them) and
// AvgTimePerFrame. A leaf, held only to swap the pointers or copy out a few
// fields; zero-filled is free.
static KSPIN_LOCK gStreamFormatSpinLock;

// A non-paged pool copy of Size bytes at pSource, tag "Wdm "; NULL when pool is
// short.
static PVOID StreamCopyToPool(const VOID *pSource, SIZE_T Size) {
  PVOID pCopy = ExAllocatePoolWithTag(NonPagedPool, Size, PoolTag("Wdm "));

  if (pCopy != NULL)
    RtlCopyMemory(pCopy, pSource, Size);
  return pCopy;
}

// A pool copy of the format, FormatSize bytes read once; NULL when the copy does
// not hold a whole video format (checked on the copy, which no one else can
// change) or pool is short (*pStatus says which).
static PKSDATAFORMAT StreamCopyFormat(const KSDATAFORMAT *pFormat, NTSTATUS *pStatus) {
  ULONG FormatSize = pFormat->FormatSize;
  PKSDATAFORMAT pCopy;

  *pStatus = STATUS_INVALID_PARAMETER;
  if (FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
    return NULL;
  pCopy = (PKSDATAFORMAT)StreamCopyToPool(pFormat, FormatSize);
  if (pCopy == NULL) {
    *pStatus = STATUS_INSUFFICIENT_RESOURCES;
    return NULL;
  }
  pCopy->FormatSize = FormatSize;
  if (!StreamVideoFormatIsComplete(pCopy)) {
    ExFreePool(pCopy);
    return NULL;
  }
  *pStatus = STATUS_SUCCESS;
  return pCopy;
}

// Makes the new copies the stream's format in one step and hands back the ones
// they replace. pNewVideoInfoHeader NULL leaves pVideoInfoHeader as it is.
static VOID StreamPublishFormat(PSTREAMEX pStrmEx, PKSDATAFORMAT pNewFormat,
                                PKS_VIDEOINFOHEADER pNewVideoInfoHeader, PKSDATAFORMAT *ppOldFormat,
                                PKS_VIDEOINFOHEADER *ppOldVideoInfoHeader) {
  KIRQL Irql = KfAcquireSpinLock(&gStreamFormatSpinLock);

  *ppOldFormat = pStrmEx->pKSDataFormat;
  pStrmEx->pKSDataFormat = pNewFormat;
  *ppOldVideoInfoHeader = NULL;
  if (pNewVideoInfoHeader != NULL) {
    *ppOldVideoInfoHeader = pStrmEx->pVideoInfoHeader;
    pStrmEx->pVideoInfoHeader = pNewVideoInfoHeader;
  }
  pStrmEx->AvgTimePerFrame = ((PKS_DATAFORMAT_VIDEOINFOHEADER)pNewFormat)->VideoInfoHeader.AvgTimePerFrame;
  KfReleaseSpinLock(&gStreamFormatSpinLock, Irql);
}

// Stores the request's (verified) format as the stream's format. At open the
// stream has no video info header copy yet (open makes it from the same format
// afterwards); on a later format change the copy is renewed with the format, so
// that the picture size, the decoding scale and DataUsed of the frames follow the
// format in force. The new copies are complete before anything is replaced, so
// a failure leaves the stream as it was. Serialised per stream; passive level.
BOOLEAN AdapterSetFormat(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = (PSTREAMEX)pSrb->StreamObject->HwStreamExtension;
  const KSDATAFORMAT *pFormat = pSrb->CommandData.OpenFormat;
  PKSDATAFORMAT pNewFormat;
  PKS_VIDEOINFOHEADER pNewVideoInfoHeader = NULL;
  PKSDATAFORMAT pOldFormat;
  PKS_VIDEOINFOHEADER pOldVideoInfoHeader;
  const KS_VIDEOINFOHEADER *pHeader;
  NTSTATUS Status;

  DubugMsg(3, "AdapterSetFormat size = %08X\n", pFormat->FormatSize);
  pNewFormat = StreamCopyFormat(pFormat, &Status);
  if (pNewFormat == NULL)
    goto fail;
  pHeader = &((PKS_DATAFORMAT_VIDEOINFOHEADER)pNewFormat)->VideoInfoHeader;
  if (pStrmEx->pVideoInfoHeader != NULL) {
    pNewVideoInfoHeader = (PKS_VIDEOINFOHEADER)StreamCopyToPool(pHeader, KS_SIZE_VIDEOHEADER(pHeader));
    if (pNewVideoInfoHeader == NULL) {
      Status = STATUS_INSUFFICIENT_RESOURCES;
      goto free_format;
    }
  }

  // Every stored format has the video info specifier: verification admits no other.
  DubugMsg(3, "KSDATAFORMAT_SPECIFIER_VIDEOINFO\n");
  DubugMsg(3, "BITMAP SIZE %dx%dx%d\n", pHeader->bmiHeader.biWidth, pHeader->bmiHeader.biHeight,
           pHeader->bmiHeader.biBitCount);
  DubugMsg(3, "KSDATAFORMAT_SPECIFIER_VIDEOINFO\n");

  StreamPublishFormat(pStrmEx, pNewFormat, pNewVideoInfoHeader, &pOldFormat, &pOldVideoInfoHeader);
  if (pOldVideoInfoHeader != NULL)
    ExFreePool(pOldVideoInfoHeader);
  if (pOldFormat != NULL)
    ExFreePool(pOldFormat);
  DubugMsg(4, "AvgTimePerFrame %d\n", (LONG)pHeader->AvgTimePerFrame);
  return TRUE;

free_format:
  ExFreePool(pNewFormat);
fail:
  pSrb->Status = Status;
  return FALSE;
}

// Copies the stream's current format, video info header copy and frame interval
// into *pSnapshot under the lock, never more of the format than its FormatSize.
// Any thread, IRQL <= DISPATCH_LEVEL.
BOOLEAN StreamGetFormatSnapshot(PSTREAMEX pStrmEx, PSTREAM_FORMAT_SNAPSHOT pSnapshot) {
  KIRQL Irql;

  RtlZeroMemory(pSnapshot, sizeof(*pSnapshot));
  Irql = KfAcquireSpinLock(&gStreamFormatSpinLock);
  if (pStrmEx->pKSDataFormat != NULL) {
    pSnapshot->bDataFormat = TRUE;
    // A record too short to hold the header leaves it zero (a stored format
    // always holds one; a stream extension filled by hand may not).
    if (pStrmEx->pKSDataFormat->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
      RtlCopyMemory(&pSnapshot->DataFormatHeader,
                    &((PKS_DATAFORMAT_VIDEOINFOHEADER)pStrmEx->pKSDataFormat)->VideoInfoHeader,
                    sizeof(KS_VIDEOINFOHEADER));
  }
  if (pStrmEx->pVideoInfoHeader != NULL) {
    pSnapshot->bVideoInfoHeader = TRUE;
    RtlCopyMemory(&pSnapshot->VideoInfoHeader, pStrmEx->pVideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
  }
  pSnapshot->AvgTimePerFrame = pStrmEx->AvgTimePerFrame;
  KfReleaseSpinLock(&gStreamFormatSpinLock, Irql);
  return pSnapshot->bDataFormat;
}

// Takes both copies from the stream under the lock and frees them. For stream
// close, after the transfer thread has stopped. Passive level.
VOID StreamFreeFormats(PSTREAMEX pStrmEx) {
  PKSDATAFORMAT pFormat;
  PKS_VIDEOINFOHEADER pVideoInfoHeader;
  KIRQL Irql = KfAcquireSpinLock(&gStreamFormatSpinLock);

  pFormat = pStrmEx->pKSDataFormat;
  pVideoInfoHeader = pStrmEx->pVideoInfoHeader;
  pStrmEx->pKSDataFormat = NULL;
  pStrmEx->pVideoInfoHeader = NULL;
  KfReleaseSpinLock(&gStreamFormatSpinLock, Irql);

  if (pVideoInfoHeader != NULL)
    ExFreePool(pVideoInfoHeader);
  if (pFormat != NULL)
    ExFreePool(pFormat);
}
