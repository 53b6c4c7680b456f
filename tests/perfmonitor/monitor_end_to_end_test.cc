// Resource monitoring from end to end with real processes: a daemon-like
// process sets up the throttle tables and runs the monitor with a one-second
// tick, job processes (of the other ABI too, when built) register streams and
// report statistics on the inbound and outbound tables, and the perf-log
// folder fills with every provider's CSV file (and the metrics textfile with
// their rows). The stop then releases every table attachment the monitor made.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hx_metrics.h"
#include "platform/hx_process.h"
#include "providers/perf_header_info.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Splits one CSV data line: a field holding a comma comes between double quotes.
std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields;
  std::string cur;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.push_back(cur);
      cur.clear();
    } else if (c != '\r') {
      cur += c;
    }
  }
  fields.push_back(cur);
  return fields;
}

struct CsvFile {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  std::string Get(size_t row, const std::string& column) const {
    for (size_t i = 0; i < header.size(); ++i) {
      if (header[i] == column && i < rows[row].size()) return rows[row][i];
    }
    return "<missing>";
  }
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ctl_ = inst_.root() + "/ctl";
    mkdir(ctl_.c_str(), 0777);
    inst_.SetConfig("Hxd", "CollectStreamStats", "1");
    inst_.SetConfig("Hxd", "SysRsrcMonMinutes", "1");
    inst_.SetConfig("Hxd", "SysRsrcMonTarnellJobsMinutes", "1");
    inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "60");
    inst_.SetConfig("Platform", "PlatformType", "6");
    inst_.SetConfig("Hxd", "PerfMetricsTextfileDirectory", inst_.root());
  }
  // Whatever happened, no child outlives the test.
  void TearDown() override {
    for (const char* f : {"jobs.stop", "stop", "exit"}) Touch(f);
    for (pid_t p : children_) hxtest::WaitExit(p);
  }

  bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
  bool Exists(const std::string& name) const {
    return access((ctl_ + "/" + name).c_str(), F_OK) == 0;
  }
  void Touch(const std::string& name) const { hxtest::WriteFile(ctl_ + "/" + name, ""); }

  std::string KeyFile(bool inbound) const {
    return inst_.jobResultsDir() + "/" + inst_.focus() +
           (inbound ? "_HX_THROTTLE_SHMEM_IN" : "_HX_THROTTLE_SHMEM_OUT");
  }
  // Attachments of a table's segment; -1 when there is none.
  int Attachments(bool inbound) const {
    const key_t key = ftok(KeyFile(inbound).c_str(), 0xFEFA);
    const int id = key == -1 ? -1 : shmget(key, 0, 0);
    shmid_ds ds;
    if (id == -1 || shmctl(id, IPC_STAT, &ds) != 0) return -1;
    return static_cast<int>(ds.shm_nattch);
  }

  // The current perf-log file of key.
  std::string LogFile(const std::string& key) const {
    return inst_.logDir() + "/ResourceMonitor/PerfLog_" + key + "_" + hxtest::MachineId() + ".csv";
  }
  CsvFile ReadCsv(const std::string& key) const {
    CsvFile f;
    std::stringstream in(hxtest::ReadFile(LogFile(key)));
    std::string line;
    if (std::getline(in, line)) f.header = SplitCsv(line);
    while (std::getline(in, line)) f.rows.push_back(SplitCsv(line));
    return f;
  }
  bool HasRow(const std::string& key, const std::map<std::string, std::string>& want) const {
    CsvFile f = ReadCsv(key);
    for (size_t r = 0; r < f.rows.size(); ++r) {
      bool all = true;
      for (const auto& kv : want) all = all && f.Get(r, kv.first) == kv.second;
      if (all) return true;
    }
    return false;
  }
  hxtest::TestInstance inst_;
  std::string ctl_;
  std::vector<pid_t> children_;  // still to be waited for
};

std::vector<std::string> Header(ResourceAgentType type) {
  std::string object, version;
  std::vector<std::string> columns;
  CPerfHeaderInfo::GetPerfHeader(type, object, version, columns);
  columns.insert(columns.begin(), {"Date", "Time"});
  return columns;
}

