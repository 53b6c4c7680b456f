// The jobs provider on real throttle tables (golden/jobs.txt): which tables it
// attaches and releases, the summaries, the per-job rows with their interval
// reset; and the per-job row arithmetic (golden/jobs_stats.txt).
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "providers/tarnell_jobs_provider.h"
#include "tests/providers/provider_support.h"

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
    unlink(KeyFile(kind).c_str());
    ASSERT_EQ(symlink((inst_.root() + "/nowhere").c_str(), KeyFile(kind).c_str()), 0);
  }
  // The reports of one update of each type, header line and rows.
  std::string Update(CHxPerfProviderTarnellJobs& p,
                     std::vector<ResourceAgentType> types = std::vector<ResourceAgentType>(
                         std::begin(kJobTypes), std::end(kJobTypes))) {
    cb_.reports.clear();
    for (ResourceAgentType t : types) p.UpdatePerfCounters(t);
    std::string text;
    for (const hxtest::CapturedReport& r : cb_.reports) {
      text += r.object + "|" + r.items.version + "|";
      for (size_t i = 0; i < r.items.columns.size(); ++i) text += (i ? "," : "") + r.items.columns[i];
      text += "\n" + hxtest::RowsText(r);
    }
    return text;
  }
  static std::string Golden(const std::string& name) {
    for (const hxtest::Block& b : hxtest::ReadBlocks("golden/jobs.txt")) {
      if (b.head == "=== " + name) return b.body;
    }
    return "no block " + name;
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  hxtest::CaptureCallback cb_;
};

TEST_F(JobsProvider, IdentityIntervalsAndTheLifeOfItsAttachments) {
  std::string name;
  std::vector<ResourceAgentType> types = {RSRC_AGENT_NONE};
  CHxPerfProviderTarnellJobs p;
  p.GetPerfProviderName(name);
  p.GetSupprotedAgentTypes(types);
  EXPECT_EQ(name, "Tarnell Job");
  EXPECT_EQ(types, std::vector<ResourceAgentType>(std::begin(kJobTypes), std::end(kJobTypes)));
  // {configuration value, agent type, minutes}: seconds of the job rows become
  // whole minutes; a summary value leaves them alone.
  const char* steps[][3] = {
      {"", "9", "10"}, {"", "6", "15"}, {"", "4", "15"},
      {"PerfUpdateIntervalSeconds=179", "9", "2"}, {"PerfUpdateIntervalSeconds=59", "9", "0"},
      {"SysRsrcMonTarnellJobsMinutes=0", "6", "0"}, {"SysRsrcMonTarnellJobsMinutes=7", "4", "7"},
      {"", "9", "0"}};
  for (const auto& s : steps) {
    const std::string set = s[0];
    if (!set.empty()) inst_.SetConfig("Hxd", set.substr(0, set.find('=')), set.substr(set.find('=') + 1));
    EXPECT_EQ(p.GetUpdateIntervalMinutes(static_cast<ResourceAgentType>(std::stoi(s[1]))),
              std::stoul(s[2])) << set << " " << s[1];
  }

  EXPECT_EQ(p.Initialize(nullptr, nullptr), -1);
  EXPECT_EQ(inst_.LogLinesContaining("CHxPerfProviderTarnellJobs::Initialize:[ERROR]Invalid "
                                     "Callback address").size(), 1u);
  EXPECT_EQ(Attachments(kTMKindInbound), -1);  // nothing attached by a refused call
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  hxtest::CaptureCallback other;
  EXPECT_EQ(p.Initialize(nullptr, &other), 0);
  EXPECT_EQ(inst_.LogLinesContaining("CHxPerfProviderTarnellJobs::Initialize: Already "
                                     "initialized").size(), 1u);
  EXPECT_EQ(Attachments(kTMKindInbound) + Attachments(kTMKindOutbound), 2);  // once each
  EXPECT_EQ(Update(p), Golden("empty tables"));  // to the first callback only
  EXPECT_EQ(Update(p, {RSRC_AGENT_SYSTEM, RSRC_AGENT_NONE}) + other.Text(), "");
  {
    CHxPerfProviderTarnellJobs second;
    ASSERT_EQ(second.Initialize(nullptr, &cb_), 0);
    EXPECT_EQ(Attachments(kTMKindInbound), 2);
  }  // destroyed without Uninitialize
  EXPECT_EQ(Attachments(kTMKindInbound), 1);
  EXPECT_EQ(p.Uninitialize(), 0);
  EXPECT_EQ(Attachments(kTMKindInbound), -1);  // its last user left: removed
  EXPECT_EQ(Attachments(kTMKindOutbound), -1);
  EXPECT_EQ(p.Uninitialize(), 0);
  EXPECT_EQ(Update(p), "");
}

