// The driver's picture counts of a run: how many pictures it refused, and
// why, read from the capture pin's stream property (PROPSETID_VELTRA_PICTURES).
// The driver counts per pin, from its open; a run that reopens its pin adds
// the counts of every pin it had. (Damaged frames the tool counts itself, from
// each frame's flags.)
//
// Main thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/streamclass/host.h"
#include "stream/stream_public.h"

namespace dscam {

// The counts of a run so far.
struct PictureTotals {
  bool available = false;             // the driver answered the property at least once
  uint64_t too_large = 0;             // pictures refused: larger than the driver's picture buffer
  uint64_t longer_than_announced = 0; // pictures refused: more bytes than the camera announced
  uint64_t failed_fetches = 0;        // pictures not fetched: the size or picture exchange failed
  ULONG last_refusal = VELTRA_REFUSAL_NONE;
  ULONG last_announced = 0; // bytes announced for the last refused picture
  ULONG buffer_size = 0;    // the largest picture the driver accepts
  // Every picture the driver refused.
  uint64_t refused() const { return too_large + longer_than_announced + failed_fetches; }
};

class PictureCounter {
public:
  // Reads the open pin's counts (one stream property request, answered by the
  // driver without a camera exchange); false when the driver did not answer.
  bool poll(streamclass::Pin &pin);
  // The pin was closed (after a last poll): its counts join those of the pins before it.
  void pin_closed();
  // The counts of the closed pins and the last reading of the open one.
  PictureTotals totals() const;
  // Whether the last reading of the open pin ends with a failed size exchange
  // (a failed fetch without an announced size): the driver's transfer thread
  // has then ended, whether or not a read was waiting to be failed.
  bool size_exchange_failed() const;

private:
  PictureTotals closed_;
  KSPROPERTY_VELTRA_PICTURE_COUNTS_S open_{}; // the last reading of the open pin
  bool open_read_ = false;
};

// Why the driver refused the last picture, as the user is told it: "the
// camera's pictures are too large: 86,994 bytes, at most 65,536". Empty when
// it refused none.
std::string refusal_text(const PictureTotals &totals);

// A count with thousands separators: "86,994".
std::string with_separators(uint64_t value);

} // namespace dscam
