// CRC-64 (ECMA-182 polynomial 0x42F0E1EBA9EA3693, reflected, as CRC-64/XZ):
// the state starts all ones, GetCRC64 returns its complement. File names on
// disk depend on this value: never change the polynomial.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hx_export.h"

class HXP_EXPORT CUaCRC64 {
 public:
  void UpdateCRC64(const void* bytes, size_t length);
  uint64_t GetCRC64() const { return ~state_; }

 private:
  uint64_t state_ = ~0ULL;
};
