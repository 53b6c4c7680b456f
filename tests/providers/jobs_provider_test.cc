// The jobs provider on real throttle tables: which tables it attaches, the
// summary rows, the per-job rows with their interval reset, intervals from
// the configuration, and the release of its attachments.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hx_metrics.h"
#include "platform/hx_platform_info.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/common/test_env.h"
#include "tests/providers/jobs_test_support.h"
#include "throttling/throttling_manager.h"

using jobstest::RecordingCallback;
using jobstest::Value;

namespace {

class JobsProvider : public ::testing::Test {
 protected:
  std::string KeyFile(unsigned int kind) const {
    return inst_.jobResultsDir() + "/" + inst_.focus() +
           (kind == kTMKindInbound ? "_HX_THROTTLE_SHMEM_IN" : "_HX_THROTTLE_SHMEM_OUT");
  }
  // Number of attachments of a table's segment; -1 when there is no segment.
  int Attachments(unsigned int kind) const {
    key_t key = ftok(KeyFile(kind).c_str(), 0xFEFA);
    if (key == -1) return -1;
    int id = shmget(key, 0, 0);
    if (id == -1) return -1;
    shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0) return -1;
    return static_cast<int>(ds.shm_nattch);
  }
  // Makes the table's key file a dangling link: the key cannot be derived,
  // so attaching the table fails.
  void BlockTable(unsigned int kind) {
    ASSERT_EQ(symlink((inst_.root() + "/nowhere").c_str(), KeyFile(kind).c_str()), 0);
  }
  // Registers a stream of job on a job-side manager and reports bytes moved.
  unsigned long long AddStream(CHxThrottlingManager& m, uint32_t jobId, uint64_t bytes,
                               const char* computer = "client-1") {
    _TMSRegParams p;
    p.JobID = jobId;
    p.RCID = 1;
    strncpy(p.ComputerName, computer, sizeof(p.ComputerName) - 1);
    unsigned long long h = m.RegisterStream(p);
    EXPECT_NE(h, ~0ull);
    unsigned int rate = 0;
    EXPECT_EQ(m.GetThroughputRate(h, bytes, rate), 0);
    return h;
  }
  std::vector<RecordingCallback::Call> CallsOf(ResourceAgentType type) const {
    std::vector<RecordingCallback::Call> out;
    for (const auto& c : cb_.calls) {
      if (c.type == type) out.push_back(c);
    }
    return out;
  }

  hxtest::TestInstance inst_;
  RecordingCallback cb_;
};

TEST_F(JobsProvider, NameTypesAndIntervalsFromConfiguration) {
  CHxPerfProviderTarnellJobs p;
  std::string name;
  p.GetPerfProviderName(name);
  EXPECT_EQ(name, "Tarnell Job");
  std::vector<ResourceAgentType> types = {RSRC_AGENT_SYSTEM};
  p.GetSupprotedAgentTypes(types);
  EXPECT_EQ(types, (std::vector<ResourceAgentType>{RSRC_AGENT_JOBS_STREAM_READER,
                                                   RSRC_AGENT_JOBS_STREAM_WRITER,
                                                   RSRC_AGENT_JOBS_STATS}));

  // Absent values.
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STATS), 10u);
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STREAM_WRITER), 15u);
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STREAM_READER), 15u);
  // Seconds become whole minutes; less than a minute disables the job rows.
  inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "600");
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STATS), 10u);
  inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "179");
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STATS), 2u);
  inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "59");
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STATS), 0u);
  inst_.SetConfig("Hxd", "SysRsrcMonTarnellJobsMinutes", "0");
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STREAM_WRITER), 0u);
  inst_.SetConfig("Hxd", "SysRsrcMonTarnellJobsMinutes", "7");
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STREAM_READER), 7u);
  // The summary value does not leak into the job rows and vice versa.
  EXPECT_EQ(p.GetUpdateIntervalMinutes(RSRC_AGENT_JOBS_STATS), 0u);
}

TEST_F(JobsProvider, InitializeOnceWithACallback) {
  CHxPerfProviderTarnellJobs p;
  EXPECT_EQ(p.Initialize(nullptr, nullptr), -1);
  EXPECT_FALSE(
      inst_.LogLinesContaining("CHxPerfProviderTarnellJobs::Initialize:[ERROR]Invalid Callback address")
          .empty());
  EXPECT_EQ(Attachments(kTMKindInbound), -1);  // nothing attached by a refused call

  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(Attachments(kTMKindInbound), 1);
  EXPECT_EQ(Attachments(kTMKindOutbound), 1);

  RecordingCallback other;
  EXPECT_EQ(p.Initialize(nullptr, &other), 0);
  EXPECT_FALSE(
      inst_.LogLinesContaining("CHxPerfProviderTarnellJobs::Initialize: Already initialized").empty());
  EXPECT_EQ(Attachments(kTMKindInbound), 1);  // not attached twice
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_WRITER);
  EXPECT_EQ(cb_.calls.size(), 1u);  // still reports to the first callback
  EXPECT_TRUE(other.calls.empty());
}

