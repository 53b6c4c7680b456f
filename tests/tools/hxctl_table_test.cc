// hxctl table and hxctl limit on a live table that this test process fills.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "providers/tarnell_jobs_provider.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/providers/linux_provider_test_support.h"
#include "tests/tools/hxctl_run.h"
#include "throttling/throttling_manager.h"

using hxctltest::Contains;
using hxctltest::RunHxctl;

namespace {

// What the table says about one job (found stays false when it is not there).
struct JobView : IEnumerateJobInfoCallback {
  explicit JobView(uint32_t id) : id(id) {}
  int OnThrottelingInfo(void*, _TMJobInfo* job, _TMStreamInfo*, unsigned int) override {
    if (job->JobID == id) {
      found = true;
      info = *job;
    }
    return 0;
  }
  uint32_t id;
  bool found = false;
  _TMJobInfo info;
};

class HxctlTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t_.SetConfig("Hxd", "ComputerThroughputMBPH", "1000");
    ASSERT_EQ(m_.Initialize(t_.focus().c_str(), 0, 1), 0);
    Register(7, 300, "alpha-host");
    Register(7, 300, "alpha-host");
    Register(8, 0, "beta-host");
  }
  void TearDown() override {
    for (auto h : handles_) m_.UnregisterStream(h);
    EXPECT_EQ(m_.Uninitialize(), 0);
    // Every hxctl run counted itself down again: our detach removed the table.
    EXPECT_FALSE(hxctltest::SegmentExistsForKeyFile(t_.jobResultsDir() + "/" + t_.focus() +
                                                    "_HX_THROTTLE_SHMEM_OUT"));
  }
  void Register(uint32_t job, uint32_t limit, const char* computer) {
    _TMSRegParams p;
    p.JobID = job;
    p.RCID = static_cast<uint32_t>(handles_.size() + 1);
    p.SubclientThroughput = limit;
    strcpy(p.ComputerName, computer);
    unsigned long long h = m_.RegisterStream(p);
    ASSERT_NE(h, ~0ULL);
    handles_.push_back(h);
  }
  JobView Job(uint32_t id) {
    JobView v(id);
    EXPECT_EQ(m_.EnumerateJobsInfo(nullptr, &v, 0), 0);
    return v;
  }

  hxtest::TestInstance t_;
  CHxThrottlingManager m_;
  std::vector<unsigned long long> handles_;
};

