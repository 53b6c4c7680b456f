// Job and stream slots: the allocation tables JobAT and StreamAT.
//
// Each allocation table is a permutation of 0..511 whose first `count`
// entries are the slots in use; every slot in use records its position (its
// back-index). Reserve takes the entry at `count`; release swaps the released
// slot with the last slot in use, so the slot released last is reused first.
//
// The table lives in memory any process of the machine can write, so counts,
// entries and back-indices are checked before they are used as indices: an
// impossible value is logged with "[ERROR]" and the operation is refused or
// works on the part of the table that is in range.
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/md_process.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

// Result of taking a slot out of the in-use prefix of an allocation table.
struct Release {
  int newCount = -1;       // -1: the slot is not among the entries in use
  bool backIndexBad = false;  // the slot's back-index did not name its position
};

// Takes slot out of entries[0, count) (count clamped to max). backIndex(s)
// returns a reference to the back-index of slot s, for s < max.
template <typename BackIndex>
Release ReleaseFromAllocationTable(uint32_t* entries, uint32_t count, uint32_t max, uint32_t slot,
                                   BackIndex backIndex) {
  Release result;
  uint32_t n = count > max ? max : count;
  if (n == 0) return result;
  uint32_t p = backIndex(slot);
  if (p >= n || entries[p] != slot) {
    result.backIndexBad = true;
    p = n;
    for (uint32_t i = 0; i < n; ++i) {
      if (entries[i] == slot) {
        p = i;
        break;
      }
    }
    if (p == n) return result;
  }
  n -= 1;
  const uint32_t moved = entries[n];
  entries[n] = slot;
  entries[p] = moved;
  if (moved < max) backIndex(moved) = p;
  result.newCount = static_cast<int>(n);
  return result;
}

// One 32-bit store that the compiler keeps in program order with the
// shared-table stores around it: a holder killed at any instant leaves its
// stores in that order (on the machine, a killed process's stores become
// visible in order).
inline void OrderedStore(uint32_t& field, uint32_t value) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  field = value;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// The in-use flag goes first, as one store: a record being zeroed byte by byte
// must never look like a stream in use without its release mark.
void FreeStreamRecord(_TMStreamRecord& stream) {
  OrderedStore(stream.Flags, 0);
  TMZeroRecord(stream);
}

// The first twelve words of a stats record: the four u64 and four u32 counters.
void ClearCounters(_TMStats& stats) {
  const uint32_t jobType = stats.JobType;
  stats = _TMStats();
  stats.JobType = jobType;
}

}  // namespace

unsigned int CHxThrottlingManager::SafeJobCount(const char* label) {
  const uint32_t count = Table->ActiveJobCount;
  if (count <= kTMMaxJobs) return count;
  Log.debugLvl(1, LogTag, "%s: [ERROR] ActiveJobCount %u out of range; using %u", label, count,
               kTMMaxJobs);
  return kTMMaxJobs;
}

unsigned int CHxThrottlingManager::SafeStreamCount(unsigned int jobSlot, const char* label) {
  if (jobSlot >= kTMMaxJobs) return 0;
  const uint32_t count = Table->Jobs[jobSlot].ActiveStreamCount;
  if (count <= kTMMaxStreams) return count;
  Log.debugLvl(1, LogTag, "%s: [ERROR] ActiveStreamCount %u of job slot %u out of range; using %u",
               label, count, jobSlot, kTMMaxStreams);
  return kTMMaxStreams;
}

int CHxThrottlingManager::SafeJobSlotAt(unsigned int position, const char* label) {
  if (position >= kTMMaxJobs) return -1;
  const uint32_t slot = Table->JobAT[position];
  if (slot < kTMMaxJobs) return static_cast<int>(slot);
  Log.debugLvl(1, LogTag, "%s: [ERROR] JobAT[%u] holds invalid job slot %u", label, position,
               slot);
  return -1;
}

