// ImageSynth2: one JPEG picture decoded into the frame buffer of a read request.
#include <atomic>
#include <csetjmp>
#include <cstring>

#include "adapter/adapter.h"
#include "diag/debug_msg.h"
#include "image/image.h"
#include "stream/stream.h"

namespace {

// Bytes per decoded pixel: blue, green, red.
constexpr ULONG IMAGE_PIXEL_BYTES = 3;

// Most memory the library may use for whole-image buffers (progressive and
// multi-scan pictures). A 320 x 240 picture needs a few hundred KB; a damaged
// header announcing a huge picture would ask for a backing store instead,
// which is a fatal library error and ends that decode.
constexpr long IMAGE_MAX_DECODE_MEMORY = 16L * 1024 * 1024;

// The decode counts (ImageGetDecodeCounts): updated after each decode, by
// whichever transfer thread ran it.
std::atomic<ULONGLONG> gImageDecodedPictures{0};
std::atomic<ULONGLONG> gImageDecodeTime{0}; // 100 ns units

// Where the decoded rows go; filled from the request before decoding.
struct IMAGE_FRAME {
  PUCHAR pBuffer;     // the frame buffer (the stream header's Data)
  ULONG Pitch;        // bytes from one frame row to the next
  ULONG RowBytes;     // bytes of pixels in a frame row (width x 3, at most Pitch)
  ULONG Rows;         // frame rows, as many as the buffer holds
  ULONG DataUsed;     // biSizeImage, at most the bytes of the rows that fit
  BOOLEAN bTopDown;   // first row at the start of the buffer
  BOOLEAN bHalfScale; // 160 x 120: the library decodes at half size
  ULONG RowsWritten;  // picture rows stored in the frame so far
  BOOLEAN bNarrow;    // the picture's rows are narrower than the frame's: their ends were cleared
  int Warnings;       // the library's warnings during the decode (num_warnings)
};
using PIMAGE_FRAME = IMAGE_FRAME *;

// The library's standard error manager with a way back into ImageDecode.
struct IMAGE_JPEG_ERROR {
  jpeg_error_mgr pub;
  std::jmp_buf Back;
};
using PIMAGE_JPEG_ERROR = IMAGE_JPEG_ERROR *;

// Fatal library error: nothing is reported and the process goes on; the decode
// returns to ImageRunDecoder, which cleans up.
[[noreturn]] VOID ImageErrorExit(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<PIMAGE_JPEG_ERROR>(cinfo->err);
  std::longjmp(err->Back, 1);
}

// The library's messages go nowhere: warnings (corrupt data, a premature end of
// the picture) do not stop decoding and print nothing.
VOID ImageOutputMessage(j_common_ptr) {}

// Reads biWidth and biHeight of the current data format in *pFormat into
// *pWidth and *pHeight; a stream without a format, or whose format record is
// too short to hold a video info header (the snapshot then holds no bitmap
// header), gives those of the open-time header instead.
VOID ImageReadFormatSize(const STREAM_FORMAT_SNAPSHOT *pFormat, PLONG pWidth, PLONG pHeight) {
  const KS_BITMAPINFOHEADER *pBmi = &pFormat->VideoInfoHeader.bmiHeader;
  if (pFormat->bDataFormat && pFormat->DataFormatHeader.bmiHeader.biSize >= sizeof(KS_BITMAPINFOHEADER))
    pBmi = &pFormat->DataFormatHeader.bmiHeader;
  *pWidth = pBmi->biWidth;
  *pHeight = pBmi->biHeight;
}

// Computes the frame's pitch, rows and DataUsed from the open-time video info
// header, limited to the whole rows that the buffer's FrameExtent holds.
// FALSE when not one row fits.
BOOLEAN ImageSetGeometry(const KS_VIDEOINFOHEADER *pVih, PKSSTREAM_HEADER pHeader, PIMAGE_FRAME pFrame) {
  const LONGLONG width = pVih->bmiHeader.biWidth;
  const LONGLONG height = pVih->bmiHeader.biHeight;
  const LONGLONG bitCount = pVih->bmiHeader.biBitCount;
  const ULONGLONG extent = pHeader->FrameExtent;
  if (width <= 0 || bitCount <= 0 || pHeader->Data == NULL)
    return FALSE;
  const ULONGLONG pitch = static_cast<ULONGLONG>(((width * bitCount + 31) & ~31LL) / 8);
  if (pitch > extent)
    return FALSE;
  ULONGLONG rows = static_cast<ULONGLONG>(height < 0 ? -height : height);
  if (rows > extent / pitch)
    rows = extent / pitch;
  ULONGLONG rowBytes = static_cast<ULONGLONG>(width) * IMAGE_PIXEL_BYTES;
  if (rowBytes > pitch)
    rowBytes = pitch;
  pFrame->pBuffer = static_cast<PUCHAR>(pHeader->Data);
  pFrame->Pitch = static_cast<ULONG>(pitch);
  pFrame->RowBytes = static_cast<ULONG>(rowBytes);
  pFrame->Rows = static_cast<ULONG>(rows);
  // biSizeImage, but never more than the rows the buffer holds.
  const ULONGLONG frameBytes = rows * pitch;
  pFrame->DataUsed =
      pVih->bmiHeader.biSizeImage < frameBytes ? pVih->bmiHeader.biSizeImage : static_cast<ULONG>(frameBytes);
  return rows > 0;
}

// Logs the frame's geometry and fills *pFrame from the request. The stream's
// format is read once, through a snapshot, since SRB_SET_DATA_FORMAT may
// replace (and free) the stream's copies meanwhile. FALSE when the request has
// no stream extension, video info header or usable frame buffer.
BOOLEAN ImageSetupFrame(PHW_STREAM_REQUEST_BLOCK pSrb, PKSSTREAM_HEADER pHeader, PIMAGE_FRAME pFrame) {
  PSTREAMEX pStrmEx =
      pSrb->StreamObject != NULL ? static_cast<PSTREAMEX>(pSrb->StreamObject->HwStreamExtension) : NULL;
  if (pStrmEx == NULL)
    return FALSE;
  STREAM_FORMAT_SNAPSHOT format;
  (void)StreamGetFormatSnapshot(pStrmEx, &format);
  if (!format.bVideoInfoHeader)
    return FALSE;
  const KS_VIDEOINFOHEADER *pVih = &format.VideoInfoHeader;
  const RECT &src = pVih->rcSource;
  const RECT &dst = pVih->rcTarget;
  DubugMsg(4, "** pVideoInfoHeader->Source (%d,%d)-(%d,%d)\n", src.left, src.top, src.right, src.bottom);
  DubugMsg(4, "** pVideoInfoHeader->Target (%d,%d)-(%d,%d)\n", dst.left, dst.top, dst.right, dst.bottom);
  DubugMsg(4, "** pVideoInfoHeader->bmiHeader.biWidth & biHeight (%d,%d)\n", pVih->bmiHeader.biWidth,
           pVih->bmiHeader.biHeight);
  LONG formatWidth = 0;
  LONG formatHeight = 0;
  ImageReadFormatSize(&format, &formatWidth, &formatHeight);
  DubugMsg(4, "** pStrmEx->bmiHeader.biWidth & biHeight (%d,%d)\n", formatWidth, formatHeight);
  // As for a bitmap: a negative height means the first row comes first.
  pFrame->bTopDown = formatHeight < 0;
  pFrame->bHalfScale =
      pVih->bmiHeader.biWidth == 160 && (pVih->bmiHeader.biHeight == 120 || pVih->bmiHeader.biHeight == -120);
  return ImageSetGeometry(pVih, pHeader, pFrame);
}

// The frame row that picture row `index` goes to: counted from the start of
// the buffer top-down, from its last row bottom-up.
PUCHAR ImageFrameRow(PIMAGE_FRAME pFrame, ULONG index) {
  const ULONG row = pFrame->bTopDown ? index : pFrame->Rows - 1 - index;
  return pFrame->pBuffer + static_cast<size_t>(row) * pFrame->Pitch;
}

// Reads the picture's rows into the frame, one library call per row, until
// the picture or the frame's rows run out. A row wider than the frame's is
// decoded into a scratch row from the library's image pool and clipped; the
// part of a frame row the picture does not cover is cleared.
// May leave through the error manager (RowsWritten then counts whole rows).
VOID ImageReadRows(j_decompress_ptr cinfo, PIMAGE_FRAME pFrame) {
  const size_t decodedBytes = static_cast<size_t>(cinfo->output_width) * IMAGE_PIXEL_BYTES;
  JSAMPROW scratch = NULL;
  if (decodedBytes > pFrame->RowBytes)
    scratch = static_cast<JSAMPROW>(
        (*cinfo->mem->alloc_large)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, decodedBytes));
  const size_t storedBytes = scratch != NULL ? pFrame->RowBytes : decodedBytes;
  pFrame->bNarrow = storedBytes < pFrame->RowBytes;
  while (cinfo->output_scanline < cinfo->output_height && pFrame->RowsWritten < pFrame->Rows) {
    PUCHAR pRow = ImageFrameRow(pFrame, pFrame->RowsWritten);
    JSAMPROW target = scratch != NULL ? scratch : pRow;
    if (jpeg_read_scanlines(cinfo, &target, 1) != 1)
      break; // the source never suspends; kept so that a stall cannot loop
    if (scratch != NULL)
      std::memcpy(pRow, scratch, storedBytes);
    if (storedBytes < pFrame->Pitch)
      std::memset(pRow + storedBytes, 0, pFrame->Pitch - storedBytes);
    pFrame->RowsWritten++;
  }
}