TEST_F(HxctlTableTest, ShowsJobsStreamsSharesAndTheDump) {
  auto r = RunHxctl({"table", "--focus", t_.focus()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "outbound throttle table of instance " + t_.focus() +
                                  ": machine limit 1000 MBPH, 2 job(s), 3 stream(s)"))
      << r.out;
  // Job 7 has its own limit of 300 for two streams; job 8 gets the rest.
  bool sawJob7 = false, sawJob8 = false;
  size_t alphaStreams = 0;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream w(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(w), {}};
    if (words.size() >= 4 && words[0] == "7") {
      sawJob7 = true;
      EXPECT_EQ(words[1], "300");  // limit
      EXPECT_EQ(words[2], "150");  // per stream
      EXPECT_EQ(words[3], "2");    // streams
    }
    if (words.size() >= 4 && words[0] == "8") {
      sawJob8 = true;
      EXPECT_EQ(words[1], "none");
      EXPECT_EQ(words[2], "700");
      EXPECT_EQ(words[3], "1");
    }
    if (Contains(line, "alpha-host")) ++alphaStreams;
  }
  EXPECT_TRUE(sawJob7 && sawJob8) << r.out;
  EXPECT_EQ(alphaStreams, 2u) << r.out;
  EXPECT_FALSE(Contains(r.out, "\x1b")) << "escape sequences in plain output";

  // --dump prints the diagnostic dump.
  auto dump = RunHxctl({"table", "--focus", t_.focus(), "--dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_TRUE(Contains(dump.out, "Diagnostic dump (written to " + t_.logDir() + "/hxdebug.log)"))
      << dump.out;
  EXPECT_TRUE(Contains(dump.out, "ComputerThrottleMBPH\t\t- 1000")) << dump.out;
  EXPECT_TRUE(Contains(dump.out, "JobID\t\t\t\t\t- 7")) << dump.out;
  EXPECT_TRUE(Contains(dump.out, "JobID\t\t\t\t\t- 8")) << dump.out;
  // What was printed is in the debug log as well.
  EXPECT_FALSE(t_.LogLinesContaining("ComputerThrottleMBPH").empty());
}

TEST_F(HxctlTableTest, LimitsChangeTheLiveTable) {
  auto j = RunHxctl({"limit", "--job", "7", "600", "--focus", t_.focus()});
  ASSERT_EQ(j.status, 0) << j.err;
  EXPECT_TRUE(Contains(j.out, "job 7 limit now 600 MBPH")) << j.out;
  JobView v = Job(7);
  ASSERT_TRUE(v.found);
  EXPECT_EQ(v.info.ThrottleMBPH, 600u);
  EXPECT_EQ(v.info.PerStreamMBPH, 300u);
  EXPECT_EQ(Job(8).info.PerStreamMBPH, 400u);
  EXPECT_FALSE(Contains(j.out, "has no stream")) << j.out;

  // A job not in the table yet: its limit waits in a slot of its own.
  auto n = RunHxctl({"limit", "--job", "9", "100", "--focus", t_.focus()});
  ASSERT_EQ(n.status, 0) << n.err;
  EXPECT_TRUE(Contains(n.out, "job 9 has no stream in the table")) << n.out;
  Register(9, 0, "gamma-host");
  JobView nine = Job(9);
  ASSERT_TRUE(nine.found);
  EXPECT_EQ(nine.info.ThrottleMBPH, 100u);

  auto m = RunHxctl({"limit", "--machine", "2000", "--focus", t_.focus()});
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_TRUE(Contains(m.out, "machine limit now 2000 MBPH")) << m.out;
  EXPECT_TRUE(Contains(m.out, "ComputerThroughputMBPH")) << "the note on how long it lasts";
  unsigned int mbph = 0;
  ASSERT_EQ(m_.GetComputerThroughput(mbph), 0);
  EXPECT_EQ(mbph, 2000u);
  EXPECT_EQ(Job(8).info.PerStreamMBPH, 1300u);  // 2000 - 600 - 100
}

TEST_F(HxctlTableTest, WatchRedrawsAsPlainLinesUntilInterrupted) {
  std::string outPath = t_.root() + "/watch.out";
  pid_t pid = hxtest::Spawn(hxtest::ChildPath("hxctl"), {"table", "--watch", "--focus", t_.focus()},
                            outPath);
  // Wait for the second refresh (each one starts with a "--- HH:MM:SS ---" line).
  std::string out;
  for (int i = 0; i < 300; ++i) {
    out = hxtest::ReadFile(outPath);
    size_t first = out.find("--- ");
    if (first != std::string::npos && out.find("--- ", first + 4) != std::string::npos) break;
    usleep(50000);
  }
  kill(pid, SIGINT);
  EXPECT_EQ(hxtest::WaitExit(pid), 0);
  out = hxtest::ReadFile(outPath);
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 8) << out;
  EXPECT_TRUE(Contains(out, "2 job(s), 3 stream(s)")) << out;
  EXPECT_FALSE(Contains(out, "\x1b")) << "escape sequences when stdout is not a terminal";
}

// Copies of every job and stream of a table, taken by an observer.
struct TableCopy : IEnumerateJobInfoCallback {
  int OnThrottelingInfo(void*, _TMJobInfo* job, _TMStreamInfo* streams, unsigned int n) override {
    jobs.push_back(*job);
    this->streams.push_back(std::vector<_TMStreamInfo>(streams, streams + n));
    return 0;
  }
  // What an observer must not change: visit times, flags, statistics.
  std::string State() const {
    std::ostringstream o;
    for (size_t j = 0; j < jobs.size(); ++j) {
      o << jobs[j].JobID << ":" << jobs[j].LastEnumTime << ":" << jobs[j].PerStreamMBPH << "[";
      for (const _TMStreamInfo& st : streams[j]) {
        o << st.Flags << "," << st.LatUpdateTime << "," << st.SizeProcessed << ","
          << st.CurrentStats.ReadSize << "," << st.CurrentStats.ReadTime << ";";
      }
      o << "]";
    }
    return o.str();
  }
  std::vector<_TMJobInfo> jobs;
  std::vector<std::vector<_TMStreamInfo>> streams;
};

