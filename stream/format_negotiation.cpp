// Format negotiation: which formats the video stream accepts. Answers the data
// intersection of the stream class (a concrete format built from a caller's data
// range) and verifies proposed formats against the stream's format list.
//
// Formats and ranges come from applications: nothing here reads past the
// FormatSize bytes a caller declared, or writes past the buffer it gave.
#include "diag/debug_msg.h"
#include "stream/stream.h"

// Bytes of a video format before its bitmap header: the KSDATAFORMAT and the
// video info header up to bmiHeader.
#define VIDEO_FORMAT_PREHEADER (sizeof(KSDATAFORMAT) + KS_SIZE_PREHEADER)

// Bytes of a video data range before its bitmap header.
#define VIDEO_RANGE_PREHEADER (offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) + KS_SIZE_PREHEADER)

static_assert(VIDEO_FORMAT_PREHEADER == 112);
static_assert(VIDEO_RANGE_PREHEADER == 256);

// TRUE when MajorFormat, SubFormat and Specifier are equal as sixteen bytes each
// and, if asked, the FormatSize fields too. A wildcard GUID matches nothing.
// Any context.
BOOLEAN AdapterCompareGUIDsAndFormatSize(const KSDATARANGE *pDataRange1, const KSDATARANGE *pDataRange2,
                                         BOOLEAN bCompareFormatSize) {
  if (RtlCompareMemory(&pDataRange1->MajorFormat, &pDataRange2->MajorFormat, sizeof(GUID)) != sizeof(GUID))
    return FALSE;
  if (RtlCompareMemory(&pDataRange1->SubFormat, &pDataRange2->SubFormat, sizeof(GUID)) != sizeof(GUID))
    return FALSE;
  if (RtlCompareMemory(&pDataRange1->Specifier, &pDataRange2->Specifier, sizeof(GUID)) != sizeof(GUID))
    return FALSE;
  if (bCompareFormatSize)
    return pDataRange1->FormatSize == pDataRange2->FormatSize ? TRUE : FALSE;
  return TRUE;
}

// Logs the range's Specifier GUID. Any context.
VOID PrintDataRange(const KSDATARANGE *pDataRange) {
  const GUID *pGuid = &pDataRange->Specifier;

  DubugMsg(3, "Specifier %08X-%04X-%04X-%02X%02X%02X%02X%02X%02X%02X%02X\n", pGuid->Data1, pGuid->Data2,
           pGuid->Data3, pGuid->Data4[0], pGuid->Data4[1], pGuid->Data4[2], pGuid->Data4[3], pGuid->Data4[4],
           pGuid->Data4[5], pGuid->Data4[6], pGuid->Data4[7]);
}

// Image size of an uncompressed bitmap, in 64-bit arithmetic so that no width,
// bit count or height can overflow it. Any context.
BOOLEAN StreamImageSize(const KS_BITMAPINFOHEADER *pBmiHeader, PULONG pImageSize) {
  LONG Width = pBmiHeader->biWidth;
  LONG Height = pBmiHeader->biHeight;
  ULONGLONG RowBytes;
  ULONGLONG Rows;
  ULONGLONG ImageSize;

  if (Width < 0)
    return FALSE;
  // Rows are padded to a multiple of 32 bits.
  RowBytes = (((ULONGLONG)Width * pBmiHeader->biBitCount + 31) & ~(ULONGLONG)31) / 8;
  // A negative height means top-down rows: the same number of rows.
  Rows = Height < 0 ? (ULONGLONG)(-(LONGLONG)Height) : (ULONGLONG)Height;
  if (RowBytes > 0xFFFFFFFFull)
    return FALSE;
  ImageSize = RowBytes * Rows; // at most 2^32 x 2^31: no overflow
  if (ImageSize > 0xFFFFFFFFull)
    return FALSE;
  *pImageSize = (ULONG)ImageSize;
  return TRUE;
}