TEST_F(JobsProvider, InboundOnlyMachineReportsWriterSummaryAndJobRows) {
  inst_.SetConfig("Platform", "PlatformType", "2");
  CHxThrottlingManager jobs;
  ASSERT_EQ(jobs.Initialize(inst_.focus().c_str(), 7, kTMKindInbound), 0);
  // Job 11: four streams, one of which finishes after moving 10 bytes.
  std::vector<unsigned long long> j11;
  for (uint64_t b : {10, 5, 15, 20}) j11.push_back(AddStream(jobs, 11, b));
  ASSERT_EQ(jobs.UnregisterStream(j11[0]), 0);
  // Job 12: four streams.
  for (uint64_t b : {10, 10, 10, 20}) AddStream(jobs, 12, b);

  CHxPerfProviderTarnellJobs p;
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(Attachments(kTMKindOutbound), -1);  // never tried

  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_READER);
  EXPECT_TRUE(cb_.calls.empty());

  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_WRITER);
  ASSERT_EQ(cb_.calls.size(), 1u);
  const RecordingCallback::Call& w = cb_.calls[0];
  EXPECT_EQ(w.type, RSRC_AGENT_JOBS_STREAM_WRITER);
  EXPECT_EQ(w.object, "JobsStreamWriter");
  EXPECT_EQ(w.items.version, "1.0");
  EXPECT_EQ(w.items.columns,
            (std::vector<std::string>{"TotalBytesRecieved", "ActiveJobs", "ActiveStreams"}));
  ASSERT_EQ(w.items.rows.size(), 1u);
  EXPECT_EQ(w.items.rows[0], (std::vector<std::string>{"100", "2", "7"}));

  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STATS);
  auto rows = CallsOf(RSRC_AGENT_JOBS_STATS);
  ASSERT_EQ(rows.size(), 2u);
  std::vector<std::string> ids = {Value(rows[0].items, 0, "Job-ID"),
                                  Value(rows[1].items, 0, "Job-ID")};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"11", "12"}));
  ASSERT_EQ(jobs.Uninitialize(), 0);
}

TEST_F(JobsProvider, OutboundSummaryIsReportedAlsoForAnEmptyTable) {
  CHxPerfProviderTarnellJobs p;
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_READER);
  ASSERT_EQ(cb_.calls.size(), 1u);
  EXPECT_EQ(cb_.calls[0].object, "JobsStreamReader");
  EXPECT_EQ(cb_.calls[0].items.version, "1.0");
  EXPECT_EQ(cb_.calls[0].items.columns,
            (std::vector<std::string>{"TotalBytesSent", "ActiveJobs", "ActiveStreams"}));
  EXPECT_EQ(cb_.calls[0].items.rows,
            (std::vector<std::vector<std::string>>{{"0", "0", "0"}}));
  // Types the provider does not serve report nothing.
  p.UpdatePerfCounters(RSRC_AGENT_SYSTEM);
  EXPECT_EQ(cb_.calls.size(), 1u);
}