// hxctl metrics shows every existing table (here outbound and inbound) and
// hxctl table --json each table with the same figures, as the tables hold
// them; neither changes anything in a table.
TEST_F(HxctlTableTest, MetricsAndJsonShowEveryTableUntouched) {
  CHxThrottlingManager in;
  ASSERT_EQ(in.Initialize(t_.focus().c_str(), 0, 2), 0);
  _TMSRegParams p;
  p.JobID = 21;
  p.SubclientThroughput = 50;
  strcpy(p.ComputerName, "ev\"il\\host\nx");
  const unsigned long long inHandle = in.RegisterStream(p);
  ASSERT_NE(inHandle, ~0ULL);
  unsigned int rate = 0;
  ASSERT_EQ(m_.GetThroughputRate(handles_[0], 123456789012ULL, rate), 0);
  _TMStats stats;
  stats.ReadSize = 4096;
  stats.ReadTime = 2;
  ASSERT_EQ(m_.UpdateStreamStats(handles_[0], stats), 0);
  ASSERT_EQ(m_.UnregisterStream(handles_[1]), 0);  // its bytes stay with the job and the table
  handles_.erase(handles_.begin() + 1);

  struct Table {
    CHxThrottlingManager* m;
    const char* kind;
    const char* title;
    TableCopy copy;
  } tables[] = {{&m_, "out", "outbound", {}}, {&in, "in", "inbound", {}}};
  hxtest::SeriesValues want;
  for (Table& t : tables) {
    ASSERT_EQ(t.m->SnapshotJobsInfo(nullptr, &t.copy), 0);
    unsigned int machine = 0;
    unsigned long long total = 0;
    std::vector<_TMAllJobStreamInfo> sizes;
    ASSERT_EQ(t.m->GetComputerThroughput(machine), 0);
    ASSERT_EQ(t.m->GetDataSizeInfo(total, sizes), 0);
    const std::map<std::string, std::string> labels = {{"instance", t_.focus()}, {"table", t.title}};
    size_t streams = 0, unresponsive = 0;
    for (size_t j = 0; j < t.copy.jobs.size(); ++j) {
      const _TMJobInfo& job = t.copy.jobs[j];
      double bytes = job.JobSizeProcessed;
      for (const _TMStreamInfo& st : t.copy.streams[j]) {
        bytes += st.SizeProcessed;
        unresponsive += (st.Flags & 0x2) != 0;
      }
      streams += t.copy.streams[j].size();
      std::map<std::string, std::string> jl = labels;
      jl["job"] = std::to_string(job.JobID);
      want[{"halvex_job_limit_megabytes_per_hour", jl}] = job.ThrottleMBPH;
      want[{"halvex_job_stream_rate_megabytes_per_hour", jl}] = job.PerStreamMBPH;
      want[{"halvex_job_streams", jl}] = job.ActiveStreamCount;
      want[{"halvex_job_processed_bytes_total", jl}] = bytes;
    }
    want[{"halvex_table_machine_limit_megabytes_per_hour", labels}] = machine;
    want[{"halvex_table_jobs", labels}] = t.copy.jobs.size();
    want[{"halvex_table_streams", labels}] = streams;
    want[{"halvex_table_unresponsive_streams", labels}] = unresponsive;
    want[{"halvex_table_processed_bytes_total", labels}] = total;
  }
  EXPECT_EQ(123456789012.0,
            (want[{"halvex_job_processed_bytes_total", {{"instance", t_.focus()}, {"table", "outbound"}, {"job", "7"}}}]));

  const std::string prom = t_.root() + "/tables.prom";
  auto r = RunHxctl({"metrics", "--focus", t_.focus()}, prom);
  ASSERT_EQ(r.status, 0) << r.err;
  hxtest::SeriesValues got;
  std::map<std::string, std::string> types;
  std::string error;
  ASSERT_TRUE(hxtest::ParseSeries(prom, &got, &types, &error)) << error;
  EXPECT_EQ("", hxtest::Diff(want, got));
  for (const auto& t : types) {
    EXPECT_EQ(t.first.find("processed_bytes") != std::string::npos ? "counter" : "gauge", t.second) << t.first;
  }

  // The JSON, flattened by Python's reader into "path value" lines (strings
  // as hex), read as the same series.
  const char kFlatten[] =
      "import json,sys\n"
      "def walk(p, v):\n"
      "  if isinstance(v, dict): [walk(p + '.' + k, x) for k, x in v.items()]\n"
      "  elif isinstance(v, list): [walk(p + '.' + str(i), x) for i, x in enumerate(v)]\n"
      "  else: print(p[1:], v.encode().hex() if isinstance(v, str) else json.dumps(v))\n"
      "walk('', json.load(open(sys.argv[1])))\n";
  const std::map<std::string, std::string> kTableKeys = {
      {"machine_limit_mbph", "halvex_table_machine_limit_megabytes_per_hour"},
      {"job_count", "halvex_table_jobs"}, {"stream_count", "halvex_table_streams"},
      {"unresponsive_streams", "halvex_table_unresponsive_streams"},
      {"processed_bytes_total", "halvex_table_processed_bytes_total"}};
  const std::map<std::string, std::string> kJobKeys = {
      {"limit_mbph", "halvex_job_limit_megabytes_per_hour"},
      {"per_stream_mbph", "halvex_job_stream_rate_megabytes_per_hour"},
      {"stream_count", "halvex_job_streams"}, {"processed_bytes", "halvex_job_processed_bytes_total"}};
  hxtest::SeriesValues fromJson;
  std::map<std::string, std::string> computers;  // stream path -> computer name
  for (const Table& t : tables) {
    const std::string path = t_.root() + "/" + t.kind + ".json";
    auto j = RunHxctl({"table", "--json", "--kind", t.kind, "--focus", t_.focus()}, path);
    ASSERT_EQ(j.status, 0) << j.err;
    std::string flat;
    ASSERT_EQ(0, hxtest::RunAndCapture("/usr/bin/python3", {"-c", kFlatten, path}, &flat)) << flat;
    std::map<std::string, std::string> v;
    std::istringstream lines(flat);
    std::string key, value;
    while (lines >> key >> value) v[key] = value;
    EXPECT_EQ(t_.focus(), hxtest::FromHex(v["instance"]));
    const std::map<std::string, std::string> labels = {{"instance", t_.focus()}, {"table", hxtest::FromHex(v["table"])}};
    for (const auto& k : kTableKeys) fromJson[{k.second, labels}] = std::stod(v[k.first]);
    for (size_t n = 0; v.count("jobs." + std::to_string(n) + ".job"); ++n) {
      const std::string jp = "jobs." + std::to_string(n) + ".";
      std::map<std::string, std::string> jl = labels;
      jl["job"] = v[jp + "job"];
      for (const auto& k : kJobKeys) fromJson[{k.second, jl}] = std::stod(v[jp + k.first]);
      for (size_t s = 0; v.count(jp + "streams." + std::to_string(s) + ".computer"); ++s) {
        computers[std::string(t.kind) + "." + jp + std::to_string(s)] =
            hxtest::FromHex(v[jp + "streams." + std::to_string(s) + ".computer"]);
      }
    }
  }
  EXPECT_EQ("", hxtest::Diff(want, fromJson));
  EXPECT_EQ((std::map<std::string, std::string>{{"in.jobs.0.0", "ev\"il\\host\nx"},
                                                {"out.jobs.0.0", "alpha-host"},
                                                {"out.jobs.1.0", "beta-host"}}),
            computers);

  for (Table& t : tables) {
    TableCopy after;
    ASSERT_EQ(t.m->SnapshotJobsInfo(nullptr, &after), 0);
    EXPECT_EQ(t.copy.State(), after.State()) << t.title;
  }
  EXPECT_EQ(in.UnregisterStream(inHandle), 0);
  EXPECT_EQ(in.Uninitialize(), 0);
}

}  // namespace