// Runs the decompressor over the picture into the frame: TRUE when the decode
// ran to its end, FALSE when the library met a fatal error. The caller
// destroys *cinfo in either case. This function and everything it calls keep
// no C++ object with a destructor: a fatal error leaves through longjmp.
BOOLEAN ImageRunDecoder(j_decompress_ptr cinfo, PIMAGE_JPEG_ERROR err, PIMAGE_FRAME pFrame,
                        const UCHAR *pPicture, ULONG PictureSize) {
  if (setjmp(err->Back) != 0)
    return FALSE;
  jpeg_create_decompress(cinfo);
  cinfo->mem->max_memory_to_use = IMAGE_MAX_DECODE_MEMORY;
  jpeg_memory_src(cinfo, pPicture, PictureSize);
  jpeg_read_header(cinfo, TRUE);
  if (pFrame->bHalfScale) {
    DubugMsg(4, "Decompress JPEG 1/2\n");
    cinfo->scale_num = 1;
    cinfo->scale_denom = 2;
  } else {
    DubugMsg(4, "Decompress JPEG 1/1\n");
    cinfo->scale_num = 1;
    cinfo->scale_denom = 1;
  }
  // The library writes red first by default; its extended colour space
  // JCS_EXT_BGR is its way to change the colour order to blue, green, red.
  // Grey pictures come out as grey BGR pixels; CMYK pictures cannot be
  // converted and fail in jpeg_start_decompress.
  cinfo->out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(cinfo);
  DubugMsg(4, "** cinfo.output_height = %d\n", cinfo->output_height);
  if (cinfo->output_components != static_cast<int>(IMAGE_PIXEL_BYTES))
    return FALSE;
  ImageReadRows(cinfo, pFrame);
  // A picture taller than the frame is not read to its end; destroying the
  // object abandons the rest.
  if (cinfo->output_scanline == cinfo->output_height)
    jpeg_finish_decompress(cinfo);
  return TRUE;
}

