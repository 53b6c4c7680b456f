#include "preload/pacer.h"

#include <algorithm>

namespace hxrun {
namespace {

constexpr double kPieceSeconds = 0.05;
constexpr double kMinPiece = 4096;
constexpr double kMaxPiece = 1 << 20;

}  // namespace

double MbphToBytesPerSecond(uint32_t mbph) { return mbph * 1048576.0 / 3600.0; }

void Pacer::Drain(int64_t nowNs) {
  if (!started_) {
    started_ = true;
    last_ = nowNs;
    return;
  }
  // A clock that seems to go back earns nothing.
  if (nowNs > last_) {
    if (rate_ > 0) {
      const double cap = static_cast<double>(PieceLimit(static_cast<size_t>(kMaxPiece)));
      balance_ = std::min(cap, balance_ + rate_ * static_cast<double>(nowNs - last_) / 1e9);
    }
    last_ = nowNs;
  }
}

void Pacer::SetRate(double bytesPerSecond, int64_t nowNs) {
  Drain(nowNs);
  rate_ = bytesPerSecond > 0 ? bytesPerSecond : 0;
  if (rate_ == 0) balance_ = 0;  // nothing is owed without a limit
}

int64_t Pacer::WaitNs(int64_t nowNs) {
  Drain(nowNs);
  if (rate_ == 0 || balance_ >= 0) return 0;
  // Round up so that waiting the answer always clears the debt.
  return static_cast<int64_t>(-balance_ / rate_ * 1e9) + 1;
}

size_t Pacer::PieceLimit(size_t want) const {
  if (rate_ == 0) return want;
  const double piece = std::max(kMinPiece, std::min(kMaxPiece, rate_ * kPieceSeconds));
  return std::min(want, static_cast<size_t>(piece));
}

void Pacer::Charge(size_t bytes, int64_t nowNs) {
  Drain(nowNs);
  if (rate_ > 0) balance_ -= static_cast<double>(bytes);
}

}  // namespace hxrun
