// Throughput allocation: the rate each throttled stream of every job may use.
//
// The machine's throughput (ComputerThrottleMBPH) is shared between the jobs
// that have throttled streams, honouring the jobs' own limits when they fit
// within it; each job's share is split evenly between its throttled streams.
// While any limit applies a throttled stream is never allotted less than
// 1 MBPH, because 0 means "no limit" to the streams that read it.
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

// At least 1 MBPH: 0 would lift the limit altogether.
inline uint32_t AtLeastOne(uint32_t mbph) { return mbph == 0 ? 1 : mbph; }

}  // namespace

int CHxThrottlingManager::RecomputeThroughputs() {
  static const char kLabel[] = "RecomputeThroughputs()";
  if (Table == nullptr) return 0;

  // Dead and silent streams leave before the counts are read; a pass that
  // removes streams recomputes on its own, and this rate-limited call returns
  // at once while that pass runs.
  CheckAndCleanupStreams(false);

  _TMThrottleTable& t = *Table;
  // The job slots in use, each checked once to name a real slot.
  uint32_t slots[kTMMaxJobs];
  unsigned int jobs = 0;
  const unsigned int positions = SafeJobCount(kLabel);
  for (unsigned int p = 0; p < positions; ++p) {
    const uint32_t slot = t.JobAT[p];
    if (slot < kTMMaxJobs) {
      slots[jobs++] = slot;
    } else {
      SafeJobSlotAt(p, kLabel);  // logs the impossible entry
    }
  }

  const uint32_t machine = t.ComputerThrottleMBPH;
  if (machine == 0) {
    // No machine limit: limited jobs share their own limit, others run free.
    for (unsigned int i = 0; i < jobs; ++i) {
      _TMJobRecord& job = t.Jobs[slots[i]];
      const uint32_t n = job.ActiveThrottStreamCount;
      const uint32_t limit = job.ThrottleMBPH;
      job.PerStreamMBPH = (n != 0 && limit != 0) ? AtLeastOne(limit / n) : 0;
    }
    DumpAll(false);
    return 0;
  }

  // Machine limit: totals over the jobs that have throttled streams.
  uint32_t streams = 0;    // throttled streams on the machine
  uint32_t limits = 0;     // sum of their jobs' own limits
  uint32_t unlimited = 0;  // jobs without a limit of their own
  for (unsigned int i = 0; i < jobs; ++i) {
    const _TMJobRecord& job = t.Jobs[slots[i]];
    if (job.ActiveThrottStreamCount == 0) continue;
    streams += job.ActiveThrottStreamCount;
    limits += job.ThrottleMBPH;
    if (job.ThrottleMBPH == 0) ++unlimited;
  }
  // What the job limits leave of the machine's throughput; negative when they
  // ask for more than the machine has.
  const int32_t rest = static_cast<int32_t>(machine - limits);

  if (rest < 0 || limits == 0) {
    // The job limits cannot all be met (or there are none): every throttled
    // stream of the machine gets the same share.
    const uint32_t each = AtLeastOne(streams > 0 ? machine / streams : machine);
    for (unsigned int i = 0; i < jobs; ++i) {
      _TMJobRecord& job = t.Jobs[slots[i]];
      job.PerStreamMBPH = job.ActiveThrottStreamCount != 0 ? each : 0;
    }
  } else {
    // Limited jobs get their limit; the rest is shared by the unlimited jobs.
    const uint32_t perUnlimitedJob =
        AtLeastOne(unlimited != 0 ? static_cast<uint32_t>(rest) / unlimited : 0);
    for (unsigned int i = 0; i < jobs; ++i) {
      _TMJobRecord& job = t.Jobs[slots[i]];
      const uint32_t n = job.ActiveThrottStreamCount;
      // A job without throttled streams keeps what its streams were last told.
      if (n == 0) continue;
      const uint32_t share = job.ThrottleMBPH != 0 ? job.ThrottleMBPH : perUnlimitedJob;
      job.PerStreamMBPH = AtLeastOne(share / n);
    }
  }
  DumpAll(false);
  return 0;
}
