#include "platform/ua_crc64.h"

namespace {

// Reflected form of the ECMA-182 polynomial 0x42F0E1EBA9EA3693.
constexpr uint64_t kPolyReflected = 0xC96C5795D7870F42ULL;

struct Table {
  uint64_t entry[256];
  constexpr Table() : entry() {
    for (int i = 0; i < 256; ++i) {
      uint64_t c = static_cast<uint64_t>(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolyReflected : c >> 1;
      entry[i] = c;
    }
  }
};

constexpr Table kTable;

}  // namespace

void CUaCRC64::UpdateCRC64(const void* bytes, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  uint64_t c = state_;
  for (size_t i = 0; i < length; ++i) c = kTable.entry[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  state_ = c;
}