namespace {

// Age and idle columns ("12s") may tick between two runs; everything else of
// the table must read the same.
std::string MaskSeconds(const std::string& text) {
  std::istringstream in(text);
  std::string out, line;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::string word;
    while (w >> word) {
      bool seconds = word.size() > 1 && word.back() == 's' &&
                     word.find_first_not_of("0123456789") == word.size() - 1;
      out += (seconds ? "Ns" : word) + " ";
    }
    out += "\n";
  }
  return out;
}

}  // namespace

// The other ABI's hxctl reads and steers this ABI's table: same text, same
// effect. (Needs the other build: HX_OTHER_ABI_BIN_DIR.)
TEST_F(HxctlTableTest, OtherAbiToolSeesAndChangesTheSameTable) {
  std::string other = hxtest::OtherAbiChildPath("hxctl");
  if (other.empty()) GTEST_SKIP() << "the other ABI's build is not configured (HX_OTHER_ABI_BIN_DIR)";
  std::string mine = hxtest::ChildPath("hxctl");
  std::string a, b;
  ASSERT_EQ(hxtest::RunAndCapture(mine, {"table", "--focus", t_.focus(), "--dump"}, &a), 0);
  ASSERT_EQ(hxtest::RunAndCapture(other, {"table", "--focus", t_.focus(), "--dump"}, &b), 0);
  EXPECT_EQ(MaskSeconds(a), MaskSeconds(b));
  EXPECT_TRUE(Contains(b, "JobID\t\t\t\t\t- 8")) << b;
  // The metrics text holds no clock: both ABIs print it byte for byte alike.
  ASSERT_EQ(hxtest::RunAndCapture(mine, {"metrics", "--focus", t_.focus()}, &a), 0);
  ASSERT_EQ(hxtest::RunAndCapture(other, {"metrics", "--focus", t_.focus()}, &b), 0);
  EXPECT_EQ(a, b);
  EXPECT_TRUE(Contains(a, "halvex_job_streams{instance=\"" + t_.focus() + "\",table=\"outbound\",job=\"7\"} 2")) << a;

  std::string out;
  ASSERT_EQ(hxtest::RunAndCapture(other, {"limit", "--job", "8", "250", "--focus", t_.focus()}, &out), 0);
  JobView v = Job(8);
  ASSERT_TRUE(v.found);
  EXPECT_EQ(v.info.ThrottleMBPH, 250u);
  EXPECT_EQ(v.info.PerStreamMBPH, 250u);
  EXPECT_EQ(Job(7).info.PerStreamMBPH, 150u);
}

