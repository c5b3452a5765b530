// The JPEG library's data source for a picture held in memory.
#include "image/image.h"

#include <jerror.h>

namespace {

// The memory source record: the library's source manager first (the library
// sees only that part), then the buffer that holds the end-of-image marker
// handed out once the picture is used up. Both live in the decompression
// object's permanent pool.
struct VTJPEG_SOURCE_MGR {
  jpeg_source_mgr pub;
  JOCTET *pScratch; // JPEG_EOI_BYTES bytes
};
using PVTJPEG_SOURCE_MGR = VTJPEG_SOURCE_MGR *;
static_assert(offsetof(VTJPEG_SOURCE_MGR, pub) == 0, "the library's part comes first");

// The end-of-image marker: FF D9.
constexpr size_t JPEG_EOI_BYTES = 2;

// init_source and term_source: the picture is in memory, there is nothing to
// open or close. This routine also marks a source record as ours.
VOID VTJPEG_init_source(j_decompress_ptr) {}

VOID VTJPEG_term_source(j_decompress_ptr) {}

} // namespace

// Every call, however many, warns and hands out a fresh end-of-image marker:
// the library then fills the missing rows from what it has, and the warning
// tells the decode's caller that the picture ended early.
boolean VTJPEG_fill_input_buffer(j_decompress_ptr cinfo) {
  auto *src = reinterpret_cast<PVTJPEG_SOURCE_MGR>(cinfo->src);
  WARNMS(cinfo, JWRN_JPEG_EOF);
  src->pScratch[0] = 0xFF;
  src->pScratch[1] = JPEG_EOI;
  src->pub.next_input_byte = src->pScratch;
  src->pub.bytes_in_buffer = JPEG_EOI_BYTES;
  return TRUE;
}

// The library skips the data of markers it does not use. A length field in a
// damaged picture may point past its end: the skip stops there.
VOID VTJPEG_skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
  jpeg_source_mgr *src = cinfo->src;
  if (num_bytes <= 0)
    return;
  size_t count = static_cast<size_t>(num_bytes);
  if (count > src->bytes_in_buffer)
    count = src->bytes_in_buffer;
  src->next_input_byte += count;
  src->bytes_in_buffer -= count;
}

// A source record of another kind (installed on cinfo by someone else) is not
// reused: its layout is not ours. Allocation failures in alloc_small are fatal
// library errors and leave through the error manager.
VOID jpeg_memory_src(j_decompress_ptr cinfo, const UCHAR *pPicture, ULONG PictureSize) {
  if (cinfo->src == NULL || cinfo->src->init_source != VTJPEG_init_source) {
    auto *src = static_cast<PVTJPEG_SOURCE_MGR>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(VTJPEG_SOURCE_MGR)));
    src->pScratch = static_cast<JOCTET *>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, JPEG_EOI_BYTES));
    cinfo->src = &src->pub;
  }
  jpeg_source_mgr *src = cinfo->src;
  src->init_source = VTJPEG_init_source;
  src->fill_input_buffer = VTJPEG_fill_input_buffer;
  src->skip_input_data = VTJPEG_skip_input_data;
  src->resync_to_restart = jpeg_resync_to_restart;
  src->term_source = VTJPEG_term_source;
  src->next_input_byte = pPicture;
  src->bytes_in_buffer = (pPicture != NULL) ? PictureSize : 0;
}
