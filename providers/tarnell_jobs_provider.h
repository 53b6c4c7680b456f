// The jobs perf provider: reports the platform's own data movement as seen in
// the machine's throttle tables.
//
// Agent types and what each update reports:
//   4 (JobsStreamReader)  one summary row of the outbound table
//   6 (JobsStreamWriter)  one summary row of the inbound table
//   9 (JobsStats)         one row per active inbound job (job_stats_rows.cc)
// The provider attaches its own two throttling managers (inbound and outbound,
// as the platform type says) on the first Initialize and keeps them attached
// until Uninitialize or destruction. It runs on the perf manager's monitor
// thread only and holds no lock of its own: table work is serialised with the
// job processes by each table's named mutex, and rows are reported after that
// mutex has been released.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev_debug.h"
#include "platform/hx_env.h"
#include "platform/hx_export.h"
#include "providers/perf_log_items.h"
#include "providers/perf_provider.h"
#include "providers/resource_agent_type.h"
#include "throttling/throttling_manager.h"
#include "throttling/throttling_types.h"

// Configuration values (section "Hxd") read for the intervals.
#define JOBS_STATS_INTERVAL_REGKEY "PerfUpdateIntervalSeconds"     // seconds; type 9
#define JOBS_SUMMARY_INTERVAL_REGKEY "SysRsrcMonTarnellJobsMinutes"  // minutes; types 4, 6

class HX_EXPORT CHxPerfProviderTarnellJobs : public iCHxPerfProvider,
                                               public IEnumerateJobInfoCallback {
 public:
  // env supplies the clock used for job durations and intervals; not owned.
  explicit CHxPerfProviderTarnellJobs(HxEnv* env = HxEnv::Default());
  // Detaches both tables when still attached.
  ~CHxPerfProviderTarnellJobs() override;

  CHxPerfProviderTarnellJobs(const CHxPerfProviderTarnellJobs&) = delete;
  CHxPerfProviderTarnellJobs& operator=(const CHxPerfProviderTarnellJobs&) = delete;

  // "Tarnell Job".
  void GetPerfProviderName(std::string& name) override;
  // 4, 6 and 9, in that order.
  void GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) override;
  // The first call with a callback attaches the tables the platform type
  // names; later calls change nothing and return 0. -1 for a null callback,
  // and -1 when every table it tried to attach failed (the agent types then
  // report nothing). 0 otherwise, also when no table applies.
  int32_t Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) override;
  // Detaches both tables; always 0. Updates afterwards report nothing.
  int32_t Uninitialize() override;
  // Type 9: "PerfUpdateIntervalSeconds" / 60 (absent: 10); types 4 and 6:
  // "SysRsrcMonTarnellJobsMinutes" (absent: 15). 0 disables the type.
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType type) override;
  // Type 6: inbound summary row; type 4: outbound summary row; type 9: one
  // row per active inbound job, resetting the tables' current-interval stats.
  void UpdatePerfCounters(ResourceAgentType type) override;
  // No effect.
  void SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                    std::vector<std::string>& values) override;

  // Turns one enumerated inbound job into one "JobsStats" row (version "1.3")
  // and reports it through the callback given to Initialize (nothing is
  // reported before that). Always 0, so the enumeration goes on.
  int OnThrottelingInfo(void* context, _TMJobInfo* job, _TMStreamInfo* streams,
                        unsigned int streamCount) override;

  // Enumerates the inbound table with the reset option; rows come back
  // through OnThrottelingInfo. Nothing happens when the table is not attached.
  void UpdateJobStats();

  // Gigabytes (1024^3 bytes) per hour of size1 bytes in time1 seconds into
  // rate1, and of size2 in time2 into rate2: floor(size * 3600 / time) / 1024^3,
  // computed without 64-bit wrap-around. A zero size or time gives 0.0.
  static void ComputeThroughput(uint64_t size1, uint32_t time1, uint64_t size2, uint32_t time2,
                                double& rate1, double& rate2);

 private:
  // Reports one summary row of manager's table under objectName.
  void ReportSummary(CHxThrottlingManager& manager, ResourceAgentType type,
                     const char* objectName, _PerfLogItems& items);

  iCHxPerfUpdateCallback* m_pCallback;
  bool m_bInitialized;
  EvDebug* m_pLog;
  EvDebug m_ownLog;
  bool m_bHasOutTable;
  bool m_bHasInTable;
  bool m_bOutManagerReady;
  bool m_bInManagerReady;
  CHxThrottlingManager m_outManager;
  CHxThrottlingManager m_inManager;
  HxEnv* env_;
};
