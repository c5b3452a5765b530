// The driver's picture counts, read through the capture pin's stream property.
#include "tools/dscam/picture_counts.h"

namespace dscam {

bool PictureCounter::poll(streamclass::Pin &pin) {
  KSPROPERTY_VELTRA_PICTURE_COUNTS_S counts{};
  counts.Property.Set = PROPSETID_VELTRA_PICTURES;
  counts.Property.Id = KSPROPERTY_VELTRA_PICTURE_COUNTS;
  counts.Property.Flags = KSPROPERTY_TYPE_GET;
  if (!NT_SUCCESS(pin.get_property(counts)))
    return false;
  open_ = counts;
  open_read_ = true;
  return true;
}

void PictureCounter::pin_closed() {
  closed_ = totals();
  open_read_ = false;
}

PictureTotals PictureCounter::totals() const {
  PictureTotals totals = closed_;
  if (!open_read_)
    return totals;
  totals.available = true;
  totals.too_large += open_.TooLarge;
  totals.longer_than_announced += open_.LongerThanAnnounced;
  totals.failed_fetches += open_.FailedFetches;
  if (open_.LastRefusal != VELTRA_REFUSAL_NONE) {
    totals.last_refusal = open_.LastRefusal;
    totals.last_announced = open_.LastAnnouncedSize;
  }
  if (open_.PictureBufferSize != 0)
    totals.buffer_size = open_.PictureBufferSize;
  return totals;
}

bool PictureCounter::size_exchange_failed() const {
  return open_read_ && open_.LastRefusal == VELTRA_REFUSAL_FETCH_FAILED && open_.LastAnnouncedSize == 0;
}

std::string with_separators(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      text += ',';
    text += digits[i];
  }
  return text;
}

std::string refusal_text(const PictureTotals &totals) {
  switch (totals.last_refusal) {
  case VELTRA_REFUSAL_TOO_LARGE:
    return "the camera's pictures are too large: " + with_separators(totals.last_announced) +
           " bytes, at most " + with_separators(totals.buffer_size);
  case VELTRA_REFUSAL_LONGER_THAN_ANNOUNCED:
    return "the camera's pictures are longer than it announces (the last was announced as " +
           with_separators(totals.last_announced) + " bytes)";
  case VELTRA_REFUSAL_FETCH_FAILED:
    return "the camera's pictures could not be fetched (the size or picture exchange failed)";
  default:
    break;
  }
  return {};
}

} // namespace dscam
