// Fuzzes format verification and data intersection with arbitrary formats and
// ranges: any FormatSize, biSize, dimensions, GUIDs and capabilities.
//
// Input layout:
//   byte 0        bit 0: intersection (1) or verification (0); bits 1-2: stream
//                 number (0..3)
//   bytes 1-2     intersection: size of the result buffer (u16 LE)
//   rest          the caller's format or range. Its FormatSize field is kept when
//                 it is no larger than the bytes given, and cut down to them
//                 otherwise (a caller's bytes always hold FormatSize bytes).
//
// The caller's bytes are copied into a heap block of exactly FormatSize bytes
// (never fewer than the 4 bytes of FormatSize itself), and the result buffer is
// a block of exactly its size, so AddressSanitizer reports any read or write past
// either. A verified format is also stored and read back as the stream would.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "stream/stream.h"

namespace {

// Checks a successful intersection: the size it reports fits the buffer and is
// the FormatSize it wrote, and the image size follows the rule.
void check_result(const HW_STREAM_REQUEST_BLOCK &srb, const uint8_t *buffer, ULONG buffer_size) {
  if (srb.Status != STATUS_SUCCESS)
    return;
  if (srb.ActualBytesTransferred > buffer_size ||
      srb.ActualBytesTransferred < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
    std::abort();
  const auto *format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(buffer);
  if (format->DataFormat.FormatSize != srb.ActualBytesTransferred)
    std::abort();
  ULONG image = 0;
  if (!StreamImageSize(&format->VideoInfoHeader.bmiHeader, &image) ||
      image != format->VideoInfoHeader.bmiHeader.biSizeImage || image != format->DataFormat.SampleSize)
    std::abort();
}

void fuzz_intersection(const KSDATARANGE *range, ULONG stream, ULONG buffer_size) {
  uint8_t *buffer = buffer_size != 0 ? static_cast<uint8_t *>(std::malloc(buffer_size)) : nullptr;
  STREAM_DATA_INTERSECT_INFO info{stream, const_cast<KSDATARANGE *>(range), buffer, buffer_size};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_DATA_INTERSECTION;
  srb.Status = STATUS_SUCCESS;
  srb.CommandData.IntersectInfo = &info;
  if (!AdapterGetDataInterSection(&srb))
    std::abort();
  check_result(srb, buffer, buffer_size);
  std::free(buffer);
}

// Stores a verified format in a stream extension, reads it back and frees it.
void store_format(const KSDATAFORMAT *format) {
  STREAMEX extension{};
  HW_STREAM_OBJECT object{};
  object.HwStreamExtension = &extension;
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_SET_DATA_FORMAT;
  srb.StreamObject = &object;
  srb.CommandData.OpenFormat = const_cast<KSDATAFORMAT *>(format);
  if (!AdapterSetFormat(&srb))
    return; // pool short: nothing stored
  STREAM_FORMAT_SNAPSHOT snapshot;
  if (!StreamGetFormatSnapshot(&extension, &snapshot))
    std::abort();
  StreamFreeFormats(&extension);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3 + sizeof(ULONG))
    return 0;
  const bool intersection = (data[0] & 1) != 0;
  const ULONG stream = (data[0] >> 1) & 3;
  const ULONG buffer_size = static_cast<ULONG>(data[1] | data[2] << 8);
  const uint8_t *body = data + 3;
  const size_t body_size = size - 3;

  ULONG format_size;
  std::memcpy(&format_size, body, sizeof(format_size));
  if (format_size > body_size)
    format_size = static_cast<ULONG>(body_size);
  const size_t block_size = format_size < sizeof(ULONG) ? sizeof(ULONG) : format_size;
  auto *block = static_cast<uint8_t *>(std::malloc(block_size));
  std::memcpy(block, body, block_size);
  std::memcpy(block, &format_size, sizeof(format_size));
  const auto *format = reinterpret_cast<const KSDATAFORMAT *>(block);

  if (intersection) {
    fuzz_intersection(format, stream, buffer_size);
  } else if (AdapterVerifyFormat(format, stream)) {
    if (!StreamVideoFormatIsComplete(format))
      std::abort();
    store_format(format);
  }
  std::free(block);
  return 0;
}
