// Link timing: latency plus bytes at the payload rate, one transfer at a time.
#include "emulator/camera/link_model.h"

#include <algorithm>

namespace emu {

int64_t LinkModel::duration(size_t bytes) const {
  int64_t wire = 0;
  if (bytes_per_second_ != 0)
    wire = static_cast<int64_t>((static_cast<unsigned __int128>(bytes) * 1'000'000'000u) / bytes_per_second_);
  return latency_ns_ + wire;
}

int64_t LinkModel::transfer(int64_t start, size_t bytes) {
  const int64_t begin = std::max(start, free_at_);
  free_at_ = begin + duration(bytes);
  return free_at_;
}

} // namespace emu
