// The jobs provider on real throttle tables: which tables it attaches and
// releases, the summary rows, the per-job rows with their interval reset, and
// the per-job row arithmetic against golden rows.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "providers/tarnell_jobs_provider.h"
#include "tests/providers/provider_support.h"

namespace {

using hxtest::Split;

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
  // Registers a stream of job on a job-side manager, reporting bytes moved.
  unsigned long long AddStream(CHxThrottlingManager& m, uint32_t job, uint64_t bytes) {
    _TMSRegParams p;
    p.JobID = job;
    p.RCID = 1;
    strncpy(p.ComputerName, "client-1", sizeof(p.ComputerName) - 1);
    unsigned long long h = m.RegisterStream(p);
    unsigned int rate = 0;
    EXPECT_EQ(m.GetThroughputRate(h, bytes, rate), 0);
    return h;
  }
  // Each report of one update of every jobs type: the header line as
  // golden/headers.txt lists it, then the rows.
  std::string UpdateAll(CHxPerfProviderTarnellJobs& p) {
    cb_.reports.clear();
    for (ResourceAgentType t : kJobTypes) p.UpdatePerfCounters(t);
    return Reports();
  }
  std::string Reports() {
    std::string text;
    for (const hxtest::CapturedReport& r : cb_.reports) {
      text += r.object + "|" + r.items.version + "|";
      for (size_t i = 0; i < r.items.columns.size(); ++i) text += (i ? "," : "") + r.items.columns[i];
      text += "\n" + hxtest::RowsText(r);
    }
    cb_.reports.clear();
    return text;
  }
  // The golden header line of object, then rows.
  static std::string Golden(const std::string& object, const std::string& rows) {
    for (const std::string& line : Split(hxtest::ReadFile(std::string(HX_SOURCE_DIR) +
                                                          "/tests/providers/golden/headers.txt"),
                                         '\n')) {
      if (line.rfind(object + "|", 0) == 0) return line + "\n" + rows;
    }
    return "no header for " + object;
  }

  hxtest::TestInstance inst_;
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
  // Seconds of the job rows become whole minutes; a summary value leaves them alone.
  const char* steps[][4] = {
      {"", "", "9", "10"},  {"", "", "6", "15"}, {"", "", "4", "15"},
      {"PerfUpdateIntervalSeconds", "179", "9", "2"}, {"PerfUpdateIntervalSeconds", "59", "9", "0"},
      {"SysRsrcMonTarnellJobsMinutes", "0", "6", "0"},
      {"SysRsrcMonTarnellJobsMinutes", "7", "4", "7"}, {"", "", "9", "0"}};
  for (const auto& s : steps) {
    if (*s[0]) inst_.SetConfig("Hxd", s[0], s[1]);
    EXPECT_EQ(p.GetUpdateIntervalMinutes(static_cast<ResourceAgentType>(std::stoi(s[2]))),
              std::stoul(s[3])) << s[0] << " " << s[2];
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
  EXPECT_EQ(Attachments(kTMKindInbound), 1);  // not attached twice
  EXPECT_EQ(Attachments(kTMKindOutbound), 1);
  // Empty tables: both summaries, no job row, to the first callback only.
  EXPECT_EQ(UpdateAll(p), Golden("JobsStreamReader", "0|0|0\n") +
                              Golden("JobsStreamWriter", "0|0|0\n"));
  p.UpdatePerfCounters(RSRC_AGENT_SYSTEM);
  EXPECT_TRUE(cb_.reports.empty() && other.reports.empty());
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
  EXPECT_EQ(UpdateAll(p), "");
}

// Summaries count bytes, jobs and active streams of the inbound table; job
// rows cover the interval since the previous enumeration, which resets it.
TEST_F(JobsProvider, SummariesAndJobRowsFromTheTable) {
  CHxThrottlingManager jobs;
  ASSERT_EQ(jobs.Initialize(inst_.focus().c_str(), 7, kTMKindInbound), 0);
  std::vector<unsigned long long> j11;  // four streams, one finishing after 10 bytes
  for (uint64_t b : {10, 5, 15, 20}) j11.push_back(AddStream(jobs, 11, b));
  ASSERT_EQ(jobs.UnregisterStream(j11[0]), 0);
  for (uint64_t b : {10, 10, 10, 20}) AddStream(jobs, 12, b);
  _TMStats s;
  s.ReadSize = 1000;
  s.ReadTime = 10;
  ASSERT_EQ(jobs.UpdateStreamStats(j11[1], s), 0);

  CHxPerfProviderTarnellJobs p;
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  const std::string text = UpdateAll(p);
  const std::vector<std::string> lines = Split(text, '\n');
  ASSERT_EQ(lines.size(), 9u) << text;  // three reports of one row each
  EXPECT_EQ(lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n",
            Golden("JobsStreamReader", "0|0|0\n") + Golden("JobsStreamWriter", "100|2|7\n"));
  std::vector<std::string> ids = {Split(lines[5], '|')[0], Split(lines[7], '|')[0]};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"11", "12"}));
  const std::string row11 = lines[5].rfind("11|", 0) == 0 ? lines[5] : lines[7];
  EXPECT_EQ(Split(row11, '|')[10] + " " + Split(row11, '|')[11], "1000 10");

  s.ReadSize = 1500;  // 500 more since the enumeration
  s.ReadTime = 15;
  ASSERT_EQ(jobs.UpdateStreamStats(j11[1], s), 0);
  p.UpdatePerfCounters(RSRC_AGENT_JOBS_STATS);
  const std::string again = Reports();
  const size_t at = again.find("\n11|");
  ASSERT_NE(at, std::string::npos) << again;
  const std::vector<std::string> fields = Split(again.substr(at + 1, again.find('\n', at + 1) - at - 1), '|');
  EXPECT_EQ(fields[9] + " " + fields[10] + " " + fields[11], "1500 500 5");
  ASSERT_EQ(jobs.Uninitialize(), 0);
}

