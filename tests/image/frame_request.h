// A read request as the stream class host hands it to the driver's transfer thread: its stream extension with
// pool copies of the open-time video info header and the current format, and one KSSTREAM_HEADER and
// KS_FRAME_INFO pointing at a frame buffer of FrameExtent bytes followed by guard bytes. Used by the image
// tests, the benchmark and the fuzz target; one thread.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "adapter/adapter.h"
#include "platform/kernel/pool.h"
#include "platform/streamclass/ks_guids.h"

namespace image_test {

// Bytes of an RGB24 row of `width` pixels, rounded up to four bytes.
inline ULONG rgb24_pitch(LONG width) {
  return ((static_cast<ULONG>(width) * 24 + 31) & ~31u) / 8;
}

class FrameRequest {
public:
  static constexpr size_t kGuardBytes = 256;
  static constexpr uint8_t kGuard = 0xA5;
  static constexpr uint8_t kStale = 0xCD; // what the frame holds before a decode

  // `height` as in a bitmap header (negative: top-down); `extent` 0: the frame's image size.
  FrameRequest(LONG width, LONG height, ULONG extent = 0) {
    const ULONG image_size = rgb24_pitch(width) * static_cast<ULONG>(height < 0 ? -height : height);
    vih_ = static_cast<PKS_VIDEOINFOHEADER>(pool_block(sizeof(KS_VIDEOINFOHEADER)));
    vih_->rcSource = vih_->rcTarget = {0, 0, width, height < 0 ? -height : height};
    vih_->bmiHeader = {sizeof(KS_BITMAPINFOHEADER), width, height, 1, 24, KS_BI_RGB, image_size, 0, 0, 0, 0};
    format_ = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(pool_block(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)));
    format_->DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    format_->DataFormat.SampleSize = image_size;
    format_->DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format_->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    format_->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    format_->VideoInfoHeader = *vih_;
    strm_ex_.pStreamObject = &stream_object_;
    strm_ex_.pKSDataFormat = &format_->DataFormat;
    strm_ex_.pVideoInfoHeader = vih_;
    stream_object_.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    stream_object_.HwStreamExtension = &strm_ex_;
    stream_object_.StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
    extent_ = extent != 0 ? extent : image_size;
    buffer_.assign(extent_ + kGuardBytes, kGuard);
    std::memset(buffer_.data(), kStale, extent_);
    data_.Header = {sizeof(FrameData), 0, {}, 0, extent_, 0xDEADBEEF, buffer_.data(), 0, 0};
    data_.FrameInfo.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    srb_.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb_.Command = SRB_READ_DATA;
    srb_.StreamObject = &stream_object_;
    srb_.SRBExtension = &srb_ext_;
    srb_.CommandData.DataBufferArray = &data_.Header;
    srb_.NumberOfBuffers = 1;
    srb_.Flags = SRB_HW_FLAGS_DATA_TRANSFER | SRB_HW_FLAGS_STREAM_REQUEST;
  }
  ~FrameRequest() {
    ExFreePool(format_);
    ExFreePool(vih_);
  }
  FrameRequest(const FrameRequest &) = delete;
  FrameRequest &operator=(const FrameRequest &) = delete;

  PHW_STREAM_REQUEST_BLOCK srb() { return &srb_; }
  KSSTREAM_HEADER &header() { return data_.Header; }
  STREAMEX &strm_ex() { return strm_ex_; }
  PKS_VIDEOINFOHEADER vih() { return vih_; }
  PKS_DATAFORMAT_VIDEOINFOHEADER format() { return format_; }
  uint8_t *frame() { return buffer_.data(); }
  ULONG extent() const { return extent_; }
  ULONG pitch() const { return rgb24_pitch(vih_->bmiHeader.biWidth); }

  // Whether every guard byte after FrameExtent is as it was.
  bool guards_intact() const {
    for (size_t i = extent_; i < buffer_.size(); ++i)
      if (buffer_[i] != kGuard)
        return false;
    return true;
  }

private:
  struct FrameData {
    KSSTREAM_HEADER Header;
    KS_FRAME_INFO FrameInfo;
  };

  // A zero-filled pool block with the driver's tag, as the stream's copies are.
  static void *pool_block(size_t size) {
    void *block = ExAllocatePoolWithTag(NonPagedPool, size, PoolTag("Wdm "));
    if (block == nullptr)
      std::abort();
    return std::memset(block, 0, size);
  }

  HW_STREAM_REQUEST_BLOCK srb_{};
  HW_STREAM_OBJECT stream_object_{};
  STREAMEX strm_ex_{};
  SRB_EXTENSION srb_ext_{};
  FrameData data_{};
  PKS_VIDEOINFOHEADER vih_ = nullptr;
  PKS_DATAFORMAT_VIDEOINFOHEADER format_ = nullptr;
  ULONG extent_ = 0;
  std::vector<uint8_t> buffer_;
};

} // namespace image_test
