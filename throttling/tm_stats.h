// _TMStats: one stream's transfer statistics, running totals since the stream
// started. Also embedded in the shared throttle table (stream LastStats and
// CurrentStats, job JobStats), so its layout is an inter-process format:
// thirteen 32-bit words, u64 fields on 4-byte boundaries, 52 bytes in every ABI.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 4)
struct _TMStats {
  uint64_t ReadSize = 0;           // bytes read
  uint64_t NetworkSize = 0;        // bytes moved over the network
  uint64_t WriteSize = 0;          // bytes written
  uint64_t SIDBLookupSamples = 0;  // SIDB lookup samples
  uint32_t ReadTime = 0;           // seconds spent reading
  uint32_t WriteTime = 0;          // seconds spent writing
  uint32_t NetworkTime = 0;        // seconds spent on the network
  uint32_t SIDBLookupTime = 0;     // seconds spent in SIDB lookups
  uint32_t JobType = 0;            // the job's type code
};
#pragma pack(pop)

static_assert(sizeof(_TMStats) == 52, "_TMStats is 52 bytes");
static_assert(offsetof(_TMStats, ReadSize) == 0x00, "_TMStats layout");
static_assert(offsetof(_TMStats, NetworkSize) == 0x08, "_TMStats layout");
static_assert(offsetof(_TMStats, WriteSize) == 0x10, "_TMStats layout");
static_assert(offsetof(_TMStats, SIDBLookupSamples) == 0x18, "_TMStats layout");
static_assert(offsetof(_TMStats, ReadTime) == 0x20, "_TMStats layout");
static_assert(offsetof(_TMStats, WriteTime) == 0x24, "_TMStats layout");
static_assert(offsetof(_TMStats, NetworkTime) == 0x28, "_TMStats layout");
static_assert(offsetof(_TMStats, SIDBLookupTime) == 0x2C, "_TMStats layout");
static_assert(offsetof(_TMStats, JobType) == 0x30, "_TMStats layout");
static_assert(alignof(_TMStats) == 4, "_TMStats may sit on any 4-byte boundary");
