// Writing and describing table records field by field, for the tests in
// which two processes (possibly of different ABIs) share one table.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "throttling/throttle_table.h"

namespace t1test {

// Distinct values for every field, with the high halves of the u64 fields set
// so that a shifted or truncated field cannot pass.
inline uint64_t Pattern64(uint32_t seed, uint32_t field) {
  return (static_cast<uint64_t>(0xA0000000u + field * 0x01010101u) << 32) | (seed + field);
}
inline uint32_t Pattern32(uint32_t seed, uint32_t field) { return seed * 1000u + field; }

inline void FillStats(_TMStats& s, uint32_t seed, uint32_t base) {
  s.ReadSize = Pattern64(seed, base + 0);
  s.NetworkSize = Pattern64(seed, base + 1);
  s.WriteSize = Pattern64(seed, base + 2);
  s.SIDBLookupSamples = Pattern64(seed, base + 3);
  s.ReadTime = Pattern32(seed, base + 4);
  s.WriteTime = Pattern32(seed, base + 5);
  s.NetworkTime = Pattern32(seed, base + 6);
  s.SIDBLookupTime = Pattern32(seed, base + 7);
  s.JobType = Pattern32(seed, base + 8);
}

// Writes the pattern into the header's counters (not RefCount), job record
// jobSlot and its stream record streamSlot.
inline void FillPattern(_TMThrottleTable& t, uint32_t jobSlot, uint32_t streamSlot,
                        uint32_t seed) {
  t.UniqueID = Pattern32(seed, 1);
  t.ComputerThrottleMBPH = Pattern32(seed, 2);
  t.TotalSizeProcessed = Pattern64(seed, 3);
  _TMJobRecord& j = t.Jobs[jobSlot];
  j.StreamAT[511] = Pattern32(seed, 4);
  j.JobSizeProcessed = Pattern64(seed, 5);
  j.StreamATIndex = Pattern32(seed, 6);
  j.JobOldATIdx = Pattern32(seed, 7);
  j.StartTime = Pattern32(seed, 8);
  j.LastEnumTime = Pattern32(seed, 9);
  j.ActiveStreamCount = Pattern32(seed, 10);
  j.ActiveThrottStreamCount = Pattern32(seed, 11);
  j.JobID = Pattern32(seed, 12);
  j.JobType = Pattern32(seed, 13);
  j.ThrottleMBPH = Pattern32(seed, 14);
  j.PerStreamMBPH = Pattern32(seed, 15);
  j.Flags = Pattern32(seed, 16);
  FillStats(j.JobStats, seed, 17);
  _TMStreamRecord& s = j.Streams[streamSlot];
  s.SizeProcessed = Pattern64(seed, 30);
  s.StartTime = Pattern32(seed, 31);
  s.LatUpdateTime = Pattern32(seed, 32);
  s.JobID = Pattern32(seed, 33);
  s.RCID = Pattern32(seed, 34);
  s.StreamOldATIdx = Pattern32(seed, 35);
  s.UniqueID = Pattern32(seed, 36);
  s.Flags = Pattern32(seed, 37);
  FillStats(s.LastStats, seed, 40);
  FillStats(s.CurrentStats, seed, 50);
  snprintf(s.ComputerName, sizeof(s.ComputerName), "host-%" PRIu32, seed);
  s.ProcessID = Pattern32(seed, 60);
  for (uint32_t b = 0; b < 8; ++b) s.Type[b] = static_cast<uint8_t>(seed + b);
}

inline void DescribeStats(std::string& out, const char* name, const _TMStats& s) {
  char line[512];
  snprintf(line, sizeof(line),
           "%s=%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu32 ",%" PRIu32 ",%" PRIu32
           ",%" PRIu32 ",%" PRIu32 "\n",
           name, s.ReadSize, s.NetworkSize, s.WriteSize, s.SIDBLookupSamples, s.ReadTime,
           s.WriteTime, s.NetworkTime, s.SIDBLookupTime, s.JobType);
  out += line;
}

// "name=value" lines of every field the pattern writes, the same text in
// every ABI.
inline std::string Describe(const _TMThrottleTable& t, uint32_t jobSlot, uint32_t streamSlot) {
  std::string out;
  char line[256];
  auto add32 = [&](const char* name, uint32_t v) {
    snprintf(line, sizeof(line), "%s=%" PRIu32 "\n", name, v);
    out += line;
  };
  auto add64 = [&](const char* name, uint64_t v) {
    snprintf(line, sizeof(line), "%s=%" PRIu64 "\n", name, v);
    out += line;
  };
  add32("UniqueID", t.UniqueID);
  add32("ComputerThrottleMBPH", t.ComputerThrottleMBPH);
  add64("TotalSizeProcessed", t.TotalSizeProcessed);
  const _TMJobRecord& j = t.Jobs[jobSlot];
  add32("StreamAT[511]", j.StreamAT[511]);
  add64("JobSizeProcessed", j.JobSizeProcessed);
  add32("StreamATIndex", j.StreamATIndex);
  add32("JobOldATIdx", j.JobOldATIdx);
  add32("Job.StartTime", j.StartTime);
  add32("LastEnumTime", j.LastEnumTime);
  add32("ActiveStreamCount", j.ActiveStreamCount);
  add32("ActiveThrottStreamCount", j.ActiveThrottStreamCount);
  add32("Job.JobID", j.JobID);
  add32("JobType", j.JobType);
  add32("ThrottleMBPH", j.ThrottleMBPH);
  add32("PerStreamMBPH", j.PerStreamMBPH);
  add32("Job.Flags", j.Flags);
  DescribeStats(out, "JobStats", j.JobStats);
  const _TMStreamRecord& s = j.Streams[streamSlot];
  add64("SizeProcessed", s.SizeProcessed);
  add32("Stream.StartTime", s.StartTime);
  add32("LatUpdateTime", s.LatUpdateTime);
  add32("Stream.JobID", s.JobID);
  add32("RCID", s.RCID);
  add32("StreamOldATIdx", s.StreamOldATIdx);
  add32("Stream.UniqueID", s.UniqueID);
  add32("Stream.Flags", s.Flags);
  DescribeStats(out, "LastStats", s.LastStats);
  DescribeStats(out, "CurrentStats", s.CurrentStats);
  out += "ComputerName=";
  out += std::string(s.ComputerName, strnlen(s.ComputerName, sizeof(s.ComputerName)));
  out += "\n";
  add32("ProcessID", s.ProcessID);
  out += "Type=";
  for (uint32_t b = 0; b < 8; ++b) {
    snprintf(line, sizeof(line), "%02x", static_cast<unsigned int>(s.Type[b]));
    out += line;
  }
  out += "\n";
  return out;
}

}  // namespace t1test
