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
#include "providers/tarnell_jobs_provider.h"
#include "tests/providers/linux_provider_test_support.h"
#include "throttling/throttling_manager.h"

using hxtest::Value;

namespace {

const ResourceAgentType kJobTypes[] = {RSRC_AGENT_JOBS_STREAM_READER,
                                       RSRC_AGENT_JOBS_STREAM_WRITER, RSRC_AGENT_JOBS_STATS};

class JobsProvider : public ::testing::Test {
 protected:
  std::string KeyFile(unsigned int kind) const {
    return inst_.jobResultsDir() + "/" + inst_.focus() +
           (kind == kTMKindInbound ? "_HX_THROTTLE_SHMEM_IN" : "_HX_THROTTLE_SHMEM_OUT");
  }
  // Number of attachments of a table's segment; -1 when there is no segment.
  int Attachments(unsigned int kind) const {
    key_t key = ftok(KeyFile(kind).c_str(), 0xFEFA);
    int id = key == -1 ? -1 : shmget(key, 0, 0);
    shmid_ds ds;
    return id == -1 || shmctl(id, IPC_STAT, &ds) != 0 ? -1 : static_cast<int>(ds.shm_nattch);
  }
  // Makes the table's key file a dangling link: attaching the table fails.
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
  void UpdateAll(CHxPerfProviderTarnellJobs& p) {
    for (ResourceAgentType t : kJobTypes) p.UpdatePerfCounters(t);
  }

  hxtest::TestInstance inst_;
  hxtest::CaptureCallback cb_;
};

TEST_F(JobsProvider, IntervalsFromConfiguration) {
  CHxPerfProviderTarnellJobs p;
  struct Step {
    const char* key;  // nullptr: defaults
    const char* value;
    ResourceAgentType type;
    unsigned int minutes;
  } steps[] = {
      {nullptr, nullptr, RSRC_AGENT_JOBS_STATS, 10},
      {nullptr, nullptr, RSRC_AGENT_JOBS_STREAM_WRITER, 15},
      {nullptr, nullptr, RSRC_AGENT_JOBS_STREAM_READER, 15},
      // Seconds become whole minutes; less than a minute disables the job rows.
      {"PerfUpdateIntervalSeconds", "179", RSRC_AGENT_JOBS_STATS, 2},
      {"PerfUpdateIntervalSeconds", "59", RSRC_AGENT_JOBS_STATS, 0},
      {"SysRsrcMonTarnellJobsMinutes", "0", RSRC_AGENT_JOBS_STREAM_WRITER, 0},
      {"SysRsrcMonTarnellJobsMinutes", "7", RSRC_AGENT_JOBS_STREAM_READER, 7},
      // The summary value does not leak into the job rows.
      {nullptr, nullptr, RSRC_AGENT_JOBS_STATS, 0},
  };
  for (const Step& s : steps) {
    if (s.key) inst_.SetConfig("Hxd", s.key, s.value);
    EXPECT_EQ(p.GetUpdateIntervalMinutes(s.type), s.minutes) << (s.key ? s.value : "default");
  }
}

TEST_F(JobsProvider, InitializeOnceWithACallback) {
  CHxPerfProviderTarnellJobs p;
  EXPECT_EQ(p.Initialize(nullptr, nullptr), -1);
  EXPECT_FALSE(inst_.LogLinesContaining(
                        "CHxPerfProviderTarnellJobs::Initialize:[ERROR]Invalid Callback address")
                   .empty());
  EXPECT_EQ(Attachments(kTMKindInbound), -1);  // nothing attached by a refused call

  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  hxtest::CaptureCallback other;
  EXPECT_EQ(p.Initialize(nullptr, &other), 0);
  EXPECT_FALSE(inst_.LogLinesContaining(
                        "CHxPerfProviderTarnellJobs::Initialize: Already initialized")
                   .empty());
  EXPECT_EQ(Attachments(kTMKindInbound), 1);  // not attached twice
  EXPECT_EQ(Attachments(kTMKindOutbound), 1);
  // The outbound summary is reported also for an empty table, to the first
  // callback; types the provider does not serve report nothing.
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_READER);
  p.UpdatePerfCounters(RSRC_AGENT_SYSTEM);
  EXPECT_TRUE(other.reports.empty());
  ASSERT_EQ(cb_.reports.size(), 1u);
  EXPECT_EQ(cb_.reports[0].object, "JobsStreamReader");
  EXPECT_EQ(cb_.reports[0].items.version, "1.0");
  EXPECT_EQ(cb_.reports[0].items.columns,
            (std::vector<std::string>{"TotalBytesSent", "ActiveJobs", "ActiveStreams"}));
  EXPECT_EQ(cb_.reports[0].items.rows, (std::vector<std::vector<std::string>>{{"0", "0", "0"}}));
}