namespace {

// An operator's look changes nothing the monitor measures: the "JobsStats"
// row after a table view (and a limit command) between two monitor
// enumerations is exactly the row of the same run without them. The job side
// and the monitor share a fake clock that starts at the real time; hxctl runs
// on the real one.
TEST(HxctlTableView, LookingBetweenMonitorEnumerationsLeavesJobsStatsAsIs) {
  const uint64_t kGiB = 1024ull * 1024 * 1024;
  auto secondRow = [&](bool look) {
    hxtest::TestInstance t;
    hxtest::FakeEnv env;
    env.now = HxEnv::Default()->NowSeconds();  // the clean-up compares it with process starts
    CHxThrottlingManager jobs(&env);
    EXPECT_EQ(jobs.Initialize(t.focus().c_str(), 7, kTMKindInbound), 0);
    _TMSRegParams p;
    p.JobID = 41;
    p.RCID = 1;
    strcpy(p.ComputerName, "src-a");
    const unsigned long long h = jobs.RegisterStream(p);
    EXPECT_NE(h, ~0ULL);
    CHxPerfProviderTarnellJobs monitor(&env);
    hxtest::CaptureCallback rows;
    EXPECT_EQ(monitor.Initialize(nullptr, &rows), 0);
    _TMStats stats;
    stats.JobType = 2;
    for (uint64_t enumeration = 1; enumeration <= 2; ++enumeration) {
      if (look && enumeration == 2) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"table", "--focus", t.focus(), "--kind", "in", "--dump"},
              std::vector<std::string>{"limit", "--focus", t.focus(), "--kind", "in", "--job",
                                       "41", "0"}}) {
          auto r = RunHxctl(args);
          EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        }
      }
      env.now += 300;
      stats.ReadSize += enumeration * kGiB;  // cumulative: 1 GiB, then 2 more
      stats.ReadTime += 100;
      unsigned int rate = 0;
      EXPECT_EQ(jobs.GetThroughputRate(h, stats.ReadSize, rate), 0);
      EXPECT_EQ(jobs.UpdateStreamStats(h, stats), 0);
      rows.reports.clear();
      monitor.UpdatePerfCounters(RSRC_AGENT_JOBS_STATS);
    }
    EXPECT_EQ(monitor.Uninitialize(), 0);
    EXPECT_EQ(jobs.UnregisterStream(h), 0);
    EXPECT_EQ(jobs.Uninitialize(), 0);
    EXPECT_EQ(rows.reports.size(), 1u);
    return rows.reports.empty() ? _PerfLogItems() : rows.reports[0].items;
  };
  const _PerfLogItems without = secondRow(false);
  const _PerfLogItems with = secondRow(true);
  EXPECT_EQ(with.rows, without.rows);
  // The second interval: 2 GiB over the 300 s since the first enumeration.
  EXPECT_EQ(hxtest::Value(without, 0, "Current-Read-Size"), std::to_string(2 * kGiB));
  EXPECT_EQ(hxtest::Value(without, 0, "Current-Job-Throughput"), "24.00");
  std::printf("JobsStats Current-Job-Throughput without a look: %s, with one: %s\n",
              hxtest::Value(without, 0, "Current-Job-Throughput").c_str(),
              hxtest::Value(with, 0, "Current-Job-Throughput").c_str());
}

}  // namespace
