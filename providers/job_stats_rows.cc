// The "JobsStats" rows of the jobs provider: one row per active inbound job,
// built from the copies that the table enumeration hands over.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "platform/hx_metrics.h"
#include "platform/hx_platform_info.h"
#include "providers/tarnell_jobs_provider.h"

namespace {

const char* const kJobStatsColumns[] = {
    "Job-ID",
    "Stream-Source",
    "Stream-Destination",
    "Job-Type",
    "Job-Duration",
    "Job-Duration-Seconds",
    "Active-Streams",
    "Total-Job-Throughput",
    "Current-Job-Throughput",
    "Total-Read-Size",
    "Current-Read-Size",
    "Current-Read-Time",
    "Current-Read-Throughput",
    "Total-Network-Size",
    "Current-Network-Size",
    "Current-Network-Time",
    "Current-Network-Throughput",
    "Total-Write-Size",
    "Current-Write-Size",
    "Current-Write-Time",
    "Current-Write-Throughput",
    "Total-SIDBLookup-Samples",
    "Current-SIDBLookup-Samples",
    "Current-SIDBLookup-Time",
    "Current-Avg-SIDBLooupTime",
};

// Bytes per hour, floor(size * 3600 / seconds), as a double. The quotient is
// exact whenever it fits in 64 bits (size * 3600 itself may not: it is split
// as (q * seconds + r) * 3600); a larger one is computed in floating point
// instead of wrapping around.
double BytesPerHour(uint64_t size, uint32_t seconds) {
  const uint64_t q = size / seconds;
  const uint64_t r = size % seconds;
  const uint64_t tail = (r * 3600u) / seconds;  // r < 2^32, so r * 3600 < 2^44
  if (q <= (std::numeric_limits<uint64_t>::max() - tail) / 3600u) {
    return static_cast<double>(q * 3600u + tail);
  }
  return static_cast<double>(q) * 3600.0 + static_cast<double>(tail);
}

double GiBPerHour(uint64_t size, uint32_t seconds) {
  if (size == 0 || seconds == 0) return 0.0;
  return BytesPerHour(size, seconds) / 1024.0 / 1024.0 / 1024.0;
}

// Formats into a zeroed buffer of 1024 bytes, keeping at most 128 characters.
template <typename... Args>
std::string Format128(const char* format, Args... args) {
  char buffer[1024] = {};
  snprintf(buffer, 129, format, args...);
  return buffer;
}

// Seconds from begin to now; 0 when begin lies ahead of now (a clock that
// went back, or a start stamped by a process with a faster clock).
uint32_t SecondsSince(uint32_t begin, uint32_t now) { return now >= begin ? now - begin : 0; }

// Interval and totals of one kind of transfer (read, network or write).
struct TransferSums {
  uint64_t total = 0;
  uint64_t currentSize = 0;
  uint32_t currentTime = 0;
  double currentThroughput = 0.0;

  void AddStream(uint64_t lastSize, uint32_t lastTime, uint64_t curSize, uint32_t curTime) {
    double wholeLife = 0.0, interval = 0.0;
    CHxPerfProviderTarnellJobs::ComputeThroughput(lastSize, lastTime, curSize, curTime, wholeLife,
                                                  interval);
    currentThroughput += interval;
    total += lastSize;
    currentSize += curSize;
    currentTime += curTime;
  }
};

}  // namespace

void CHxPerfProviderTarnellJobs::ComputeThroughput(uint64_t size1, uint32_t time1, uint64_t size2,
                                                   uint32_t time2, double& rate1, double& rate2) {
  rate1 = 0.0;
  rate2 = 0.0;
  rate1 = GiBPerHour(size1, time1);
  rate2 = GiBPerHour(size2, time2);
}