// A table that cannot be attached silences only its own rows; with none
// attachable Initialize fails; a machine type without tables tries none.
TEST_F(JobsProvider, UnavailableTablesDisableOnlyTheirOwnRows) {
  BlockTable(kTMKindOutbound);
  CHxPerfProviderTarnellJobs p;
  EXPECT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(inst_.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-Out").size(), 1u);
  EXPECT_EQ(UpdateAll(p), Golden("JobsStreamWriter", "0|0|0\n"));
  p.Uninitialize();
  BlockTable(kTMKindInbound);
  CHxPerfProviderTarnellJobs none;
  EXPECT_EQ(none.Initialize(nullptr, &cb_), -1);
  EXPECT_EQ(inst_.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-In").size(), 1u);
  inst_.SetConfig("Platform", "PlatformType", "1");
  CHxPerfProviderTarnellJobs without;
  EXPECT_EQ(without.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(UpdateAll(without), "");
  inst_.SetConfig("Platform", "PlatformType", "2");  // inbound tables only
  unlink(KeyFile(kTMKindInbound).c_str());
  CHxPerfProviderTarnellJobs inbound;
  EXPECT_EQ(inbound.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(UpdateAll(inbound), Golden("JobsStreamWriter", "0|0|0\n"));
  EXPECT_EQ(Attachments(kTMKindOutbound), -1);  // never tried
}

// Reads "<8 stats>" (see golden/jobs_stats.txt) from in.
void ReadStats(std::istream& in, _TMStats* s) {
  in >> s->ReadSize >> s->ReadTime >> s->NetworkSize >> s->NetworkTime >> s->WriteSize >>
      s->WriteTime >> s->SIDBLookupSamples >> s->SIDBLookupTime;
}

// Per-job rows from enumerated copies (golden/jobs_stats.txt). Each case hands
// over one stream more than it counts: no row may include it.
TEST_F(JobsProvider, JobStatsRowsMatchTheGoldenFile) {
  inst_.SetConfig("Platform", "PlatformType", "0");  // no table attached
  hxtest::FakeEnv env;
  CHxPerfProviderTarnellJobs p(&env);
  _TMJobInfo empty;
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, &empty, nullptr, 0), 0);  // no callback yet
  ASSERT_EQ(p.Initialize(nullptr, &cb_), 0);
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, nullptr, nullptr, 1), 0);  // no job
  EXPECT_TRUE(cb_.reports.empty());
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, &empty, nullptr, 3), 0);  // no streams after all
  EXPECT_EQ(Split(cb_.Text(), '|').at(1), "");
  cb_.reports.clear();
  std::string text, golden;
  for (const hxtest::Block& b : hxtest::ReadBlocks("golden/jobs_stats.txt")) {
    golden += b.head + "\n" + b.body;
    text += b.head + "\n";
    _TMJobInfo job;
    std::istringstream head(b.head.substr(4));
    int64_t ago = 0;
    std::string last;
    head >> job.JobID >> job.JobType >> job.ActiveStreamCount >> ago >> last;
    job.StartTime = static_cast<uint32_t>(env.now - ago);
    job.LastEnumTime = last == "-" ? 0 : env.now - static_cast<uint32_t>(std::stoul(last));
    ReadStats(head, &job.JobStats);
    std::vector<_TMStreamInfo> streams;
    for (const std::string& line : Split(b.body, '\n')) {
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
    _TMStreamInfo beyond;
    strcpy(beyond.ComputerName, "beyond");
    for (_TMStats* s : {&beyond.LastStats, &beyond.CurrentStats}) {
      s->ReadSize = s->NetworkSize = s->WriteSize = s->SIDBLookupSamples = 7777;
      s->ReadTime = s->NetworkTime = s->WriteTime = s->SIDBLookupTime = 7;
    }
    const unsigned int count = static_cast<unsigned int>(streams.size());
    streams.push_back(beyond);
    EXPECT_EQ(p.OnThrottelingInfo(nullptr, &job, streams.data(), count), 0);
    const std::string report = Reports();
    text += report.substr(report.find('\n') + 1);
    EXPECT_EQ(report.substr(0, report.find('\n') + 1), Golden("JobsStats", ""));
  }
  EXPECT_EQ(text, golden);
}

}  // namespace
