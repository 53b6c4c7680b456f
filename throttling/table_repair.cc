// Check-and-repair of the throttle table after a lock holder died inside.
//
// A holder killed while it holds the lock can leave a half-made change: a
// slot flagged but not yet counted, an allocation-table entry moved but not
// its back index, a released slot not yet zeroed. The in-use flags are the
// truth the repair rebuilds from, because every change sets or clears a flag
// as one word: the allocation tables become permutations with exactly the
// flagged slots first (kept in their present order where it is sound), back
// indexes and counts follow, free records are zeroed, and a job slot left
// without streams is released unless a job limit holds it (a limit set for a
// job that has no stream yet is the one sound reason for such a slot). A
// stream whose release was under way (its release mark set) is first folded
// into the totals and freed, so that its bytes count exactly once.
#include <cstring>

#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

struct RepairCounts {
  unsigned int entries = 0;      // allocation-table entries rewritten
  unsigned int backIndexes = 0;  // JobOldATIdx / StreamOldATIdx set
  unsigned int counts = 0;       // index, active and throttled counts set
  unsigned int zeroed = 0;       // free records zeroed
  unsigned int released = 0;     // job slots without streams released
  unsigned int finished = 0;     // stream releases finished
  unsigned int Total() const {
    return entries + backIndexes + counts + zeroed + released + finished;
  }
};

// Rebuilds entries[0, max) as a permutation: the slots inUse says are in use
// first (those already among the first `count` entries keep their order),
// then the free slots in ascending order. Returns the number in use and
// counts every entry it changed.
template <typename InUse>
uint32_t RebuildAllocationTable(uint32_t* entries, uint32_t count, uint32_t max, InUse inUse,
                                unsigned int* changed) {
  bool placed[kTMMaxJobs > kTMMaxStreams ? kTMMaxJobs : kTMMaxStreams] = {};
  uint32_t rebuilt[kTMMaxJobs > kTMMaxStreams ? kTMMaxJobs : kTMMaxStreams];
  uint32_t n = 0;
  const uint32_t limit = count < max ? count : max;
  for (uint32_t p = 0; p < limit; ++p) {
    const uint32_t slot = entries[p];
    if (slot < max && !placed[slot] && inUse(slot)) {
      placed[slot] = true;
      rebuilt[n++] = slot;
    }
  }
  for (uint32_t slot = 0; slot < max; ++slot) {
    if (!placed[slot] && inUse(slot)) {
      placed[slot] = true;
      rebuilt[n++] = slot;
    }
  }
  const uint32_t used = n;
  for (uint32_t slot = 0; slot < max; ++slot) {
    if (!placed[slot]) rebuilt[n++] = slot;
  }
  for (uint32_t p = 0; p < max; ++p) {
    if (entries[p] != rebuilt[p]) {
      entries[p] = rebuilt[p];
      ++*changed;
    }
  }
  return used;
}

bool IsZero(const void* bytes, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

void SetCount(uint32_t& field, uint32_t value, unsigned int* changed) {
  if (field == value) return;
  field = value;
  ++*changed;
}

void SetBackIndex(uint32_t& field, uint32_t value, unsigned int* changed) {
  if (field == value) return;
  field = value;
  ++*changed;
}

// The bytes of a job record after its StreamAT: a free job's StreamAT is
// rewritten when the slot is reserved, so only the rest must be zero.
constexpr size_t kJobTailOffset = offsetof(_TMJobRecord, JobSizeProcessed);

void RepairJobStreams(_TMJobRecord& job, RepairCounts* repairs) {
  const uint32_t used = RebuildAllocationTable(
      job.StreamAT, job.StreamATIndex, kTMMaxStreams,
      [&job](uint32_t s) { return (job.Streams[s].Flags & kTMStreamInUse) != 0; },
      &repairs->entries);
  uint32_t throttled = 0;
  for (uint32_t p = 0; p < used; ++p) {
    _TMStreamRecord& stream = job.Streams[job.StreamAT[p]];
    SetBackIndex(stream.StreamOldATIdx, p, &repairs->backIndexes);
    if ((stream.Flags & (kTMStreamNotThrottled | kTMStreamUnresponsive)) == 0) ++throttled;
  }
  for (uint32_t p = used; p < kTMMaxStreams; ++p) {
    _TMStreamRecord& stream = job.Streams[job.StreamAT[p]];
    if (!IsZero(&stream, sizeof(stream))) {
      TMZeroRecord(stream);
      ++repairs->zeroed;
    }
  }
  SetCount(job.StreamATIndex, used, &repairs->counts);
  SetCount(job.ActiveStreamCount, used, &repairs->counts);
  SetCount(job.ActiveThrottStreamCount, throttled, &repairs->counts);
}

}  // namespace

