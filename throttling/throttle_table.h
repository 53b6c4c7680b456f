// The throttle table: the bytes every process of the machine shares, in one
// System V segment per platform instance and direction.
//
// This is an inter-process format read and written in place by 32-bit and
// 64-bit processes alike: all integers little-endian, u64 fields on 4-byte
// boundaries with no padding, every offset pinned below. Nothing here may be
// reordered, resized or padded. The table carries no version; the only
// compatibility check is the segment size (kTMTableSize).
//
// Every field is guarded by the table's named mutex (see CHxThrottlingManager).
// The segment is writable by any process of the machine, so a reader never
// trusts a count, allocation-table entry or back-index to be below 512: it
// checks before it indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "throttling/throttling_types.h"
#include "throttling/tm_stats.h"

constexpr uint32_t kTMMaxJobs = 512;             // job slots per table
constexpr uint32_t kTMMaxStreams = 512;          // stream slots per job
constexpr uint32_t kTMHeaderSize = 0x824;        // 2,084 bytes
constexpr uint32_t kTMJobRecordSize = 0x1B868;   // 112,744 bytes
constexpr uint32_t kTMStreamRecordSize = 0xD8;   // 216 bytes
constexpr uint32_t kTMTableSize = 57727012;      // 0x370D824: header + 512 jobs

// Job Flags.
constexpr uint32_t kTMJobInUse = 0x1;
// Stream Flags. Other bits are the caller's registration flags, kept as given.
constexpr uint32_t kTMStreamInUse = 0x1;
constexpr uint32_t kTMStreamUnresponsive = 0x2;  // no rate query for > 600 s
constexpr uint32_t kTMStreamNotThrottled = 0x4;  // LAN-free, never throttled

#pragma pack(push, 4)

// One stream slot of a job (0xD8 bytes).
struct _TMStreamRecord {
  uint64_t SizeProcessed;   // bytes moved so far (absolute, last rate query)
  uint32_t StartTime;       // registration time
  uint32_t LatUpdateTime;   // registration, then each rate query
  uint32_t JobID;           // job id given at registration
  uint32_t RCID;            // RCID given at registration
  uint32_t StreamOldATIdx;  // position of this slot in the job's StreamAT
  uint32_t UniqueID;        // unique id; the low 32 bits of the handle
  uint32_t Reserved1;       // 0, or the mark of a release under way (kTMReleaseMark)
  uint32_t Flags;           // kTMStream* bits and the caller's flags
  _TMStats LastStats;       // last statistics reported
  _TMStats CurrentStats;    // accumulated since the last reset
  char ComputerName[48];    // at most 47 characters, NUL-terminated
  uint32_t ProcessID;       // parent pid of the registering process
  uint32_t Reserved2[3];    // [0..1]: owner mark (TMOwnerMark); [2] only ever zeroed
  uint8_t Type[8];          // byte 0: stream type; bytes 1..7 zero
};

// One job slot (0x1B868 bytes).
struct _TMJobRecord {
  uint32_t StreamAT[kTMMaxStreams];  // permutation of 0..511; [0, StreamATIndex) in use
  uint64_t JobSizeProcessed;         // SizeProcessed of unregistered streams
  uint32_t StreamATIndex;            // stream slots in use
  uint32_t JobOldATIdx;              // position of this slot in JobAT
  uint32_t StartTime;                // time the slot was reserved
  uint32_t LastEnumTime;             // time of the last enumeration visit
  uint32_t ActiveStreamCount;        // equals StreamATIndex
  uint32_t ActiveThrottStreamCount;  // streams in use, throttled and responsive
  uint32_t JobID;                    // the job's id
  uint32_t JobType;                  // set by the first statistics report
  uint32_t ThrottleMBPH;             // the job's own limit; 0 = none
  uint32_t PerStreamMBPH;            // rate allotted to each throttled stream
  uint32_t Flags;                    // kTMJobInUse
  _TMStats JobStats;                 // totals of unregistered streams' LastStats
  _TMStreamRecord Streams[kTMMaxStreams];
};

// The header (0x824 bytes) followed by the job slots.
struct _TMThrottleTable {
  uint32_t JobAT[kTMMaxJobs];     // permutation of 0..511; [0, JobATIndex) in use
  uint32_t JobATIndex;            // job slots in use
  uint32_t Reserved1[2];          // machine-limit source and next change (TMLimitSource)
  uint32_t ActiveJobCount;        // equals JobATIndex
  uint32_t UniqueID;              // last stream unique id handed out
  uint32_t ComputerThrottleMBPH;  // the machine's throughput; 0 = no limit
  uint32_t RefCount;              // managers attached to the table
  uint64_t TotalSizeProcessed;    // SizeProcessed of every unregistered stream
  _TMJobRecord Jobs[kTMMaxJobs];
};

