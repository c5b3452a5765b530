// Fuzzes ImageSynth2 with arbitrary picture bytes, decoded into the frame of a
// read request shaped as the host delivers it.
//
// Input layout:
//   byte 0   frame choice: bit 0 set 160x120 (half-scale decoding), else
//            320x240; bit 1 set top-down rows, else bottom-up; bits 2-3 the
//            buffer: 0 and 3 the whole frame, 1 half of it, 2 one row and a
//            few bytes
//   rest     the picture (its own allocation, so reads past it are reported)
//
// Checks after every decode: no byte after FrameExtent is touched (guard
// bytes), DataUsed is 0 or the frame size (no more than the whole rows that
// FrameExtent holds). Leaks of library memory are reported by the leak
// checker; pool blocks are freed. Under AddressSanitizer the guard bytes are
// poisoned during the decode, so a write past FrameExtent stops at the write.
#include <cstdint>
#include <cstdlib>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define DSCAM_FUZZ_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DSCAM_FUZZ_POISON 1
#endif
#endif
#ifdef DSCAM_FUZZ_POISON
#include <sanitizer/asan_interface.h>
#endif

#include "image/image.h"
#include "tests/image/frame_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  const uint8_t choice = data[0];
  const LONG width = (choice & 1) ? 160 : 320;
  const LONG rows = (choice & 1) ? 120 : 240;
  const LONG height = (choice & 2) ? -rows : rows;
  const ULONG frame_size = image_test::rgb24_pitch(width) * static_cast<ULONG>(rows);
  ULONG extent = frame_size;
  switch ((choice >> 2) & 3) {
  case 1:
    extent = frame_size / 2;
    break;
  case 2:
    extent = image_test::rgb24_pitch(width) + 7;
    break;
  default:
    break;
  }
  const std::vector<uint8_t> picture(data + 1, data + size);

  image_test::FrameRequest request(width, height, extent);
#ifdef DSCAM_FUZZ_POISON
  ASAN_POISON_MEMORY_REGION(request.frame() + request.extent(), image_test::FrameRequest::kGuardBytes);
#endif
  ImageSynth2(request.srb(), picture.data(), static_cast<ULONG>(picture.size()));
#ifdef DSCAM_FUZZ_POISON
  ASAN_UNPOISON_MEMORY_REGION(request.frame() + request.extent(), image_test::FrameRequest::kGuardBytes);
#endif
  if (!request.guards_intact())
    std::abort();
  const ULONG used = request.header().DataUsed;
  const ULONG pitch = image_test::rgb24_pitch(width);
  const ULONG whole = frame_size < extent ? frame_size : extent / pitch * pitch;
  if (used != 0 && used != whole)
    std::abort();
  return 0;
}