int CHxThrottlingManager::SafeStreamSlotAt(unsigned int jobSlot, unsigned int position,
                                           const char* label) {
  if (jobSlot >= kTMMaxJobs || position >= kTMMaxStreams) return -1;
  const uint32_t slot = Table->Jobs[jobSlot].StreamAT[position];
  if (slot < kTMMaxStreams) return static_cast<int>(slot);
  Log.debugLvl(1, LogTag, "%s: [ERROR] StreamAT[%u] of job slot %u holds invalid stream slot %u",
               label, position, jobSlot, slot);
  return -1;
}

int CHxThrottlingManager::GetJobIndex(unsigned int jobId) {
  static const char kLabel[] = "GetJobIndex()";
  const unsigned int count = SafeJobCount(kLabel);
  for (unsigned int p = 0; p < count; ++p) {
    const int slot = SafeJobSlotAt(p, kLabel);
    if (slot >= 0 && Table->Jobs[slot].JobID == jobId) return slot;
  }
  return -1;
}

int CHxThrottlingManager::ReserveJobIndex(int jobId, unsigned int limitMBPH) {
  static const char kLabel[] = "ReserveJobIndex()";
  _TMThrottleTable& t = *Table;
  const uint32_t index = t.JobATIndex;
  if (index >= kTMMaxJobs) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] JobATIndex reached max count", kLabel);
    return -1;
  }
  const int slot = SafeJobSlotAt(index, kLabel);
  if (slot < 0) return -1;
  _TMJobRecord& job = t.Jobs[slot];
  if ((job.Flags & kTMJobInUse) != 0) {
    // A free position naming a slot in use: handing it out would merge two jobs.
    Log.debugLvl(1, LogTag, "%s: [ERROR] JobAT[%u] names job slot %u which is in use", kLabel,
                 index, static_cast<unsigned int>(slot));
    return -1;
  }
  job.Flags = kTMJobInUse;
  job.ActiveStreamCount = 0;
  job.ActiveThrottStreamCount = 0;
  job.JobSizeProcessed = 0;
  job.JobID = static_cast<uint32_t>(jobId);
  job.ThrottleMBPH = limitMBPH;
  job.JobOldATIdx = index;
  job.StreamATIndex = 0;
  job.StartTime = env_->NowSeconds();
  job.JobStats = _TMStats();
  t.JobATIndex = index + 1;
  t.ActiveJobCount = index + 1;
  for (uint32_t j = 0; j < kTMMaxStreams; ++j) job.StreamAT[j] = j;
  Log.debugLvl(3, LogTag, "%s: [Job - %u] [JobTPMBBH - %u] [return - %u]", kLabel,
               static_cast<unsigned int>(jobId), limitMBPH, static_cast<unsigned int>(slot));
  return slot;
}

int CHxThrottlingManager::UnReserveJobIndex(int jobSlot) {
  static const char kLabel[] = "UnreserveJobIndex()";
  if (jobSlot < 0 || static_cast<uint32_t>(jobSlot) >= kTMMaxJobs) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Invalid Job-Index %d", kLabel, jobSlot);
    return -1;
  }
  _TMThrottleTable& t = *Table;
  _TMJobRecord& job = t.Jobs[jobSlot];
  if ((job.Flags & kTMJobInUse) == 0) return 0;
  Log.debugLvl(3, LogTag, "%s: [JobIdx - %u] [Job - %u] [JobTPMBBH - %u]", kLabel,
               static_cast<unsigned int>(jobSlot), job.JobID, job.ThrottleMBPH);

  const Release release = ReleaseFromAllocationTable(
      t.JobAT, t.JobATIndex, kTMMaxJobs, static_cast<uint32_t>(jobSlot),
      [&t](uint32_t s) -> uint32_t& { return t.Jobs[s].JobOldATIdx; });
  if (release.backIndexBad) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] job slot %u: JobOldATIdx %u does not name its position",
                 kLabel, static_cast<unsigned int>(jobSlot), job.JobOldATIdx);
  }
  if (release.newCount < 0) {
    // Flagged in use but not among the slots in use: only the record is freed.
    Log.debugLvl(1, LogTag, "%s: [ERROR] job slot %u is not in JobAT[0..%u); record cleared",
                 kLabel, static_cast<unsigned int>(jobSlot), t.JobATIndex);
  } else {
    t.JobATIndex = static_cast<uint32_t>(release.newCount);
    t.ActiveJobCount = static_cast<uint32_t>(release.newCount);
  }
  TMZeroRecord(job);
  return 0;
}

