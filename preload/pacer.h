// Pacer: the token bucket that holds one stream to its allotted rate.
//
// Bytes handed to the kernel are charged as debt; the debt drains at the rate,
// and the next piece may go only when it is paid. Idle time earns credit, but
// never more than one piece's worth, so a stream that pauses cannot burst far
// above its rate afterwards. A rate of 0 means no limit: nothing is owed.
// Times are monotonic nanoseconds given by the caller, so the arithmetic can
// be driven by a model clock. Not thread-safe: the caller serialises.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hxrun {

// Megabytes (2^20 bytes) per hour to bytes per second.
double MbphToBytesPerSecond(uint32_t mbph);

class Pacer {
 public:
  // Sets the rate in bytes per second (0: unlimited) from nowNs on. What is
  // owed stays owed and drains at the new rate.
  void SetRate(double bytesPerSecond, int64_t nowNs);
  double rate() const { return rate_; }

  // Nanoseconds to wait from nowNs until the next piece may go (0: now).
  int64_t WaitNs(int64_t nowNs);
  // The largest piece worth handing the kernel at once: about 50 ms of the
  // rate, between 4 KiB and 1 MiB; want itself when unlimited.
  size_t PieceLimit(size_t want) const;
  // Charges bytes that went out at nowNs.
  void Charge(size_t bytes, int64_t nowNs);

 private:
  void Drain(int64_t nowNs);

  double rate_ = 0;     // bytes per second; 0 = unlimited
  double balance_ = 0;  // bytes: < 0 owed, > 0 credit (at most one piece)
  int64_t last_ = 0;    // time balance_ was brought up to date
  bool started_ = false;
};

}  // namespace hxrun
