// The process-wide monitor's lifecycle (Idle, Active, Closed), each scenario
// in a process of its own because Closed is final for a process.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hx_process.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/common/test_env.h"

namespace {

std::map<std::string, std::string> RunMonitor(const std::vector<std::string>& args, int* exitCode) {
  std::string out;
  *exitCode = hxtest::RunAndCapture(hxtest::ChildPath("j_monitor"), args, &out);
  std::map<std::string, std::string> result;
  std::stringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) result[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return result;
}

template <typename P>
std::string NameOf() {
  P p;
  std::string n;
  p.GetPerfProviderName(n);
  return n;
}

class MonitorLifecycle : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every table the monitor attached was released when it stopped (the
    // last user of a table removes its segment).
    for (const char* suffix : {"_HX_THROTTLE_SHMEM_IN", "_HX_THROTTLE_SHMEM_OUT"}) {
      const key_t key = ftok((inst_.jobResultsDir() + "/" + inst_.focus() + suffix).c_str(), 0xFEFA);
      EXPECT_TRUE(key == -1 || shmget(key, 0, 0) == -1) << suffix;
    }
  }
  std::string HxdProperties() const {
    return inst_.root() + "/registry/Halvex/" + inst_.focus() + "/Hxd/.properties";
  }
  std::string OsProviders() const {
    return NameOf<CHxPerfProviderLinuxSystem>() + "|" + NameOf<CHxPerfProviderLinuxTCP>() + "|" +
           NameOf<CHxPerfProviderLinuxDisk>() + "|" + NameOf<CHxPerfProviderLinuxProcess>();
  }

  hxtest::TestInstance inst_;
};

TEST_F(MonitorLifecycle, ActiveUntilStopThenClosedForGood) {
  inst_.SetConfig("Hxd", "CollectStreamStats", "1");
  int rc = -1;
  auto r = RunMonitor({"sequence"}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r["start1"], "1");
  EXPECT_EQ(r["start2"], "1");  // already active: true, nothing built
  EXPECT_EQ(r["agent_nonnull"], "1");
  EXPECT_EQ(r["agent_same"], "1");
  // The jobs provider first, then the operating-system providers in order.
  EXPECT_EQ(r["providers"], NameOf<CHxPerfProviderTarnellJobs>() + "|" + OsProviders());
  EXPECT_EQ(r["handle_null_after_stop"], "1");
  EXPECT_EQ(r["start3"], "0");
  EXPECT_EQ(r["agent_after_stop_null"], "1");
  EXPECT_EQ(r["handle_null_at_end"], "1");
  // Stop waits for the monitor thread, which is idle here: it must not take
  // anything like a shell command's time limit.
  ASSERT_FALSE(r["stop_ms"].empty());
  EXPECT_LT(std::stoll(r["stop_ms"]), static_cast<long long>(HxProcess::kDefaultTimeoutMs));

  EXPECT_EQ(inst_.LogLinesContaining("[System Resource Monitor] a valid Handle is already active. ...")
                .size(),
            1u);
  EXPECT_FALSE(inst_.LogLinesContaining("StopSystemresourceMonitorLog has run, hxd is going down, "
                                        "not starting SystemresourceMonitorLog")
                   .empty());
}

TEST_F(MonitorLifecycle, WithoutStreamStatisticsTheFourSystemProvidersRegister) {
  int rc = -1;
  auto r = RunMonitor({"sequence"}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r["start1"], "1");
  EXPECT_EQ(r["providers"], OsProviders());
}

TEST_F(MonitorLifecycle, StopBeforeAnyStartClosesTheProcess) {
  int rc = -1;
  auto r = RunMonitor({"stopfirst"}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r["flag"], "1");
  EXPECT_EQ(r["start"], "0");
  EXPECT_EQ(r["agent_null"], "1");
  EXPECT_EQ(r["handle_null"], "1");
}

TEST_F(MonitorLifecycle, LookupOnAnIdleProcessStartsTheMonitor) {
  int rc = -1;
  auto r = RunMonitor({"lookupstarts"}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r["agent_nonnull"], "1");
  EXPECT_EQ(r["handle_null"], "0");
  EXPECT_EQ(r["start"], "1");
  EXPECT_EQ(r["agent_same"], "1");
}

TEST_F(MonitorLifecycle, FailedStartLeavesTheProcessIdle) {
  // Disabled monitor: the start fails at the manager's initialisation, before
  // any provider (not even the jobs provider) is created.
  inst_.SetConfig("Hxd", "CollectStreamStats", "1");
  inst_.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  int rc = -1;
  auto r = RunMonitor({"failedstart", HxdProperties()}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r["start1"], "0");
  EXPECT_EQ(r["handle_null"], "1");
  EXPECT_EQ(r["agent_null"], "1");  // the lookup tried again and failed again
  EXPECT_EQ(r["start2"], "1");      // configuration fixed: a later start succeeds
  EXPECT_EQ(r["handle_null_after_retry"], "0");
  EXPECT_GE(inst_.LogLinesContaining("[System Resource Monitor] PerfManager-Initialization failed. ...")
                .size(),
            2u);
}

TEST_F(MonitorLifecycle, ConcurrentStartsLookupsAndStopKeepTheLifecycle) {
  // A fast tick with every provider due at each tick, so the monitor thread
  // works (and attaches the throttle tables) while the stop arrives.
  inst_.SetConfig("Hxd", "CollectStreamStats", "1");
  inst_.SetConfig("Hxd", "SysRsrcMonMinutes", "1");
  inst_.SetConfig("Hxd", "SysRsrcMonTarnellJobsMinutes", "1");
  inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "60");
  int rc = -1;
  auto r = RunMonitor({"concurrent", "6", "40", "20"}, &rc);
  ASSERT_EQ(rc, 0);  // also fails on a sanitizer report in sanitizer builds
  EXPECT_EQ(r["violations"], "0");
  EXPECT_EQ(r["handle_null_at_end"], "1");
  EXPECT_EQ(r["flag"], "1");
  ASSERT_FALSE(r["succeeded"].empty());
  EXPECT_GT(std::stoi(r["succeeded"]), 0);
  EXPECT_GT(std::stoi(r["refused"]), 0);
}

}  // namespace