#pragma pack(pop)

// Fills a record with zero bytes (the records hold _TMStats, whose default
// constructor makes them non-trivial for the compiler, though every byte is
// plain data).
inline void TMZeroRecord(_TMStreamRecord& record) {
  memset(static_cast<void*>(&record), 0, sizeof(record));
}
inline void TMZeroRecord(_TMJobRecord& record) {
  memset(static_cast<void*>(&record), 0, sizeof(record));
}

// The owner mark of a stream: 1 + the start time, in clock ticks after boot,
// of the process recorded in ProcessID, as read at registration (low word in
// Reserved2[0], high word in Reserved2[1]); 0 when it was not recorded (a
// process that could not read it, or an older writer that zeroes the words).
// It tells a live owner from a later process with the same pid whatever the
// wall clock did since.
inline uint64_t TMOwnerMark(const _TMStreamRecord& record) {
  return (static_cast<uint64_t>(record.Reserved2[1]) << 32) | record.Reserved2[0];
}
inline void TMSetOwnerMark(_TMStreamRecord& record, uint64_t mark) {
  record.Reserved2[0] = static_cast<uint32_t>(mark);
  record.Reserved2[1] = static_cast<uint32_t>(mark >> 32);
}

// Where the machine limit in ComputerThrottleMBPH came from (Reserved1[0]:
// kTMLimitFrom*, throttling_types.h) and the time of its next scheduled change
// (Reserved1[1], 0 when none). The words were zero in tables written before
// schedules existed, which reads as "the configuration, no change due".
inline uint32_t TMLimitSource(const _TMThrottleTable& t) { return t.Reserved1[0]; }
inline uint32_t TMNextLimitChange(const _TMThrottleTable& t) { return t.Reserved1[1]; }
inline void TMSetLimitSource(_TMThrottleTable& t, uint32_t source, uint32_t nextChange) {
  t.Reserved1[0] = source;
  t.Reserved1[1] = nextChange;
}

// A stream's release is made crash-safe through its own record. The holder
// first writes the release mark into Reserved1, then the totals the table and
// the job will have once the stream's bytes and statistics are folded in
// (_TMReleaseTotals, over CurrentStats and ComputerName, which a released
// stream no longer needs), then the committed bit, and only then writes those
// totals into the header and the job and clears the in-use flag. Each mark is
// one aligned 32-bit store, so a holder killed at any instant leaves either no
// mark (nothing changed), a mark without the committed bit (no total changed
// yet: the fold is made afresh from SizeProcessed and LastStats) or a
// committed mark (the totals are written again, which changes nothing if they
// were written already). The repair finishes every marked release, so a
// stream's bytes count exactly once. A writer that does not know the mark
// only ever zeroes Reserved1.
constexpr uint32_t kTMReleaseMark = 0x52454C00;  // "REL" in the top 24 bits
constexpr uint32_t kTMReleaseMarkMask = 0xFFFFFF00;
constexpr uint32_t kTMReleaseIntoTable = 0x1;  // its bytes also count in TotalSizeProcessed
constexpr uint32_t kTMReleaseCommitted = 0x2;  // _TMReleaseTotals is complete

#pragma pack(push, 4)
struct _TMReleaseTotals {
  uint64_t TotalSizeProcessed;  // the header's, after the fold
  uint64_t JobSizeProcessed;    // the job's, after the fold
  _TMStats JobStats;            // the job's, after the fold (JobType word unchanged)
};
#pragma pack(pop)

constexpr size_t kTMReleaseTotalsOffset = offsetof(_TMStreamRecord, CurrentStats);
static_assert(sizeof(_TMReleaseTotals) == 68, "release totals size");
static_assert(kTMReleaseTotalsOffset + sizeof(_TMReleaseTotals) <=
                  offsetof(_TMStreamRecord, ProcessID),
              "release totals lie over CurrentStats and ComputerName only");

inline bool TMReleaseMarked(const _TMStreamRecord& record) {
  return (record.Reserved1 & kTMReleaseMarkMask) == kTMReleaseMark;
}
inline void TMWriteReleaseTotals(_TMStreamRecord& record, const _TMReleaseTotals& totals) {
  memcpy(reinterpret_cast<unsigned char*>(&record) + kTMReleaseTotalsOffset, &totals,
         sizeof(totals));
}
inline _TMReleaseTotals TMReadReleaseTotals(const _TMStreamRecord& record) {
  _TMReleaseTotals totals;
  memcpy(static_cast<void*>(&totals),
         reinterpret_cast<const unsigned char*>(&record) + kTMReleaseTotalsOffset, sizeof(totals));
  return totals;
}

