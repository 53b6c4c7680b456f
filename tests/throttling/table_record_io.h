// Filling and describing table records, for the tests in
// which two processes (possibly of different ABIs) share one table.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "throttling/throttle_table.h"

namespace t1test {

// Writes a pattern into the header's counters (not RefCount) and every byte of
// job record jobSlot, streams included. No two nearby bytes repeat, so a
// field read at a shifted offset or with another width shows.
inline void FillPattern(_TMThrottleTable& t, uint32_t jobSlot, uint32_t seed) {
  t.UniqueID = seed;
  t.ComputerThrottleMBPH = seed * 3;
  t.TotalSizeProcessed = (static_cast<uint64_t>(seed) << 36) | 0x123456789ULL;
  unsigned char* b = reinterpret_cast<unsigned char*>(&t.Jobs[jobSlot]);
  for (uint32_t i = 0; i < sizeof(_TMJobRecord); ++i) {
    b[i] = static_cast<unsigned char>((i * 2654435761u + seed) >> 24);
  }
}

// "name=value" lines of every field of the header's counters, job record
// jobSlot and its stream record streamSlot, the same text in every ABI.
inline std::string Describe(const _TMThrottleTable& t, uint32_t jobSlot, uint32_t streamSlot) {
  struct Field {
    const char* name;
    uint64_t value;
  };
  std::string out;
  char line[512];
  auto add = [&](std::initializer_list<Field> fields) {
    for (const Field& f : fields) {
      snprintf(line, sizeof(line), "%s=%" PRIu64 "\n", f.name, f.value);
      out += line;
    }
  };
  auto addStats = [&](const char* name, const _TMStats& s) {
    snprintf(line, sizeof(line),
             "%s=%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu32 ",%" PRIu32
             ",%" PRIu32 ",%" PRIu32 ",%" PRIu32 "\n",
             name, s.ReadSize, s.NetworkSize, s.WriteSize, s.SIDBLookupSamples, s.ReadTime,
             s.WriteTime, s.NetworkTime, s.SIDBLookupTime, s.JobType);
    out += line;
  };
  const _TMJobRecord& j = t.Jobs[jobSlot];
  const _TMStreamRecord& s = j.Streams[streamSlot];
  add({{"UniqueID", t.UniqueID}, {"ComputerThrottleMBPH", t.ComputerThrottleMBPH},
       {"TotalSizeProcessed", t.TotalSizeProcessed}, {"StreamAT[511]", j.StreamAT[511]},
       {"JobSizeProcessed", j.JobSizeProcessed}, {"StreamATIndex", j.StreamATIndex},
       {"JobOldATIdx", j.JobOldATIdx}, {"Job.StartTime", j.StartTime},
       {"LastEnumTime", j.LastEnumTime}, {"ActiveStreamCount", j.ActiveStreamCount},
       {"ActiveThrottStreamCount", j.ActiveThrottStreamCount}, {"Job.JobID", j.JobID},
       {"JobType", j.JobType}, {"ThrottleMBPH", j.ThrottleMBPH},
       {"PerStreamMBPH", j.PerStreamMBPH}, {"Job.Flags", j.Flags}});
  addStats("JobStats", j.JobStats);
  add({{"SizeProcessed", s.SizeProcessed}, {"Stream.StartTime", s.StartTime},
       {"LatUpdateTime", s.LatUpdateTime}, {"Stream.JobID", s.JobID}, {"RCID", s.RCID},
       {"StreamOldATIdx", s.StreamOldATIdx}, {"Stream.UniqueID", s.UniqueID},
       {"Stream.Flags", s.Flags}});
  addStats("LastStats", s.LastStats);
  addStats("CurrentStats", s.CurrentStats);
  out += "ComputerName=";
  out += std::string(s.ComputerName, strnlen(s.ComputerName, sizeof(s.ComputerName)));
  out += "\n";
  add({{"ProcessID", s.ProcessID}});
  out += "Type=";
  for (uint32_t b = 0; b < 8; ++b) {
    snprintf(line, sizeof(line), "%02x", static_cast<unsigned int>(s.Type[b]));
    out += line;
  }
  return out + "\n";
}

}  // namespace t1test