int CHxThrottlingManager::ReserveStreamIndex(int jobSlot, unsigned int uniqueId,
                                             unsigned int jobId, unsigned int rcid,
                                             unsigned int flags, unsigned char type,
                                             char* computerName) {
  static const char kLabel[] = "ReserveStreamIndex()";
  if (jobSlot < 0 || static_cast<uint32_t>(jobSlot) >= kTMMaxJobs) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Invalid Job-Index %d", kLabel, jobSlot);
    return -1;
  }
  _TMJobRecord& job = Table->Jobs[jobSlot];
  const uint32_t index = job.StreamATIndex;
  if (index >= kTMMaxStreams) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] JobATIndex reached max count", kLabel);
    return -1;
  }
  const int slot = SafeStreamSlotAt(static_cast<unsigned int>(jobSlot), index, kLabel);
  if (slot < 0) return -1;
  _TMStreamRecord& stream = job.Streams[slot];
  if ((stream.Flags & kTMStreamInUse) != 0) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] StreamAT[%u] of job slot %u names stream slot %u in use",
                 kLabel, index, static_cast<unsigned int>(jobSlot),
                 static_cast<unsigned int>(slot));
    return -1;
  }
  const uint32_t now = env_->NowSeconds();
  stream.SizeProcessed = 0;
  stream.StartTime = now;
  stream.LatUpdateTime = now;
  stream.UniqueID = uniqueId;
  stream.RCID = rcid;
  stream.JobID = jobId;
  stream.StreamOldATIdx = index;
  strncpy(stream.ComputerName, computerName != nullptr ? computerName : "",
          sizeof(stream.ComputerName) - 1);
  stream.ComputerName[sizeof(stream.ComputerName) - 1] = '\0';
  stream.Flags = flags | kTMStreamInUse;
  memset(stream.Type, 0, sizeof(stream.Type));
  stream.Type[0] = type;
  stream.ProcessID = GetCurrentProcID();
  uint64_t ownerTicks = 0;
  stream.Reserved1 = 0;
  memset(stream.Reserved2, 0, sizeof(stream.Reserved2));
  if (MDProcess(stream.ProcessID).getStartTicks(ownerTicks) && ownerTicks != UINT64_MAX) {
    TMSetOwnerMark(stream, ownerTicks + 1);
  }
  ClearCounters(stream.LastStats);
  ClearCounters(stream.CurrentStats);

  job.StreamATIndex = index + 1;
  job.ActiveStreamCount = index + 1;
  if ((flags & kTMStreamNotThrottled) == 0) job.ActiveThrottStreamCount++;
  return slot;
}