TEST_F(JobsProvider, InboundOnlyMachineReportsWriterSummaryAndJobRows) {
  inst_.SetConfig("Platform", "PlatformType", "2");
  CHxThrottlingManager jobs;
  ASSERT_EQ(jobs.Initialize(inst_.focus().c_str(), 7, kTMKindInbound), 0);
  // Job 11: four streams, one of which finishes after moving 10 bytes.
  std::vector<unsigned long long> j11;
  for (uint64_t b : {10, 5, 15, 20}) j11.push_back(AddStream(jobs, 11, b));
  ASSERT_EQ(jobs.UnregisterStream(j11[0]), 0);
  for (uint64_t b : {10, 10, 10, 20}) AddStream(jobs, 12, b);

  CHxPerfProviderTarnellJobs p;
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(Attachments(kTMKindOutbound), -1);  // never tried
  UpdateAll(p);
  ASSERT_EQ(cb_.reports.size(), 3u);  // no reader summary
  const hxtest::CapturedReport& w = cb_.reports[0];
  EXPECT_EQ(w.type, RSRC_AGENT_JOBS_STREAM_WRITER);
  EXPECT_EQ(w.object, "JobsStreamWriter");
  EXPECT_EQ(w.items.version, "1.0");
  EXPECT_EQ(w.items.columns,
            (std::vector<std::string>{"TotalBytesRecieved", "ActiveJobs", "ActiveStreams"}));
  EXPECT_EQ(w.items.rows, (std::vector<std::vector<std::string>>{{"100", "2", "7"}}));
  std::vector<std::string> ids = {Value(cb_.reports[1].items, 0, "Job-ID"),
                                  Value(cb_.reports[2].items, 0, "Job-ID")};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"11", "12"}));
  ASSERT_EQ(jobs.Uninitialize(), 0);
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
  // The enumeration reset the interval: only what is reported after it counts.
  s.ReadSize = 3500;
  s.ReadTime = 25;
  ASSERT_EQ(jobs.UpdateStreamStats(b, s), 0);
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STATS);
  ASSERT_EQ(cb_.reports.size(), 2u);
  const _PerfLogItems& first = cb_.reports[0].items;
  const _PerfLogItems& second = cb_.reports[1].items;
  EXPECT_EQ(Value(first, 0, "Job-ID"), "21");
  EXPECT_EQ(Value(first, 0, "Stream-Source"), "src-a");
  EXPECT_EQ(Value(first, 0, "Active-Streams"), "2");
  EXPECT_EQ(Value(first, 0, "Job-Type"), HxJobPerfManager::GetPerfCounterName(2));
  const std::vector<std::pair<std::string, std::string>> sizes = {
      {"4000", "4500"}, {"4000", "500"}, {"30", "5"}};
  const char* columns[] = {"Total-Read-Size", "Current-Read-Size", "Current-Read-Time"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Value(first, 0, columns[i]), sizes[i].first) << columns[i];
    EXPECT_EQ(Value(second, 0, columns[i]), sizes[i].second) << columns[i];
  }
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
    UpdateAll(p);
    EXPECT_TRUE(cb_.reports.empty());
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

TEST_F(JobsProvider, UnavailableTablesDisableOnlyTheirOwnRows) {
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
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STREAM_WRITER);
  ASSERT_EQ(cb_.reports.size(), 1u);
  EXPECT_EQ(cb_.reports[0].type, RSRC_AGENT_JOBS_STREAM_WRITER);
  p.Uninitialize();
  // With no table attachable at all, Initialize fails.
  unlink(KeyFile(kTMKindInbound).c_str());
  BlockTable(kTMKindInbound);
  CHxPerfProviderTarnellJobs none;
  EXPECT_EQ(none.Initialize(nullptr, &cb_), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-In").empty());
  // A machine type without tables tries none: it initialises and never reports.
  inst_.SetConfig("Platform", "PlatformType", "1");
  CHxPerfProviderTarnellJobs without;
  EXPECT_EQ(without.Initialize(nullptr, &cb_), 0);
  UpdateAll(without);
  EXPECT_EQ(cb_.reports.size(), 1u);
  EXPECT_EQ(Attachments(kTMKindInbound), -1);
}

}  // namespace