// Stream record.
static_assert(sizeof(_TMStreamRecord) == kTMStreamRecordSize, "stream record size");
static_assert(offsetof(_TMStreamRecord, SizeProcessed) == 0x00, "stream layout");
static_assert(offsetof(_TMStreamRecord, StartTime) == 0x08, "stream layout");
static_assert(offsetof(_TMStreamRecord, LatUpdateTime) == 0x0C, "stream layout");
static_assert(offsetof(_TMStreamRecord, JobID) == 0x10, "stream layout");
static_assert(offsetof(_TMStreamRecord, RCID) == 0x14, "stream layout");
static_assert(offsetof(_TMStreamRecord, StreamOldATIdx) == 0x18, "stream layout");
static_assert(offsetof(_TMStreamRecord, UniqueID) == 0x1C, "stream layout");
static_assert(offsetof(_TMStreamRecord, Reserved1) == 0x20, "stream layout");
static_assert(offsetof(_TMStreamRecord, Flags) == 0x24, "stream layout");
static_assert(offsetof(_TMStreamRecord, LastStats) == 0x28, "stream layout");
static_assert(offsetof(_TMStreamRecord, CurrentStats) == 0x5C, "stream layout");
static_assert(offsetof(_TMStreamRecord, ComputerName) == 0x90, "stream layout");
static_assert(offsetof(_TMStreamRecord, ProcessID) == 0xC0, "stream layout");
static_assert(offsetof(_TMStreamRecord, Reserved2) == 0xC4, "stream layout");
static_assert(offsetof(_TMStreamRecord, Type) == 0xD0, "stream layout");

// Job record.
static_assert(sizeof(_TMJobRecord) == kTMJobRecordSize, "job record size");
static_assert(offsetof(_TMJobRecord, StreamAT) == 0x000, "job layout");
static_assert(offsetof(_TMJobRecord, JobSizeProcessed) == 0x800, "job layout");
static_assert(offsetof(_TMJobRecord, StreamATIndex) == 0x808, "job layout");
static_assert(offsetof(_TMJobRecord, JobOldATIdx) == 0x80C, "job layout");
static_assert(offsetof(_TMJobRecord, StartTime) == 0x810, "job layout");
static_assert(offsetof(_TMJobRecord, LastEnumTime) == 0x814, "job layout");
static_assert(offsetof(_TMJobRecord, ActiveStreamCount) == 0x818, "job layout");
static_assert(offsetof(_TMJobRecord, ActiveThrottStreamCount) == 0x81C, "job layout");
static_assert(offsetof(_TMJobRecord, JobID) == 0x820, "job layout");
static_assert(offsetof(_TMJobRecord, JobType) == 0x824, "job layout");
static_assert(offsetof(_TMJobRecord, ThrottleMBPH) == 0x828, "job layout");
static_assert(offsetof(_TMJobRecord, PerStreamMBPH) == 0x82C, "job layout");
static_assert(offsetof(_TMJobRecord, Flags) == 0x830, "job layout");
static_assert(offsetof(_TMJobRecord, JobStats) == 0x834, "job layout");
static_assert(offsetof(_TMJobRecord, JobStats) + offsetof(_TMStats, JobType) == 0x864,
              "job layout");
static_assert(offsetof(_TMJobRecord, Streams) == 0x868, "job layout");

// Header and whole table.
static_assert(offsetof(_TMThrottleTable, JobAT) == 0x000, "header layout");
static_assert(offsetof(_TMThrottleTable, JobATIndex) == 0x800, "header layout");
static_assert(offsetof(_TMThrottleTable, Reserved1) == 0x804, "header layout");
static_assert(offsetof(_TMThrottleTable, ActiveJobCount) == 0x80C, "header layout");
static_assert(offsetof(_TMThrottleTable, UniqueID) == 0x810, "header layout");
static_assert(offsetof(_TMThrottleTable, ComputerThrottleMBPH) == 0x814, "header layout");
static_assert(offsetof(_TMThrottleTable, RefCount) == 0x818, "header layout");
static_assert(offsetof(_TMThrottleTable, TotalSizeProcessed) == 0x81C, "header layout");
static_assert(offsetof(_TMThrottleTable, Jobs) == kTMHeaderSize, "header layout");
static_assert(sizeof(_TMThrottleTable) == kTMTableSize, "table size");
static_assert(kTMHeaderSize + kTMMaxJobs * kTMJobRecordSize == kTMTableSize, "table size");
static_assert(alignof(_TMThrottleTable) == 4, "no member needs more than 4-byte alignment");
