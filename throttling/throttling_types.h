// Records exchanged with callers of CHxThrottlingManager: the registration
// request, and the in-process copies handed out by enumeration and by the
// data-size summary. None of these lives in shared memory.
#pragma once

#include <cstdint>

#include "throttling/tm_stats.h"

// The handle of a failed registration (RegisterStream).
constexpr uint64_t kTMInvalidHandle = 0xFFFFFFFFFFFFFFFFULL;

// A stream registration request, filled by the caller. RegisterStream may
// clear bit 0x4 of Flags (when LAN-free streams are throttled).
struct _TMSRegParams {
  uint32_t JobID = 0;                // the job the stream belongs to
  uint32_t RCID = 0;                 // the caller's RCID; stored and logged
  uint32_t SubclientThroughput = 0;  // MBPH; the job's limit when this creates the job
  uint32_t Reserved = 0;             // not read by this library
  uint32_t Flags = 0;                // 0x4 asks for no throttling; others stored as given
  uint8_t Type = 0;                  // stream type
  char ComputerName[256] = {};       // NUL-terminated; the first 47 characters are used
};

// One job with streams, for the data-size summary.
struct _TMAllJobStreamInfo {
  uint32_t JobID = 0;
  uint32_t ActiveStreamCount = 0;
  uint64_t SizeProcessed = 0;  // JobSizeProcessed plus each current stream's SizeProcessed
};

// Copy of one job record.
struct _TMJobInfo {
  uint32_t ActiveStreamCount = 0;
  uint32_t JobID = 0;
  uint32_t ThrottleMBPH = 0;
  uint32_t PerStreamMBPH = 0;
  uint32_t StartTime = 0;
  uint32_t LastEnumTime = 0;  // time of the previous enumeration; 0 if none
  uint32_t JobType = 0;
  uint64_t JobSizeProcessed = 0;
  _TMStats JobStats;          // the eight counters; JobType word stays 0
};

// Copy of one stream record.
struct _TMStreamInfo {
  uint64_t SizeProcessed = 0;
  uint32_t LatUpdateTime = 0;
  uint32_t StartTime = 0;
  uint32_t JobID = 0;
  uint32_t Flags = 0;
  uint32_t RCID = 0;
  uint8_t Type[8] = {};
  uint64_t Handle = 0;          // job slot, stream slot and UniqueID of the stream
  char ComputerName[48] = {};   // at most 47 characters, NUL-terminated
  _TMStats LastStats;
  _TMStats CurrentStats;        // as it was before any reset
};

// Receives enumerated jobs, one call per job with streams. Return 0 to go on,
// anything else to stop. The records live only until the call returns.
class IEnumerateJobInfoCallback {
 public:
  virtual int OnThrottelingInfo(void* context, _TMJobInfo* job, _TMStreamInfo* streams,
                                unsigned int streamCount) = 0;

 protected:
  ~IEnumerateJobInfoCallback() = default;
};

// Where a table's machine limit came from (_TMMachineLimitInfo::Source).
constexpr uint32_t kTMLimitFromConfiguration = 0;
constexpr uint32_t kTMLimitFromSchedule = 1;
constexpr uint32_t kTMLimitSetByHand = 2;
// The machine's share of a budget shared with other machines ("HxFleet"
// "Share"), lower than what the configuration or the schedule allows.
constexpr uint32_t kTMLimitFromFleet = 3;

// The machine limit of a table as an operator sees it (MB per hour, 0 = no
// limit; times as time() seconds).
struct _TMMachineLimitInfo {
  uint32_t LimitMBPH = 0;       // in force: what the table divides
  uint32_t Source = 0;          // kTMLimitFromConfiguration, ...Schedule, ...SetByHand
  uint32_t ConfiguredMBPH = 0;  // what the configuration gives now (schedule, else
                                // "ComputerThroughputMBPH")
  uint32_t NextChangeTime = 0;  // next scheduled change; 0 when none
  uint32_t NextLimitMBPH = 0;   // the limit from NextChangeTime on
};