int CHxPerfProviderTarnellJobs::OnThrottelingInfo(void* /*context*/, _TMJobInfo* job,
                                                  _TMStreamInfo* streams,
                                                  unsigned int streamCount) {
  if (job == nullptr) return 0;
  if (streams == nullptr) streamCount = 0;

  const uint32_t now = env_->NowSeconds();
  const uint32_t duration = SecondsSince(job->StartTime, now);
  // The current-interval statistics accumulate from the previous enumeration,
  // or, for a job never enumerated before, from its start (its streams'
  // current statistics start at zero when they register).
  const uint32_t intervalBegin = job->LastEnumTime != 0 ? job->LastEnumTime : job->StartTime;
  const uint32_t interval = SecondsSince(intervalBegin, env_->NowSeconds());

  TransferSums read, network, write;
  read.total = job->JobStats.ReadSize;
  network.total = job->JobStats.NetworkSize;
  write.total = job->JobStats.WriteSize;
  uint64_t totalSidb = job->JobStats.SIDBLookupSamples;
  uint64_t currentSidbSamples = 0;
  uint32_t currentSidbTime = 0;
  std::string source;

  for (unsigned int i = 0; i < streamCount; ++i) {
    const _TMStreamInfo& s = streams[i];
    if (i == 0) {
      char name[sizeof(s.ComputerName) + 1] = {};
      memcpy(name, s.ComputerName, sizeof(s.ComputerName));
      source = name;
    }
    read.AddStream(s.LastStats.ReadSize, s.LastStats.ReadTime, s.CurrentStats.ReadSize,
                   s.CurrentStats.ReadTime);
    network.AddStream(s.LastStats.NetworkSize, s.LastStats.NetworkTime,
                      s.CurrentStats.NetworkSize, s.CurrentStats.NetworkTime);
    write.AddStream(s.LastStats.WriteSize, s.LastStats.WriteTime, s.CurrentStats.WriteSize,
                    s.CurrentStats.WriteTime);
    totalSidb += s.LastStats.SIDBLookupSamples;
    currentSidbSamples += s.CurrentStats.SIDBLookupSamples;
    currentSidbTime += s.CurrentStats.SIDBLookupTime;
  }

  const double avgSidb =
      currentSidbTime != 0 ? static_cast<double>(currentSidbSamples / currentSidbTime) : 0.0;
  double totalJobRate = 0.0, currentJobRate = 0.0;
  ComputeThroughput(read.total, duration, read.currentSize, interval, totalJobRate,
                    currentJobRate);

  HxPlatformInfo info;
  const char* machine = info.getPhysicalMachine();
  std::string jobType = HxJobPerfManager::GetPerfCounterName(job->JobType);
  if (jobType.size() > 1023) jobType.resize(1023);

  typedef unsigned long long ull;
  _PerfLogItems items;
  items.version = "1.3";
  items.columns.assign(std::begin(kJobStatsColumns), std::end(kJobStatsColumns));
  items.rows.push_back({
      Format128("%u", job->JobID),
      source,
      machine != nullptr ? machine : "",
      jobType,
      Format128("%u:%02u:%02u", duration / 3600, (duration % 3600) / 60, duration % 60),
      Format128("%u", duration),
      Format128("%u", job->ActiveStreamCount),
      Format128("%.2f", totalJobRate),
      Format128("%.2f", currentJobRate),
      Format128("%llu", static_cast<ull>(read.total)),
      Format128("%llu", static_cast<ull>(read.currentSize)),
      Format128("%u", read.currentTime),
      Format128("%.2f", read.currentThroughput),
      Format128("%llu", static_cast<ull>(network.total)),
      Format128("%llu", static_cast<ull>(network.currentSize)),
      Format128("%u", network.currentTime),
      Format128("%.2f", network.currentThroughput),
      Format128("%llu", static_cast<ull>(write.total)),
      Format128("%llu", static_cast<ull>(write.currentSize)),
      Format128("%u", write.currentTime),
      Format128("%.2f", write.currentThroughput),
      Format128("%llu", static_cast<ull>(totalSidb)),
      Format128("%llu", static_cast<ull>(currentSidbSamples)),
      Format128("%u", currentSidbTime),
      Format128("%.2f", avgSidb),
  });
  if (m_pCallback != nullptr) m_pCallback->OnUpdateLog(RSRC_AGENT_JOBS_STATS, "JobsStats", items);
  return 0;
}
