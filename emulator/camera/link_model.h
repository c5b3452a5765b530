// The USB link between host and camera: one transfer at a time, each taking a
// fixed latency plus its bytes at the link's payload rate. Times are clock
// nanoseconds; the model only computes, it never sleeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace emu {

class LinkModel {
public:
  LinkModel(uint64_t bytes_per_second, int64_t latency_ns)
      : bytes_per_second_(bytes_per_second), latency_ns_(latency_ns) {}

  // A transfer of `bytes` that may start at `start`: it waits for the link,
  // occupies it, and returns the time it is done.
  int64_t transfer(int64_t start, size_t bytes);

  // Time a transfer of `bytes` takes on a free link.
  int64_t duration(size_t bytes) const;

  // Forgets the link's backlog (after a reset): the link is free from `now`.
  void reset(int64_t now) { free_at_ = now; }

private:
  uint64_t bytes_per_second_; // 0 = unlimited
  int64_t latency_ns_;
  int64_t free_at_ = 0; // the link is busy until this time
};

} // namespace emu
