// Per-stream transfer statistics.
//
// A report carries running totals since the stream started. The stream keeps
// the last report (LastStats) and adds the increase since the previous report
// to its current-interval totals (CurrentStats), which an enumeration with the
// reset option zeroes. Differences are taken in the counter's own width and
// wrap, so a report that goes backwards is added as it is, never refused.
#include "throttling/table_lock.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

int CHxThrottlingManager::UpdateStreamStats(unsigned long long handle, _TMStats& stats) try {
  static const char kLabel[] = "CHxThrottlingManager::UpdatePerformanceThroughput";
  TableLock lock(*this);
  if (!lock.held()) return -1;
  unsigned int jobSlot = 0, streamSlot = 0, uniqueId = 0;
  SplitHandle(handle, jobSlot, streamSlot, uniqueId);
  if (!HandleSlotsInRange(kLabel, jobSlot, streamSlot)) return -1;
  _TMJobRecord& job = Table->Jobs[jobSlot];
  _TMStreamRecord& stream = job.Streams[streamSlot];
  if (stream.UniqueID != uniqueId || (stream.Flags & kTMStreamInUse) == 0) return 2;

  if (job.JobType == 0) job.JobType = stats.JobType;
  _TMStats& current = stream.CurrentStats;
  const _TMStats& last = stream.LastStats;
  current.ReadSize += stats.ReadSize - last.ReadSize;
  current.NetworkSize += stats.NetworkSize - last.NetworkSize;
  current.WriteSize += stats.WriteSize - last.WriteSize;
  current.SIDBLookupSamples += stats.SIDBLookupSamples - last.SIDBLookupSamples;
  current.ReadTime += stats.ReadTime - last.ReadTime;
  current.WriteTime += stats.WriteTime - last.WriteTime;
  current.NetworkTime += stats.NetworkTime - last.NetworkTime;
  current.SIDBLookupTime += stats.SIDBLookupTime - last.SIDBLookupTime;
  stream.LastStats = stats;
  return 0;
} catch (...) {
  LogFault("CHxThrottlingManager::UpdatePerformanceThroughput");
  return -1;
}