int CHxThrottlingManager::UnreserveStreamIndex(int jobSlot, int streamSlot,
                                               unsigned int uniqueId, bool intoTable) {
  static const char kLabel[] = "UnreserveStreamIndex()";
  if (jobSlot < 0 || static_cast<uint32_t>(jobSlot) >= kTMMaxJobs) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Invalid Job-Index %d", kLabel, jobSlot);
    return -1;
  }
  if (streamSlot < 0 || static_cast<uint32_t>(streamSlot) >= kTMMaxStreams) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Invalid Stream-Index %d", kLabel, streamSlot);
    return -1;
  }
  _TMJobRecord& job = Table->Jobs[jobSlot];
  _TMStreamRecord& stream = job.Streams[streamSlot];
  if ((stream.Flags & kTMStreamInUse) == 0) return 0;
  if (stream.UniqueID != uniqueId) {
    Log.debugLvl(1, LogTag, "%s: Unique-ID doesn't match [%u] [%u]", kLabel, stream.UniqueID,
                 uniqueId);
    return -1;
  }
  // First, so that a holder killed anywhere below leaves a release the repair
  // completes rather than a stream whose bytes would be counted again.
  FoldReleasedStream(job, stream, intoTable);

  const Release release = ReleaseFromAllocationTable(
      job.StreamAT, job.StreamATIndex, kTMMaxStreams, static_cast<uint32_t>(streamSlot),
      [&job](uint32_t s) -> uint32_t& { return job.Streams[s].StreamOldATIdx; });
  if (release.backIndexBad) {
    Log.debugLvl(1, LogTag,
                 "%s: [ERROR] stream slot %u of job slot %u: StreamOldATIdx %u does not name "
                 "its position",
                 kLabel, static_cast<unsigned int>(streamSlot), static_cast<unsigned int>(jobSlot),
                 stream.StreamOldATIdx);
  }
  if (release.newCount < 0) {
    // Flagged in use but not among the job's streams in use: the record is
    // freed, the job's counts (which never included it) stay.
    Log.debugLvl(1, LogTag,
                 "%s: [ERROR] stream slot %u is not in StreamAT[0..%u) of job slot %u; record "
                 "cleared",
                 kLabel, static_cast<unsigned int>(streamSlot), job.StreamATIndex,
                 static_cast<unsigned int>(jobSlot));
    FreeStreamRecord(stream);
    return -1;
  }

  // An unresponsive stream left the throttled count when it was marked.
  if ((stream.Flags & (kTMStreamNotThrottled | kTMStreamUnresponsive)) == 0 &&
      job.ActiveThrottStreamCount > 0) {
    job.ActiveThrottStreamCount--;
  }
  job.StreamATIndex = static_cast<uint32_t>(release.newCount);
  job.ActiveStreamCount = static_cast<uint32_t>(release.newCount);
  if (job.ActiveThrottStreamCount > job.ActiveStreamCount) {
    job.ActiveThrottStreamCount = job.ActiveStreamCount;
  }
  FreeStreamRecord(stream);

  if (job.ActiveStreamCount == 0) UnReserveJobIndex(jobSlot);
  return 0;
}

void CHxThrottlingManager::FoldReleasedStream(_TMJobRecord& job, _TMStreamRecord& stream,
                                              bool intoTable) {
  if (!TMReleaseMarked(stream) || (stream.Reserved1 & kTMReleaseCommitted) == 0) {
    // No total has changed yet: fold afresh from the stream's own fields.
    const uint32_t mark = TMReleaseMarked(stream)
                              ? stream.Reserved1
                              : kTMReleaseMark | (intoTable ? kTMReleaseIntoTable : 0u);
    OrderedStore(stream.Reserved1, mark);
    _TMReleaseTotals totals;
    const uint64_t size = stream.SizeProcessed;
    totals.TotalSizeProcessed = Table->TotalSizeProcessed;
    if ((mark & kTMReleaseIntoTable) != 0) totals.TotalSizeProcessed += size;
    totals.JobSizeProcessed = job.JobSizeProcessed + size;  // wrapping sums
    totals.JobStats = job.JobStats;
    _TMStats& sum = totals.JobStats;
    const _TMStats& last = stream.LastStats;
    sum.ReadSize += last.ReadSize;
    sum.NetworkSize += last.NetworkSize;
    sum.WriteSize += last.WriteSize;
    sum.SIDBLookupSamples += last.SIDBLookupSamples;
    sum.ReadTime += last.ReadTime;
    sum.WriteTime += last.WriteTime;
    sum.NetworkTime += last.NetworkTime;
    sum.SIDBLookupTime += last.SIDBLookupTime;
    TMWriteReleaseTotals(stream, totals);
    OrderedStore(stream.Reserved1, mark | kTMReleaseCommitted);
  }
  // Absolute values: writing them a second time changes nothing.
  const _TMReleaseTotals totals = TMReadReleaseTotals(stream);
  Table->TotalSizeProcessed = totals.TotalSizeProcessed;
  job.JobSizeProcessed = totals.JobSizeProcessed;
  const uint32_t jobType = job.JobStats.JobType;
  job.JobStats = totals.JobStats;
  job.JobStats.JobType = jobType;
}