TEST_F(JobsProvider, SummariesAndJobRowsFromTheTable) {
  CHxThrottlingManager jobs(&env_);
  ASSERT_EQ(jobs.Initialize(inst_.focus().c_str(), 7, kTMKindInbound), 0);
  std::vector<unsigned long long> streams;
  const uint64_t moved[2][4] = {{10, 5, 15, 20}, {10, 10, 10, 20}};
  for (uint32_t job : {11, 12}) {
    for (uint64_t bytes : moved[job - 11]) {
      _TMSRegParams reg;
      reg.JobID = job;
      strcpy(reg.ComputerName, "client-1");
      streams.push_back(jobs.RegisterStream(reg));
      unsigned int rate = 0;
      ASSERT_EQ(jobs.GetThroughputRate(streams.back(), bytes, rate), 0);
    }
  }
  ASSERT_EQ(jobs.UnregisterStream(streams[0]), 0);
  _TMStats s;
  s.ReadSize = 1ull << 30;
  s.ReadTime = 1800;
  s.JobType = 2;
  ASSERT_EQ(jobs.UpdateStreamStats(streams[1], s), 0);
  CHxPerfProviderTarnellJobs p(&env_);
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(Update(p), Golden("two jobs"));
  env_.now += 3600;
  s.ReadSize = 3ull << 30;
  s.ReadTime = 3600;
  ASSERT_EQ(jobs.UpdateStreamStats(streams[1], s), 0);
  EXPECT_EQ(Update(p, {RSRC_AGENT_JOBS_STATS}), Golden("an hour later"));
  ASSERT_EQ(jobs.Uninitialize(), 0);
}

// A table that cannot be attached silences only its own rows; with none
// attachable Initialize fails; a machine type without tables tries none.
TEST_F(JobsProvider, UnavailableTablesDisableOnlyTheirOwnRows) {
  BlockTable(kTMKindOutbound);
  CHxPerfProviderTarnellJobs p;
  EXPECT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(inst_.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-Out").size(), 1u);
  EXPECT_EQ(Update(p), Golden("inbound only"));
  p.Uninitialize();
  BlockTable(kTMKindInbound);
  CHxPerfProviderTarnellJobs none;
  EXPECT_EQ(none.Initialize(nullptr, &cb_), -1);
  EXPECT_EQ(inst_.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-In").size(), 1u);
  inst_.SetConfig("Platform", "PlatformType", "1");
  CHxPerfProviderTarnellJobs without;
  EXPECT_EQ(without.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(Update(without), "");
  inst_.SetConfig("Platform", "PlatformType", "2");  // inbound tables only
  unlink(KeyFile(kTMKindInbound).c_str());
  CHxPerfProviderTarnellJobs inbound;
  EXPECT_EQ(inbound.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(Update(inbound), Golden("inbound only"));
  EXPECT_EQ(Attachments(kTMKindOutbound), -1);  // never tried
}

// Reads the eight figures of golden/jobs_stats.txt into s.
void ReadStats(std::istream& in, _TMStats* s) {
  in >> s->ReadSize >> s->ReadTime >> s->NetworkSize >> s->NetworkTime >> s->WriteSize >>
      s->WriteTime >> s->SIDBLookupSamples >> s->SIDBLookupTime;
}

// Per-job rows from enumerated copies. Each case hands over one stream more
// than it counts: no row may include it.
TEST_F(JobsProvider, JobStatsRowsMatchTheGoldenFile) {
  inst_.SetConfig("Platform", "PlatformType", "0");  // no table attached
  CHxPerfProviderTarnellJobs p(&env_);
  _TMJobInfo empty;
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, &empty, nullptr, 0), 0);  // no callback yet
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, nullptr, nullptr, 1), 0);  // no job
  EXPECT_TRUE(cb_.reports.empty());
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, &empty, nullptr, 3), 0);  // no streams after all
  EXPECT_EQ(hxtest::Split(cb_.Text(), '|').at(1), "");
  std::string text, golden;
  for (const hxtest::Block& b : hxtest::ReadBlocks("golden/jobs_stats.txt")) {
    golden += b.head + "\n" + b.body;
    text += b.head + "\n";
    _TMJobInfo job;
    std::istringstream head(b.head.substr(4));
    int64_t ago = 0;
    std::string last;
    head >> job.JobID >> job.JobType >> job.ActiveStreamCount >> ago >> last;
    job.StartTime = static_cast<uint32_t>(env_.now - ago);
    job.LastEnumTime = last == "-" ? 0 : env_.now - static_cast<uint32_t>(std::stoul(last));
    ReadStats(head, &job.JobStats);
    std::vector<_TMStreamInfo> streams;
    for (const std::string& line : hxtest::Split(b.body, '\n')) {
      if (line.rfind("stream ", 0) != 0) continue;
      text += line + "\n";
      std::istringstream in(line.substr(7));
      std::string computer;
      streams.emplace_back();
      in >> computer;
      memcpy(streams.back().ComputerName, computer.data(),
             std::min(computer.size(), sizeof(streams.back().ComputerName)));
      ReadStats(in, &streams.back().LastStats);
      ReadStats(in, &streams.back().CurrentStats);
    }
    const unsigned int count = static_cast<unsigned int>(streams.size());
    streams.emplace_back();
    strcpy(streams.back().ComputerName, "beyond");
    for (_TMStats* s : {&streams.back().LastStats, &streams.back().CurrentStats}) {
      s->ReadSize = s->NetworkSize = s->WriteSize = s->SIDBLookupSamples = 7777;
      s->ReadTime = s->NetworkTime = s->WriteTime = s->SIDBLookupTime = 7;
    }
    cb_.reports.clear();
    EXPECT_EQ(p.OnThrottelingInfo(nullptr, &job, streams.data(), count), 0);
    text += cb_.Text();
  }
  EXPECT_EQ(text, golden);
}

}  // namespace