TEST_F(EndToEnd, MonitorLogsEveryProviderAndReleasesTheTablesOnStop) {
  const auto testStart = Clock::now();
  const pid_t daemon = hxtest::Spawn(hxtest::ChildPath("j_daemon"), {ctl_, "1000"},
                                     inst_.root() + "/daemon.out");
  children_.push_back(daemon);
  // The daemon is one of the platform's own processes: the process provider
  // reports it.
  inst_.SetConfig("Runtime", "pid", std::to_string(daemon));
  ASSERT_TRUE(WaitFor([&] { return Exists("daemon.ready"); }, 120));

  // Jobs: two inbound (one from the other ABI's build when there is one) and
  // one outbound.
  std::string otherJob = hxtest::OtherAbiChildPath("j_job");
  const std::string secondInbound = otherJob.empty() ? hxtest::ChildPath("j_job") : otherJob;
  std::vector<pid_t> jobs = {
      hxtest::Spawn(hxtest::ChildPath("j_job"),
                    {ctl_, "in101", "2", "101", "2", "1000", "1", "src-in-a"}),
      hxtest::Spawn(secondInbound, {ctl_, "in102", "2", "102", "3", "2000", "2", "src-in-b"}),
      hxtest::Spawn(hxtest::ChildPath("j_job"),
                    {ctl_, "out201", "1", "201", "1", "5000", "1", "src-out"}),
  };
  children_.insert(children_.end(), jobs.begin(), jobs.end());
  ASSERT_TRUE(WaitFor([&] { return Exists("in101.ready") && Exists("in102.ready") &&
                                   Exists("out201.ready"); },
                      120));

  // After a few ticks every provider has written its file, and the jobs
  // providers have seen all three jobs.
  const std::vector<std::string> osKeys = {"System-1.2", "Tcpip-1.2", "LogicalDisk-1.2",
                                           "Process-1.2"};
  const bool complete = WaitFor(
      [&] {
        for (const std::string& k : osKeys) {
          if (ReadCsv(k).rows.empty()) return false;
        }
        return HasRow("JobsStreamWriter-1.0",
                      {{"TotalBytesRecieved", "8000"}, {"ActiveJobs", "2"}, {"ActiveStreams", "5"}}) &&
               HasRow("JobsStreamReader-1.0",
                      {{"TotalBytesSent", "5000"}, {"ActiveJobs", "1"}, {"ActiveStreams", "1"}}) &&
               HasRow("JobsStats-1.3", {{"Job-ID", "101"}}) &&
               HasRow("JobsStats-1.3", {{"Job-ID", "102"}});
      },
      300);
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - testStart).count();
  ASSERT_TRUE(complete) << "writer:\n"
                        << hxtest::ReadFile(LogFile("JobsStreamWriter-1.0")) << "reader:\n"
                        << hxtest::ReadFile(LogFile("JobsStreamReader-1.0")) << "stats:\n"
                        << hxtest::ReadFile(LogFile("JobsStats-1.3"));

  // The metrics textfile of the same ticks holds every object and the jobs'
  // figures, and every provider that ran is listed.
  {
    hxtest::SeriesValues series;
    std::map<std::string, std::string> types;
    std::string error;
    ASSERT_TRUE(hxtest::ParseSeries(inst_.root() + "/halvex_" + inst_.focus() + ".prom", &series, &types, &error))
        << error;
    std::set<std::string> upTypes;
    for (const auto& s : series) {
      if (s.first.first == "halvex_monitor_provider_up") upTypes.insert(s.first.second.at("agent_type"));
    }
    for (const char* f : {"halvex_system_cpu_usage_percent", "halvex_tcpip_received_bytes_per_second",
                          "halvex_logical_disk_free_megabytes", "halvex_process_memory_bytes"}) {
      EXPECT_EQ("gauge", types[f]) << f;
    }
    EXPECT_EQ((std::set<std::string>{"2", "3", "4", "6", "7", "8", "9"}), upTypes);
    const std::string focus = inst_.focus();
    EXPECT_EQ(8000, series.at({"halvex_jobs_stream_writer_received_bytes", {{"instance", focus}}}));
    EXPECT_EQ(1, series.at({"halvex_jobs_stream_reader_active_jobs", {{"instance", focus}}}));
    EXPECT_EQ(6000, series.at({"halvex_jobs_stats_total_read_bytes", {{"instance", focus}, {"job", "102"}}}));
    EXPECT_EQ(2, series.at({"halvex_jobs_stats_active_streams", {{"instance", focus}, {"job", "101"}}}));
  }

  // Headers: Date, Time and the columns of each record kind.
  const ResourceAgentType osTypes[] = {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_LOGICAL_DISK,
                                       RSRC_AGENT_PROCESS};
  for (size_t i = 0; i < osKeys.size(); ++i) EXPECT_EQ(ReadCsv(osKeys[i]).header, Header(osTypes[i]));
  EXPECT_EQ(ReadCsv("JobsStreamWriter-1.0").header,
            (std::vector<std::string>{"Date", "Time", "TotalBytesRecieved", "ActiveJobs",
                                      "ActiveStreams"}));
  EXPECT_EQ(ReadCsv("JobsStreamReader-1.0").header,
            (std::vector<std::string>{"Date", "Time", "TotalBytesSent", "ActiveJobs",
                                      "ActiveStreams"}));
  const CsvFile stats = ReadCsv("JobsStats-1.3");
  ASSERT_EQ(stats.header.size(), 27u);
  EXPECT_EQ(stats.header[2], "Job-ID");
  EXPECT_EQ(stats.header[26], "Current-Avg-SIDBLooupTime");
  // Plausible system rows: one value per column.
  for (const char* k : {"System-1.2", "Tcpip-1.2", "LogicalDisk-1.2"}) {
    const CsvFile f = ReadCsv(k);
    for (const auto& row : f.rows) EXPECT_EQ(row.size(), f.header.size()) << k;
  }

  // Job rows: the right job, machines, type, sizes and durations. The first
  // enumeration of a job carries everything reported so far as its current
  // interval; later ones carry nothing new (no report in between).
  struct Expect {
    const char* id;
    const char* source;
    unsigned type;
    const char* streams;
    const char* total;
  } expects[] = {{"101", "src-in-a", 1, "2", "2000"}, {"102", "src-in-b", 2, "3", "6000"}};
  for (const Expect& e : expects) {
    int seen = 0, firstIntervals = 0;
    for (size_t r = 0; r < stats.rows.size(); ++r) {
      if (stats.Get(r, "Job-ID") != e.id) continue;
      ++seen;
      EXPECT_EQ(stats.rows[r].size(), 27u);
      EXPECT_EQ(stats.Get(r, "Stream-Source"), e.source);
      EXPECT_EQ(stats.Get(r, "Stream-Destination"), "hxtesthost");
      EXPECT_EQ(stats.Get(r, "Job-Type"), HxJobPerfManager::GetPerfCounterName(e.type));
      EXPECT_EQ(stats.Get(r, "Active-Streams"), e.streams);
      EXPECT_EQ(stats.Get(r, "Total-Read-Size"), e.total);
      EXPECT_EQ(stats.Get(r, "Total-Network-Size"), e.total);
      EXPECT_EQ(stats.Get(r, "Total-Write-Size"), e.total);
      const double duration = std::stod(stats.Get(r, "Job-Duration-Seconds"));
      EXPECT_GE(duration, 0);
      EXPECT_LE(duration, elapsed + 2);
      if (stats.Get(r, "Current-Read-Size") == e.total) {
        ++firstIntervals;
        const unsigned streams = static_cast<unsigned>(std::stoul(e.streams));
        EXPECT_EQ(stats.Get(r, "Current-Read-Time"), std::to_string(2 * streams));
        EXPECT_EQ(stats.Get(r, "Current-Write-Time"), std::to_string(3 * streams));
        EXPECT_EQ(stats.Get(r, "Current-SIDBLookup-Samples"), std::to_string(100 * streams));
      } else {
        EXPECT_EQ(stats.Get(r, "Current-Read-Size"), "0");
      }
    }
    EXPECT_GE(seen, 1) << e.id;
    EXPECT_EQ(firstIntervals, 1) << e.id;
  }
  // Outbound jobs are summarised but have no job rows.
  EXPECT_FALSE(HasRow("JobsStats-1.3", {{"Job-ID", "201"}}));

  // The jobs finish; the monitor (the jobs provider) still holds one
  // attachment per table beside the daemon's own managers.
  Touch("jobs.stop");
  for (pid_t p : jobs) EXPECT_EQ(hxtest::WaitExit(p), 0);
  children_.assign(1, daemon);
  // (A shell command being started by the monitor thread may hold a copy of
  // the daemon's attachments for a moment, until it executes.)
  EXPECT_TRUE(WaitFor([&] { return Attachments(true) == 2 && Attachments(false) == 2; }, 60))
      << Attachments(true) << " " << Attachments(false);

  Touch("stop");
  ASSERT_TRUE(WaitFor([&] { return Exists("daemon.stopped"); }, 120));
  EXPECT_EQ(Attachments(true), 1);  // only the daemon's own managers are left
  EXPECT_EQ(Attachments(false), 1);

  Touch("exit");
  EXPECT_EQ(hxtest::WaitExit(daemon), 0);
  children_.clear();
  const std::string out = hxtest::ReadFile(inst_.root() + "/daemon.out");
  EXPECT_NE(out.find("hxd_init=0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("start=1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("hxd_uninit=0\n"), std::string::npos) << out;
  // The stop waits for at most the provider update under way, whose shell
  // commands each have a time limit.
  const size_t at = out.find("stop_ms=");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_LT(std::stoll(out.substr(at + 8)), static_cast<long long>(HxProcess::kDefaultTimeoutMs));

  EXPECT_EQ(Attachments(true), -1);
  EXPECT_EQ(Attachments(false), -1);
}

}  // namespace
