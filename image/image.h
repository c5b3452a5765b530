// Image conversion: decoding one JPEG picture held in memory straight into the
// frame buffer of a read request, as an RGB24 bitmap (three bytes per pixel in
// the order blue, green, red) in the row order and row pitch of the stream's
// format. A 160 x 120 frame is made by the JPEG library's half-size decoding.
//
// The JPEG library is the installed libjpeg (interface 62), decompression side
// only: a memory data source of our own (below), the library's standard error
// manager with a fatal-error handler that returns to ImageSynth2 instead of
// ending the process, no message output, and the library's own memory manager.
//
// Frame geometry (all from the read request):
//   - row pitch, frame width and height, biSizeImage: the video info header
//     copied at stream open (STREAMEX.pVideoInfoHeader);
//   - row order: the sign of biHeight of the current data format
//     (STREAMEX.pKSDataFormat): negative is top-down, otherwise bottom-up;
//   - capacity: the stream header's FrameExtent; nothing is ever written past
//     it, past the frame's rows or past the end of a row.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "platform/kernel/ntdef.h"
#include "platform/streamclass/strmini.h"

// Decodes the picture (PictureSize bytes at pPicture) into the frame buffer of
// the read request pSrb and sets the stream header's DataUsed. Returns TRUE
// when the picture decoded whole: the library ran to its end without a single
// warning (corrupt data, a premature end of the picture) and every row of the
// frame came from the picture across the frame's width (none was cleared, in
// whole or in part); FALSE for a damaged picture, whose frame is still filled
// as below, and for a request that got no frame.
//   - a picture of the frame's size fills the frame, the first decoded row at
//     the top of the image (row 0 top-down; the buffer's last row bottom-up);
//   - a picture that ends early still gives a whole frame (the source warns
//     and supplies end-of-image markers, the library fills the missing rows);
//   - a picture larger than the frame is clipped to the frame's width and
//     rows; a smaller one is placed at the top left and the rest of the frame
//     is cleared to black;
//   - a picture the library cannot decode (not a JPEG, unsupported feature,
//     too large to decode without backing store) keeps the rows decoded before
//     the failure and clears the rest; DataUsed is then biSizeImage when at
//     least one row came out, and 0 when none did.
// A buffer smaller than the frame (FrameExtent) takes the frame's first rows
// that fit whole, and DataUsed counts no more than those. A request without a
// frame buffer or without a video info header gets DataUsed 0 and nothing
// written. The picture is read as untrusted data.
// Runs in the transfer thread, one picture at a time, at passive level; takes
// about 0.1 ms (a 320 x 240 picture); reads the stream's format once through
// StreamGetFormatSnapshot (gStreamFormatSpinLock, briefly), so a format set
// meanwhile applies from the next frame. All library memory lives for the call.
BOOLEAN ImageSynth2(PHW_STREAM_REQUEST_BLOCK pSrb, const UCHAR *pPicture, ULONG PictureSize);

// What ImageSynth2 has done since the process started: the pictures it ran
// through the decoder (whether or not they decoded whole) and the time their
// decoding took, in 100 ns units of the interrupt time. Requests without a
// frame buffer or a video info header are not counted.
typedef struct _IMAGE_DECODE_COUNTS {
  ULONGLONG Pictures;
  ULONGLONG DecodeTime;
} IMAGE_DECODE_COUNTS, *PIMAGE_DECODE_COUNTS;

// Reads the decode counts into *pCounts. Each count is read by itself: a decode
// that ends meanwhile may show in one and not yet in the other. Any thread, any
// IRQL; never blocks.
VOID ImageGetDecodeCounts(PIMAGE_DECODE_COUNTS pCounts);

// Makes cinfo read the picture (PictureSize bytes at pPicture) from memory: the
// whole picture is the one input buffer and is never copied. The source record
// and its two-byte end-of-image buffer come from the object's permanent pool
// (released with the object); an object that already has this kind of source
// keeps its record. Called after jpeg_create_decompress, before
// jpeg_read_header; any thread that owns cinfo.
VOID jpeg_memory_src(j_decompress_ptr cinfo, const UCHAR *pPicture, ULONG PictureSize);

// Called by the library when it has used all of the picture, which a whole
// picture never makes it do: raises the library's premature-end warning
// (JWRN_JPEG_EOF, counted in the error manager's num_warnings) and supplies
// the two bytes of an end-of-image marker (FF D9), as the library's own data
// sources do, as often as asked; returns TRUE.
boolean VTJPEG_fill_input_buffer(j_decompress_ptr cinfo);

// Skips num_bytes of the picture. A count of 0 or less does nothing; a count
// beyond the end of the picture stops at its end (the next read then gets the
// end-of-image marker).
VOID VTJPEG_skip_input_data(j_decompress_ptr cinfo, long num_bytes);
