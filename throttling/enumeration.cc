// Reading the whole table: the data-size summary and the job-by-job
// enumeration.
//
// Both copy what they need under the table lock and touch nothing afterwards.
// The enumeration's callbacks run after the lock is released, on the copies,
// so a slow callback never holds up the processes that use the table.
#include <cstring>

#include "throttling/table_lock.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

// The eight counters; the JobType word is left as it is.
void ClearCounters(_TMStats& stats) {
  const uint32_t jobType = stats.JobType;
  stats = _TMStats();
  stats.JobType = jobType;
}

}  // namespace

int CHxThrottlingManager::GetDataSizeInfo(unsigned long long& total,
                                          std::vector<_TMAllJobStreamInfo>& jobs) try {
  static const char kLabel[] = "GetDataSizeInfo()";
  std::vector<_TMAllJobStreamInfo> found;
  unsigned long long sum = 0;
  {
  TableLock lock(*this);
  if (!lock.held()) return -1;
  const _TMThrottleTable& t = *Table;
  sum = t.TotalSizeProcessed;
  const unsigned int jobCount = SafeJobCount(kLabel);
  for (unsigned int i = 0; i < jobCount; ++i) {
    const int jobSlot = SafeJobSlotAt(i, kLabel);
    if (jobSlot < 0) continue;
    const _TMJobRecord& job = t.Jobs[jobSlot];
    const unsigned int streams = SafeStreamCount(static_cast<unsigned int>(jobSlot), kLabel);
    if (streams == 0) continue;
    _TMAllJobStreamInfo info;
    info.JobID = job.JobID;
    info.ActiveStreamCount = job.ActiveStreamCount;
    info.SizeProcessed = job.JobSizeProcessed;
    for (unsigned int k = 0; k < streams; ++k) {
      const int streamSlot = SafeStreamSlotAt(static_cast<unsigned int>(jobSlot), k, kLabel);
      if (streamSlot < 0) continue;
      const uint64_t size = job.Streams[streamSlot].SizeProcessed;
      info.SizeProcessed += size;
      sum += size;
    }
    found.push_back(info);
  }
  }
  total = sum;
  jobs.swap(found);
  return 0;
} catch (...) {
  LogFault("GetDataSizeInfo()");
  return -1;
}

int CHxThrottlingManager::EnumerateJobsInfo(void* context, IEnumerateJobInfoCallback* callback,
                                            unsigned long long options) try {
  return CopyAndReportJobs(context, callback, (options & 0x1) != 0, false);
} catch (...) {
  LogFault("EnumerateJobsInfo()");
  return -1;
}

int CHxThrottlingManager::SnapshotJobsInfo(void* context, IEnumerateJobInfoCallback* callback) try {
  return CopyAndReportJobs(context, callback, false, true);
} catch (...) {
  LogFault("EnumerateJobsInfo()");
  return -1;
}

int CHxThrottlingManager::CopyAndReportJobs(void* context, IEnumerateJobInfoCallback* callback,
                                            bool reset, bool readOnly) {
  static const char kLabel[] = "EnumerateJobsInfo()";
  struct JobCopy {
    _TMJobInfo job;
    std::vector<_TMStreamInfo> streams;
  };
  std::vector<JobCopy> copies;
  {
  TableLock lock(*this);
  if (!lock.held()) return -1;
  if (!readOnly) CheckAndCleanupStreams(false);

  const uint32_t now = env_->NowSeconds();
  _TMThrottleTable& t = *Table;
  const unsigned int jobCount = SafeJobCount(kLabel);
  copies.reserve(jobCount);
  for (unsigned int i = 0; i < jobCount; ++i) {
    const int jobSlot = SafeJobSlotAt(i, kLabel);
    if (jobSlot < 0) continue;
    _TMJobRecord& job = t.Jobs[jobSlot];
    const unsigned int streams = SafeStreamCount(static_cast<unsigned int>(jobSlot), kLabel);
    if (streams == 0) continue;

    copies.emplace_back();
    JobCopy& copy = copies.back();
    _TMJobInfo& info = copy.job;
    info.ActiveStreamCount = streams;
    info.JobID = job.JobID;
    info.ThrottleMBPH = job.ThrottleMBPH;
    info.PerStreamMBPH = job.PerStreamMBPH;
    info.StartTime = job.StartTime;
    info.LastEnumTime = job.LastEnumTime;
    info.JobType = job.JobType;
    info.JobSizeProcessed = job.JobSizeProcessed;
    info.JobStats = job.JobStats;
    info.JobStats.JobType = 0;
    if (!readOnly) job.LastEnumTime = now;

    copy.streams.resize(streams);
    for (unsigned int k = 0; k < streams; ++k) {
      _TMStreamInfo& out = copy.streams[k];
      const int streamSlot = SafeStreamSlotAt(static_cast<unsigned int>(jobSlot), k, kLabel);
      _TMStreamRecord* stream = streamSlot >= 0 ? &job.Streams[streamSlot] : nullptr;
      if (!readOnly && (stream == nullptr || stream->StartTime == 0)) {
        // The position names no registered stream: report it with the whole
        // table, and hand out the (zero) copy all the same.
        Log.debugLvl(1, LogTag,
                     "[%u] [%u]============================= [ERROR] "
                     "=============================================",
                     i, k);
        DumpAll(true);
      }
      if (stream == nullptr) continue;
      out.SizeProcessed = stream->SizeProcessed;
      out.LatUpdateTime = stream->LatUpdateTime;
      out.StartTime = stream->StartTime;
      out.JobID = stream->JobID;
      out.Flags = stream->Flags;
      out.RCID = stream->RCID;
      memcpy(out.Type, stream->Type, sizeof(out.Type));
      out.Handle = GetHandle(static_cast<unsigned int>(jobSlot),
                             static_cast<unsigned int>(streamSlot), stream->UniqueID);
      // At most 47 characters, up to the first NUL; the copy stays terminated.
      const size_t maxName = sizeof(out.ComputerName) - 1;
      const void* nul = memchr(stream->ComputerName, '\0', maxName);
      const size_t nameLength =
          nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - stream->ComputerName)
                         : maxName;
      memcpy(out.ComputerName, stream->ComputerName, nameLength);
      out.ComputerName[nameLength] = '\0';
      out.LastStats = stream->LastStats;
      out.CurrentStats = stream->CurrentStats;
      if (reset) ClearCounters(stream->CurrentStats);
    }
  }
  }

  if (callback == nullptr) return 0;
  // The callback is the caller's code: an exception from it ends the walk
  // here rather than unwinding through the library's interface.
  try {
    for (JobCopy& copy : copies) {
      if (callback->OnThrottelingInfo(context, &copy.job, copy.streams.data(),
                                      static_cast<unsigned int>(copy.streams.size())) != 0) {
        break;
      }
    }
  } catch (...) {
    LogFault(kLabel);
    return -1;
  }
  return 0;
}