// TRUE when the format's FormatSize bytes hold the KSDATAFORMAT, the video info
// header and a bitmap header of at least 40 bytes that is as long as its biSize
// says. biSize is read only once the format is known to reach it. Any context.
BOOLEAN StreamVideoFormatIsComplete(const KSDATAFORMAT *pKSDataFormat) {
  ULONG FormatSize = pKSDataFormat->FormatSize;
  ULONG BitmapHeaderSize;

  if (FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
    return FALSE;
  BitmapHeaderSize = ((const KS_DATAFORMAT_VIDEOINFOHEADER *)pKSDataFormat)->VideoInfoHeader.bmiHeader.biSize;
  if (BitmapHeaderSize < sizeof(KS_BITMAPINFOHEADER))
    return FALSE;
  return (ULONGLONG)VIDEO_FORMAT_PREHEADER + BitmapHeaderSize <= FormatSize ? TRUE : FALSE;
}

// Logs the video info header of a proposed format, field by field (level 3).
static VOID LogRequestedVideoInfoHeader(const KS_VIDEOINFOHEADER *pVih) {
  const KS_BITMAPINFOHEADER *pBmi = &pVih->bmiHeader;

  DubugMsg(3, "VIDEOINFOHEADER:Requested rcSource = (%d,%d) - (%d,%d)\n", pVih->rcSource.left,
           pVih->rcSource.top, pVih->rcSource.right, pVih->rcSource.bottom);
  DubugMsg(3, "VIDEOINFOHEADER:Requested rcTarget = (%d,%d) - (%d,%d)\n", pVih->rcTarget.left,
           pVih->rcTarget.top, pVih->rcTarget.right, pVih->rcTarget.bottom);
  DubugMsg(3, "VIDEOINFOHEADER:Requested dwBitRate, AvgTimePerFrame = %d, %ld\n", pVih->dwBitRate,
           pVih->AvgTimePerFrame);
  DubugMsg(3, "VIDEOINFOHEADER:Requested BMP biSize = %d\n", pBmi->biSize);
  DubugMsg(3, "VIDEOINFOHEADER:Requested BMP biWidth,Height = %d, %d\n", pBmi->biWidth, pBmi->biHeight);
  DubugMsg(3, "VIDEOINFOHEADER:Requested BMP biPlane,biBitCount= %d, %d\n", pBmi->biPlanes, pBmi->biBitCount);
  DubugMsg(3, "VIDEOINFOHEADER:Requested BMP biCompression,biSizeImage = %d, %d\n", pBmi->biCompression,
           pBmi->biSizeImage);
  DubugMsg(3, "VIDEOINFOHEADER:Requested BMP biXPelsPerMeter,biYPelsPerMeter = %d, %d\n",
           pBmi->biXPelsPerMeter, pBmi->biYPelsPerMeter);
  DubugMsg(3, "VIDEOINFOHEADER:Requested BMP biClrUsed,biClrImportant= %d, %d\n", pBmi->biClrUsed,
           pBmi->biClrImportant);
}

// TRUE when the proposed format (its whole video info header known to be there)
// fits one range of the format list: same GUIDs, same width and height (or the
// same picture with top-down rows) and the same image size. Logs each mismatch.
static BOOLEAN VerifyFormatAgainstRange(const KSDATAFORMAT *pFormat, const KSDATARANGE *pRange) {
  const KS_BITMAPINFOHEADER *pRequested =
      &((const KS_DATAFORMAT_VIDEOINFOHEADER *)pFormat)->VideoInfoHeader.bmiHeader;
  const KS_BITMAPINFOHEADER *pAvailable = &((const KS_DATARANGE_VIDEO *)pRange)->VideoInfoHeader.bmiHeader;

  if (!AdapterCompareGUIDsAndFormatSize(pFormat, pRange, FALSE))
    return FALSE;

  if (pRequested->biWidth != pAvailable->biWidth || pRequested->biHeight != pAvailable->biHeight) {
    DubugMsg(3, "***Error**:Format mismatch WorH Requested (%dx%d) Available(%dx%d)\n", pRequested->biWidth,
             pRequested->biHeight, pAvailable->biWidth, pAvailable->biHeight);
    // The same picture with its rows top-down is accepted all the same.
    if (pRequested->biWidth != pAvailable->biWidth ||
        (LONGLONG)pRequested->biHeight != -(LONGLONG)pAvailable->biHeight)
      return FALSE;
  }

  if (pRequested->biSizeImage == pAvailable->biSizeImage)
    return TRUE;
  DubugMsg(3, "***Error**:Format mismatch Size Requested(%d) Available(%d)\n", pRequested->biSizeImage,
           pAvailable->biSizeImage);
  return FALSE;
}

// Verifies a proposed format against the format list of the stream, in list
// order (320x240 first). The format's header is logged before any check of its
// contents; a format too short to hold it is refused before anything past
// FormatSize is read. Passive level.
BOOLEAN AdapterVerifyFormat(const KSDATAFORMAT *pKSDataFormatToVerify, ULONG StreamNumber) {
  const HW_STREAM_INFORMATION *pStreamInfo;

  DubugMsg(3, "AdapterVerifyFormat\n");
  if (!StreamVideoFormatIsComplete(pKSDataFormatToVerify)) {
    DubugMsg(3, "AdapterVerifyFormat format too short %08X\n", pKSDataFormatToVerify->FormatSize);
    return FALSE;
  }
  LogRequestedVideoInfoHeader(
      &((const KS_DATAFORMAT_VIDEOINFOHEADER *)pKSDataFormatToVerify)->VideoInfoHeader);

  if (StreamNumber >= StreamHeader.NumberOfStreams)
    return FALSE;
  pStreamInfo = &Streams[StreamNumber];
  for (ULONG i = 0; i < pStreamInfo->NumberOfFormatArrayEntries; i++) {
    if (VerifyFormatAgainstRange(pKSDataFormatToVerify, pStreamInfo->StreamFormatsArray[i]))
      return TRUE;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// Data intersection

// TRUE when the caller's range (FormatSize bytes, its KSDATARANGE known to be
// there) holds a whole KS_DATARANGE_VIDEO whose bitmap header is at least 40
// bytes and as long as its biSize says.
static BOOLEAN IntersectRangeIsComplete(const KSDATARANGE *pRange) {
  ULONG FormatSize = pRange->FormatSize;
  ULONG BitmapHeaderSize;

  if (FormatSize < sizeof(KS_DATARANGE_VIDEO))
    return FALSE;
  BitmapHeaderSize = ((const KS_DATARANGE_VIDEO *)pRange)->VideoInfoHeader.bmiHeader.biSize;
  if (BitmapHeaderSize < sizeof(KS_BITMAPINFOHEADER))
    return FALSE;
  return (ULONGLONG)VIDEO_RANGE_PREHEADER + BitmapHeaderSize <= FormatSize ? TRUE : FALSE;
}

// TRUE when the sample properties and the whole configuration capabilities of
// the caller's video range equal those of the stream's range.
static BOOLEAN IntersectVideoDataEqual(const KS_DATARANGE_VIDEO *pCaller,
                                       const KS_DATARANGE_VIDEO *pOffered) {
  return pCaller->bFixedSizeSamples == pOffered->bFixedSizeSamples &&
         pCaller->bTemporalCompression == pOffered->bTemporalCompression &&
         pCaller->StreamDescriptionFlags == pOffered->StreamDescriptionFlags &&
         pCaller->MemoryAllocationFlags == pOffered->MemoryAllocationFlags &&
         RtlCompareMemory(&pCaller->ConfigCaps, &pOffered->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) ==
             sizeof(KS_VIDEO_STREAM_CONFIG_CAPS);
}

// Walks the stream's format list for the first range that the caller's range
// matches (GUIDs, then sample properties and configuration capabilities; the
// caller's video info header is not compared). On a match, gives the size of the
// format to build (112 + the caller's biSize) and its image size. A matching
// range too short for its video info header, or whose picture has no image size
// within 32 bits, ends the search without a match.
static BOOLEAN IntersectFindRange(const KSDATARANGE *pRange, const HW_STREAM_INFORMATION *pStreamInfo,
                                  PULONG pResultSize, PULONG pImageSize) {
  const KS_DATARANGE_VIDEO *pCaller = (const KS_DATARANGE_VIDEO *)pRange;

  for (ULONG i = 0; i < pStreamInfo->NumberOfFormatArrayEntries; i++) {
    const KSDATARANGE *pOffered = pStreamInfo->StreamFormatsArray[i];

    if (!AdapterCompareGUIDsAndFormatSize(pRange, pOffered, FALSE)) {
      DubugMsg(4, "CompareFalsed DateRange\n");
      continue;
    }
    DubugMsg(4, "Match Format!\n");
    DubugMsg(4, "Specifier KSDATAFORMAT_SPECIFIER_VIDEOINFO\n");
    if (!IntersectRangeIsComplete(pRange)) {
      DubugMsg(3, "AdapterGetDataInterSection DataRange too short %08X\n", pRange->FormatSize);
      return FALSE;
    }
    if (!IntersectVideoDataEqual(pCaller, (const KS_DATARANGE_VIDEO *)pOffered)) {
      DubugMsg(4, "CompareFalsed VideoData\n");
      continue;
    }
    if (!StreamImageSize(&pCaller->VideoInfoHeader.bmiHeader, pImageSize)) {
      DubugMsg(3, "AdapterGetDataInterSection image size out of range %d x %d\n",
               pCaller->VideoInfoHeader.bmiHeader.biWidth, pCaller->VideoInfoHeader.bmiHeader.biHeight);
      return FALSE;
    }
    *pResultSize = (ULONG)VIDEO_FORMAT_PREHEADER + pCaller->VideoInfoHeader.bmiHeader.biSize;
    DubugMsg(4, "AvgTimePerFrame %d\n", (LONG)pCaller->VideoInfoHeader.AvgTimePerFrame);
    return TRUE;
  }
  return FALSE;
}

// Writes the produced format into the caller's buffer (ResultSize bytes, known
// to be there): the caller's KSDATARANGE part and video info header, with only
// FormatSize, SampleSize and biSizeImage rewritten.
static VOID IntersectBuildFormat(const KSDATARANGE *pRange, PVOID pBuffer, ULONG ResultSize,
                                 ULONG ImageSize) {
  const KS_DATARANGE_VIDEO *pCaller = (const KS_DATARANGE_VIDEO *)pRange;
  PKS_DATAFORMAT_VIDEOINFOHEADER pFormat = (PKS_DATAFORMAT_VIDEOINFOHEADER)pBuffer;

  RtlCopyMemory(&pFormat->DataFormat, &pCaller->DataRange, sizeof(KSDATAFORMAT));
  pFormat->DataFormat.FormatSize = ResultSize;
  RtlCopyMemory(&pFormat->VideoInfoHeader, &pCaller->VideoInfoHeader, ResultSize - sizeof(KSDATAFORMAT));
  pFormat->DataFormat.SampleSize = ImageSize;
  pFormat->VideoInfoHeader.bmiHeader.biSizeImage = ImageSize;
}

// SRB_GET_DATA_INTERSECTION. Only the streams of the descriptor have formats; a
// caller's range too short for its own header finds no match. The size query
// (a 0-byte buffer) and the real call give the same size. Always TRUE. Runs in
// the adapter dispatch, one adapter request at a time; passive level.
BOOLEAN AdapterGetDataInterSection(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAM_DATA_INTERSECT_INFO pIntersectInfo = pSrb->CommandData.IntersectInfo;
  const KSDATARANGE *pRange = pIntersectInfo->DataRange;
  ULONG BufferSize = pIntersectInfo->SizeOfDataFormatBuffer;
  ULONG ResultSize = 0;
  ULONG ImageSize = 0;

  DubugMsg(4, "AdapterGetDataInterSection StreamNumber=%08X bufsize=%08X\n", pIntersectInfo->StreamNumber,
           BufferSize);
  if (pIntersectInfo->StreamNumber >= StreamHeader.NumberOfStreams) {
    DubugMsg(3, "AdapterGetDataInterSection Invalid StreamNumber %08X\n", pIntersectInfo->StreamNumber);
    pSrb->Status = STATUS_NO_MATCH;
    return TRUE;
  }
  if (pRange->FormatSize < sizeof(KSDATARANGE)) {
    DubugMsg(3, "AdapterGetDataInterSection DataRange too short %08X\n", pRange->FormatSize);
    pSrb->Status = STATUS_NO_MATCH;
    return TRUE;
  }
  PrintDataRange(pRange);

  if (!IntersectFindRange(pRange, &Streams[pIntersectInfo->StreamNumber], &ResultSize, &ImageSize)) {
    pSrb->Status = STATUS_NO_MATCH;
    DubugMsg(3, "STATUS_NO_MATCH\n");
    return TRUE;
  }
  if (BufferSize == 0) {
    pSrb->Status = STATUS_BUFFER_OVERFLOW;
    pSrb->ActualBytesTransferred = ResultSize;
    return TRUE;
  }
  if (BufferSize < ResultSize) {
    pSrb->Status = STATUS_BUFFER_TOO_SMALL;
    DubugMsg(4, "CompareFalsed BufferTooSmall %08X %08X\n", BufferSize, ResultSize);
    return TRUE;
  }

  IntersectBuildFormat(pRange, pIntersectInfo->DataFormatBuffer, ResultSize, ImageSize);
  DubugMsg(4, "CopyDataFormat size = %08X %08X %08X\n",
           ((PKSDATAFORMAT)pIntersectInfo->DataFormatBuffer)->FormatSize, ResultSize, BufferSize);
  pSrb->ActualBytesTransferred = ResultSize;
  return TRUE;
}
