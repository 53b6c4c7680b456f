// Milliseconds of the monotonic clock: pacing and elapsed times in hxctl that
// must not jump when the wall clock is stepped.
#pragma once

#include <time.h>

#include <cstdint>

namespace hxctl {

inline uint64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

}  // namespace hxctl