TEST_F(JobsProvider, JobRowsCoverOneIntervalEach) {
  CHxThrottlingManager jobs;
  ASSERT_EQ(jobs.Initialize(inst_.focus().c_str(), 7, kTMKindInbound), 0);
  unsigned long long a = AddStream(jobs, 21, 0, "src-a");
  unsigned long long b = AddStream(jobs, 21, 0, "src-b");
  _TMStats s;
  s.ReadSize = 1000;
  s.ReadTime = 10;
  s.JobType = 2;
  ASSERT_EQ(jobs.UpdateStreamStats(a, s), 0);
  s.ReadSize = 3000;
  s.ReadTime = 20;
  ASSERT_EQ(jobs.UpdateStreamStats(b, s), 0);

  CHxPerfProviderTarnellJobs p;
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STATS);
  ASSERT_EQ(cb_.calls.size(), 1u);
  const _PerfLogItems& first = cb_.calls[0].items;
  EXPECT_EQ(Value(first, 0, "Job-ID"), "21");
  EXPECT_EQ(Value(first, 0, "Stream-Source"), "src-a");
  EXPECT_EQ(Value(first, 0, "Active-Streams"), "2");
  EXPECT_EQ(Value(first, 0, "Job-Type"), HxJobPerfManager::GetPerfCounterName(2));
  EXPECT_EQ(Value(first, 0, "Total-Read-Size"), "4000");
  EXPECT_EQ(Value(first, 0, "Current-Read-Size"), "4000");
  EXPECT_EQ(Value(first, 0, "Current-Read-Time"), "30");

  // The enumeration reset the interval: only what is reported after it counts.
  s.ReadSize = 3500;
  s.ReadTime = 25;
  ASSERT_EQ(jobs.UpdateStreamStats(b, s), 0);
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STATS);
  ASSERT_EQ(cb_.calls.size(), 2u);
  const _PerfLogItems& second = cb_.calls[1].items;
  EXPECT_EQ(Value(second, 0, "Total-Read-Size"), "4500");
  EXPECT_EQ(Value(second, 0, "Current-Read-Size"), "500");
  EXPECT_EQ(Value(second, 0, "Current-Read-Time"), "5");
  ASSERT_EQ(jobs.Uninitialize(), 0);
}

TEST_F(JobsProvider, UninitializeAndDestructionReleaseTheTables) {
  CHxThrottlingManager jobs;
  ASSERT_EQ(jobs.Initialize(inst_.focus().c_str(), 7, kTMKindInbound), 0);
  AddStream(jobs, 5, 1);
  {
    CHxPerfProviderTarnellJobs p;
    ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
    EXPECT_EQ(Attachments(kTMKindInbound), 2);
    EXPECT_EQ(p.Uninitialize(), 0);
    EXPECT_EQ(Attachments(kTMKindInbound), 1);
    EXPECT_EQ(Attachments(kTMKindOutbound), -1);  // its last user left: removed
    EXPECT_EQ(p.Uninitialize(), 0);                // a second call changes nothing
    EXPECT_EQ(Attachments(kTMKindInbound), 1);
    for (ResourceAgentType t : {RSRC_AGENT_JOBS_STREAM_READER, RSRC_AGENT_JOBS_STREAM_WRITER,
                                RSRC_AGENT_JOBS_STATS}) {
      p.UpdatePerfCounters(t);
    }
    EXPECT_TRUE(cb_.calls.empty());
  }
  {
    CHxPerfProviderTarnellJobs p;
    ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
    EXPECT_EQ(Attachments(kTMKindInbound), 2);
  }  // destroyed without Uninitialize
  EXPECT_EQ(Attachments(kTMKindInbound), 1);
  ASSERT_EQ(jobs.Uninitialize(), 0);
  EXPECT_EQ(Attachments(kTMKindInbound), -1);
}

TEST_F(JobsProvider, OneUnavailableTableDoesNotDisableTheOther) {
  BlockTable(kTMKindOutbound);
  CHxPerfProviderTarnellJobs p;
  // Succeeds: the inbound agent types can still report, whichever of them
  // the perf manager initialises first.
  EXPECT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_FALSE(inst_.LogLinesContaining(
                        "CHxPerfProviderTarnellJobs::Initialize:[ERROR]Initializing  "
                        "ThrottlingManager-Out")
                   .empty());
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_READER);
  EXPECT_TRUE(cb_.calls.empty());
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_WRITER);
  EXPECT_EQ(cb_.calls.size(), 1u);
  p.Uninitialize();
}

TEST_F(JobsProvider, InitializeFailsWhenNoTableCanBeAttached) {
  BlockTable(kTMKindInbound);
  BlockTable(kTMKindOutbound);
  CHxPerfProviderTarnellJobs p;
  EXPECT_EQ(p.Initialize(nullptr, &cb_), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-In").empty());
}

TEST_F(JobsProvider, MachineWithoutTablesInitialisesAndNeverReports) {
  inst_.SetConfig("Platform", "PlatformType", "1");
  CHxPerfProviderTarnellJobs p;
  EXPECT_EQ(p.Initialize(nullptr, &cb_), 0);
  for (ResourceAgentType t : {RSRC_AGENT_JOBS_STREAM_READER, RSRC_AGENT_JOBS_STREAM_WRITER,
                              RSRC_AGENT_JOBS_STATS}) {
    p.UpdatePerfCounters(t);
  }
  EXPECT_TRUE(cb_.calls.empty());
  EXPECT_EQ(Attachments(kTMKindInbound), -1);
  EXPECT_EQ(Attachments(kTMKindOutbound), -1);
}

}  // namespace
