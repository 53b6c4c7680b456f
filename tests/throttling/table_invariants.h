// An independent check of a throttle table's invariants, written from the
// table's format alone (not from the library's code): the allocation tables
// are permutations whose first `count` entries are exactly the slots flagged
// in use, back indexes name those positions, counts match the flags, and
// free records hold zeros. Returns one line per violation; empty when sound.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "throttling/throttle_table.h"

namespace t1test {

struct InvariantOptions {
  // Also require that no job slot is in use without streams unless a job
  // limit holds it (true after a clean-up pass or a repair).
  bool noIdleJobs = false;
};

inline std::vector<std::string> TableViolations(const _TMThrottleTable& t,
                                                InvariantOptions options = {}) {
  std::vector<std::string> out;
  auto fail = [&out](const std::string& what) {
    if (out.size() < 20) out.push_back(what);
  };
  auto isPermutation = [](const uint32_t* entries, uint32_t n) {
    std::vector<bool> seen(n, false);
    for (uint32_t i = 0; i < n; ++i) {
      if (entries[i] >= n || seen[entries[i]]) return false;
      seen[entries[i]] = true;
    }
    return true;
  };
  auto zero = [](const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
  };

  std::set<uint32_t> jobsInUse;
  for (uint32_t s = 0; s < kTMMaxJobs; ++s) {
    if (t.Jobs[s].Flags == kTMJobInUse) {
      jobsInUse.insert(s);
    } else if (t.Jobs[s].Flags != 0) {
      fail("job " + std::to_string(s) + ": flags " + std::to_string(t.Jobs[s].Flags));
    }
  }
  if (!isPermutation(t.JobAT, kTMMaxJobs)) fail("JobAT is not a permutation");
  if (t.JobATIndex != jobsInUse.size() || t.ActiveJobCount != jobsInUse.size()) {
    fail("job counts " + std::to_string(t.JobATIndex) + "/" + std::to_string(t.ActiveJobCount) +
         " for " + std::to_string(jobsInUse.size()) + " jobs in use");
  }
  for (uint32_t p = 0; p < kTMMaxJobs && p < jobsInUse.size(); ++p) {
    const uint32_t s = t.JobAT[p];
    if (jobsInUse.count(s) == 0) fail("JobAT[" + std::to_string(p) + "] names a free slot");
    if (s < kTMMaxJobs && t.Jobs[s].JobOldATIdx != p) {
      fail("job " + std::to_string(s) + ": back index " + std::to_string(t.Jobs[s].JobOldATIdx));
    }
  }
  const size_t tail = offsetof(_TMJobRecord, JobSizeProcessed);
  for (uint32_t s = 0; s < kTMMaxJobs; ++s) {
    const _TMJobRecord& job = t.Jobs[s];
    if (jobsInUse.count(s) == 0) {
      if (!zero(reinterpret_cast<const char*>(&job) + tail, sizeof(job) - tail)) {
        fail("free job " + std::to_string(s) + " is not zero");
      }
      continue;
    }
    uint32_t streams = 0, throttled = 0;
    std::set<uint32_t> streamsInUse;
    for (uint32_t k = 0; k < kTMMaxStreams; ++k) {
      const _TMStreamRecord& r = job.Streams[k];
      if ((r.Flags & kTMStreamInUse) != 0) {
        ++streams;
        streamsInUse.insert(k);
        if ((r.Flags & (kTMStreamNotThrottled | kTMStreamUnresponsive)) == 0) ++throttled;
      } else if (!zero(&r, sizeof(r))) {
        fail("job " + std::to_string(s) + ": free stream " + std::to_string(k) + " not zero");
      }
    }
    const std::string name = "job " + std::to_string(s) + ": ";
    if (!isPermutation(job.StreamAT, kTMMaxStreams)) fail(name + "StreamAT not a permutation");
    if (job.StreamATIndex != streams || job.ActiveStreamCount != streams) {
      fail(name + "stream counts " + std::to_string(job.StreamATIndex) + "/" +
           std::to_string(job.ActiveStreamCount) + " for " + std::to_string(streams));
    }
    if (job.ActiveThrottStreamCount != throttled) {
      fail(name + "throttled count " + std::to_string(job.ActiveThrottStreamCount) + " for " +
           std::to_string(throttled));
    }
    for (uint32_t p = 0; p < streams && p < kTMMaxStreams; ++p) {
      const uint32_t k = job.StreamAT[p];
      if (streamsInUse.count(k) == 0) fail(name + "StreamAT names a free slot");
      if (k < kTMMaxStreams && job.Streams[k].StreamOldATIdx != p) {
        fail(name + "stream " + std::to_string(k) + " back index");
      }
    }
    if (options.noIdleJobs && streams == 0 && job.ThrottleMBPH == 0) {
      fail(name + "in use without streams and without a limit");
    }
  }
  return out;
}

}  // namespace t1test
