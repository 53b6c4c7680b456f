// The process-wide monitor in processes of its own (j_monitor): stops from
// the monitor thread and racing stops, and from end to end a daemon whose monitor logs
// every provider while job processes (of the other ABI too) report streams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "perfmonitor/monitor_handle.h"
#include "throttling/table_kinds.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

class MonitorProcess : public ::testing::Test {
 protected:
  // No child outlives the test, and every table the monitor attached was
  // released (the last user removes it).
  void TearDown() override {
    for (const char* f : {"/ctl/jobs.stop", "/ctl/stop", "/ctl/exit"}) {
      if (!children_.empty()) hxtest::WriteFile(inst_.root() + f, "");
    }
    for (pid_t p : children_) hxtest::WaitExit(p);
    EXPECT_EQ(hxtest::TablesAttached(inst_), "-1 -1");
  }
  // What j_monitor printed for one scenario ("name=value" lines).
  std::string Run(const std::vector<std::string>& args) {
    std::string out;
    EXPECT_EQ(0, hxtest::RunAndCapture(hxtest::ChildPath("j_monitor"), args, &out));
    return out;
  }
  hxtest::TestInstance inst_;
  std::vector<pid_t> children_;
};

// A stop from the policy callback (on the monitor thread), by SM_Stop or the
// daemon's stop, returns at once and the thread ends after its update, with no
// row after it; the daemon's later stop frees the monitor.
TEST_F(MonitorProcess, StopsFromTheMonitorThread) {
  for (const std::string how : {"sm_stop", "stoplog"}) {
    const std::string open = how == "stoplog" ? "0" : "1";  // lookups and starts after the stop
    EXPECT_EQ("callback_returned=1\nthread_ended=1\nrows_after_stop=0\nhandle_null=0\nagent_after=" + open +
                  "\nstart_after=" + open + "\nhandle_null_at_end=1\n",
              Run({"selfstop", how}));
  }
}

TEST_F(MonitorProcess, DaemonLogsEveryProviderAndReleasesTheTablesOnStop) {
  const std::string ctl = inst_.root() + "/ctl";
  ASSERT_EQ(0, mkdir(ctl.c_str(), 0777));
  for (const char* name : {"CollectStreamStats", "SysRsrcMonMinutes", "SysRsrcMonTarnellJobsMinutes"}) {
    inst_.SetConfig("Hxd", name, "1");
  }
  inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "60");
  inst_.SetConfig("Platform", "PlatformType", "6");
  inst_.SetConfig("Hxd", "PerfMetricsTextfileDirectory", inst_.root());
  inst_.SetConfig("Hxd", "ThroughputSchedule", "00:00,123456 12:00,123456:7");
  const auto exists = [&](const std::string& f) { return access((ctl + "/" + f).c_str(), F_OK) == 0; };
  const pid_t daemon = hxtest::Spawn(hxtest::ChildPath("j_monitor"), {"daemon", ctl, "1000"}, inst_.root() + "/daemon.out");
  children_.push_back(daemon);
  ASSERT_TRUE(hxtest::WaitFor([&] { return exists("daemon.ready"); }, 120));  // the tables exist
  // Two inbound jobs (one from the other ABI's build when there is one), one outbound.
  const std::string other = hxtest::OtherAbiChildPath("j_job");
  std::vector<pid_t> jobs = {
      hxtest::Spawn(hxtest::ChildPath("j_job"), {ctl, "in101", "2", "101", "2", "1000", "src-a"}),
      hxtest::Spawn(other.empty() ? hxtest::ChildPath("j_job") : other, {ctl, "in102", "2", "102", "3", "2000", "src-b"}),
      hxtest::Spawn(hxtest::ChildPath("j_job"), {ctl, "out201", "1", "201", "1", "5000", "src-c"})};
  children_.insert(children_.end(), jobs.begin(), jobs.end());
  // The metrics textfile (written at the end of a tick) holds every provider
  // that ran, this machine's memory, the inbound jobs' figures (outbound
  // jobs are summarised only) and the daemon's tables' machine limits.
  const std::string focus = inst_.focus();
  std::string error;
  std::set<std::string> upTypes;
  EXPECT_TRUE(hxtest::WaitFor([&] {
    hxtest::SeriesValues series;
    std::map<std::string, std::string> types;
    upTypes.clear();
    if (!hxtest::ParseSeries(inst_.root() + "/halvex_" + focus + ".prom", &series, &types, &error)) return false;
    for (const auto& s : series) {
      if (s.first.first == "halvex_monitor_provider_up") upTypes.insert(s.first.second.at("agent_type"));
    }
    return upTypes == std::set<std::string>{"2", "3", "4", "6", "7", "8", "9"} &&
           series[{"halvex_system_physical_memory_kilobytes", {{"instance", focus}}}] > 0 &&
           series[{"halvex_jobs_stream_writer_received_bytes", {{"instance", focus}}}] == 8000 &&
           series[{"halvex_jobs_stats_total_read_bytes", {{"instance", focus}, {"job", "101"}}}] == 2000 &&
           series[{"halvex_jobs_stats_total_read_bytes", {{"instance", focus}, {"job", "102"}}}] == 6000 &&
           series.count({"halvex_jobs_stats_total_read_bytes", {{"instance", focus}, {"job", "201"}}}) == 0 &&
           series[{"halvex_monitor_machine_limit_megabytes_per_hour", {{"instance", focus}, {"table", "outbound"}}}] == 123456 &&
           series[{"halvex_monitor_machine_limit_next_change_timestamp_seconds", {{"instance", focus}, {"table", "inbound"}}}] > time(nullptr);
  }, 120)) << error << upTypes.size();

  // The jobs finish: the monitor still holds one attachment per table beside
  // the daemon's own; its stop releases them.
  hxtest::WriteFile(ctl + "/jobs.stop", "");
  for (pid_t p : jobs) EXPECT_EQ(0, hxtest::WaitExit(p));
  EXPECT_TRUE(hxtest::WaitFor([&] { return hxtest::TablesAttached(inst_) == "2 2"; }, 60));
  hxtest::WriteFile(ctl + "/stop", "");
  EXPECT_TRUE(hxtest::WaitFor([&] { return exists("daemon.stopped"); }, 120));
  EXPECT_EQ(hxtest::TablesAttached(inst_), "1 1");
  hxtest::WriteFile(ctl + "/exit", "");
  EXPECT_EQ(0, hxtest::WaitExit(daemon));
  children_.clear();
  const std::string out = hxtest::ReadFile(inst_.root() + "/daemon.out");
  for (const char* line : {"hxd_init=0\n", "start=1\n", "hxd_uninit=0\n"}) EXPECT_NE(std::string::npos, out.find(line)) << out;
}

}  // namespace