// Decodes the picture into the frame with a fresh decompressor and releases
// all library memory again. TRUE when the decode ran to its end.
BOOLEAN ImageDecode(PIMAGE_FRAME pFrame, const UCHAR *pPicture, ULONG PictureSize) {
  jpeg_decompress_struct cinfo;
  IMAGE_JPEG_ERROR err;
  std::memset(&cinfo, 0, sizeof(cinfo));
  std::memset(&err, 0, sizeof(err));
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ImageErrorExit;
  err.pub.output_message = ImageOutputMessage;
  const BOOLEAN decoded = ImageRunDecoder(&cinfo, &err, pFrame, pPicture, PictureSize);
  pFrame->Warnings = static_cast<int>(err.pub.num_warnings);
  jpeg_destroy_decompress(&cinfo);
  if (!decoded)
    DubugMsg(2, "ImageSynth2 JPEG error %d\n", err.pub.msg_code);
  return decoded;
}

// Clears the frame rows that received no picture row: those after the last
// stored row in the order the rows were filled.
VOID ImageClearRest(PIMAGE_FRAME pFrame) {
  const size_t rest = static_cast<size_t>(pFrame->Rows - pFrame->RowsWritten) * pFrame->Pitch;
  if (rest == 0)
    return;
  PUCHAR pStart = pFrame->bTopDown
                      ? pFrame->pBuffer + static_cast<size_t>(pFrame->RowsWritten) * pFrame->Pitch
                      : pFrame->pBuffer;
  std::memset(pStart, 0, rest);
}

} // namespace

// The stream header is the request's one KSSTREAM_HEADER; DataUsed is set and
// logged after every decode, whatever its outcome. The library's warnings are
// what tells a damaged picture from a whole one: it decodes both to the end.
BOOLEAN ImageSynth2(PHW_STREAM_REQUEST_BLOCK pSrb, const UCHAR *pPicture, ULONG PictureSize) {
  PKSSTREAM_HEADER pHeader = pSrb != NULL ? pSrb->CommandData.DataBufferArray : NULL;
  DubugMsg(4, "** Decompress JpegImage \n");
  if (pHeader == NULL)
    return FALSE;
  IMAGE_FRAME frame;
  std::memset(&frame, 0, sizeof(frame));
  ULONG dataUsed = 0;
  BOOLEAN bWhole = FALSE;
  if (ImageSetupFrame(pSrb, pHeader, &frame)) {
    const ULONGLONG start = KeQueryInterruptTime();
    const BOOLEAN decoded = ImageDecode(&frame, pPicture, PictureSize);
    ImageClearRest(&frame);
    gImageDecodeTime.fetch_add(KeQueryInterruptTime() - start, std::memory_order_relaxed);
    gImageDecodedPictures.fetch_add(1, std::memory_order_relaxed);
    if (decoded || frame.RowsWritten > 0)
      dataUsed = frame.DataUsed;
    bWhole = decoded && frame.Warnings == 0 && frame.RowsWritten == frame.Rows && !frame.bNarrow;
  }
  pHeader->DataUsed = dataUsed;
  DubugMsg(4, "** Decompress DummyJpegImage biSizeImage = %d\n", dataUsed);
  return bWhole;
}

VOID ImageGetDecodeCounts(PIMAGE_DECODE_COUNTS pCounts) {
  pCounts->Pictures = gImageDecodedPictures.load(std::memory_order_relaxed);
  pCounts->DecodeTime = gImageDecodeTime.load(std::memory_order_relaxed);
}
