// The monotonic clock, which no change of the wall clock moves: only
// differences between its readings mean anything. HxEnv::MonotonicMs is the
// seam that tests control; these are its real readings, inline for the few
// hot paths (pacing in the preloaded library) that cannot afford a virtual
// call. coarse: a few milliseconds of resolution for a fraction of the cost.
#pragma once

#include <time.h>

#include <cstdint>

namespace hxp {

inline int64_t MonotonicNs(bool coarse = false) {
  timespec ts{};
  clock_gettime(coarse ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t MonotonicMs(bool coarse = false) { return MonotonicNs(coarse) / 1000000; }

}  // namespace hxp