unsigned int CHxThrottlingManager::CheckAndRepairTable(const char* reason) {
  if (Table == nullptr) return 0;
  _TMThrottleTable& t = *Table;
  RepairCounts repairs;

  // Jobs first: a job in use with no stream and no limit is released, so
  // that the job table is rebuilt from the final flags.
  for (uint32_t slot = 0; slot < kTMMaxJobs; ++slot) {
    _TMJobRecord& job = t.Jobs[slot];
    if ((job.Flags & kTMJobInUse) == 0) continue;
    if (job.Flags != kTMJobInUse) SetCount(job.Flags, kTMJobInUse, &repairs.counts);
    // A release its holder did not finish: its totals are completed (once),
    // then the slot is free like any other.
    for (_TMStreamRecord& stream : job.Streams) {
      if ((stream.Flags & kTMStreamInUse) != 0 && TMReleaseMarked(stream)) {
        FoldReleasedStream(job, stream, false);
        stream.Flags = 0;
        ++repairs.finished;
      }
    }
    RepairJobStreams(job, &repairs);
    if (job.StreamATIndex == 0 && job.ThrottleMBPH == 0) {
      TMZeroRecord(job);
      ++repairs.released;
    }
  }

  const uint32_t used = RebuildAllocationTable(
      t.JobAT, t.JobATIndex, kTMMaxJobs,
      [jobs = t.Jobs](uint32_t s) { return (jobs[s].Flags & kTMJobInUse) != 0; }, &repairs.entries);
  for (uint32_t p = 0; p < used; ++p) {
    SetBackIndex(t.Jobs[t.JobAT[p]].JobOldATIdx, p, &repairs.backIndexes);
  }
  for (uint32_t p = used; p < kTMMaxJobs; ++p) {
    _TMJobRecord& job = t.Jobs[t.JobAT[p]];
    unsigned char* tail = reinterpret_cast<unsigned char*>(&job) + kJobTailOffset;
    if (!IsZero(tail, sizeof(job) - kJobTailOffset)) {
      memset(tail, 0, sizeof(job) - kJobTailOffset);
      ++repairs.zeroed;
    }
  }
  SetCount(t.JobATIndex, used, &repairs.counts);
  SetCount(t.ActiveJobCount, used, &repairs.counts);

  const unsigned int total = repairs.Total();
  if (total != 0) {
    Log.debugLvl(1, LogTag,
                 "CheckAndRepairTable(): [ERROR] table [%s] repaired (%s): %u allocation "
                 "entries, %u back indexes, %u counts, %u free slots zeroed, %u job slots "
                 "without streams released, %u stream releases finished",
                 ShMemName.c_str(), reason != nullptr ? reason : "asked", repairs.entries,
                 repairs.backIndexes, repairs.counts, repairs.zeroed, repairs.released,
                 repairs.finished);
  } else {
    Log.debugLvl(1, LogTag, "CheckAndRepairTable(): table [%s] checked (%s): sound",
                 ShMemName.c_str(), reason != nullptr ? reason : "asked");
  }
  return total;
}
