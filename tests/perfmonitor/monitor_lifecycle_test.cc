// The process-wide monitor's lifecycle (Idle, Active, Closed), each scenario
// in a process of its own because Closed is final for a process.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
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

using Results = std::map<std::string, std::string>;

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
  // Runs j_monitor and returns its "name=value" lines.
  Results RunMonitor(const std::vector<std::string>& args) {
    std::string out;
    EXPECT_EQ(hxtest::RunAndCapture(hxtest::ChildPath("j_monitor"), args, &out), 0);
    Results result;
    std::stringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) result[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return result;
  }
  // Every expected value appears as printed.
  static void ExpectAll(Results& got, const Results& want) {
    for (const auto& kv : want) EXPECT_EQ(got[kv.first], kv.second) << kv.first;
  }

  hxtest::TestInstance inst_;
  const std::string os_ = NameOf<CHxPerfProviderLinuxSystem>() + "|" + NameOf<CHxPerfProviderLinuxTCP>() +
                          "|" + NameOf<CHxPerfProviderLinuxDisk>() + "|" + NameOf<CHxPerfProviderLinuxProcess>();
};

TEST_F(MonitorLifecycle, ActiveUntilStopThenClosedForGood) {
  for (bool streams : {false, true}) {
    SCOPED_TRACE(streams);
    inst_.ClearLog();
    inst_.SetConfig("Hxd", "CollectStreamStats", streams ? "1" : "0");
    Results r = RunMonitor({"sequence"});
    // The jobs provider first (with stream statistics), then the operating-system providers in order.
    ExpectAll(r, {{"agent_nonnull", "1"}, {"handle_null", "0"}, {"start", "1"}, {"agent_same", "1"},
                  {"providers", (streams ? NameOf<CHxPerfProviderTarnellJobs>() + "|" : "") + os_},
                  {"handle_null_after_stop", "1"}, {"start_after_stop", "0"},
                  {"agent_after_stop_null", "1"}, {"handle_null_at_end", "1"}});
    // Stop waits for the monitor thread, which is idle here: it must not take
    // anything like a shell command's time limit.
    ASSERT_FALSE(r["stop_ms"].empty());
    EXPECT_LT(std::stoll(r["stop_ms"]), static_cast<long long>(HxProcess::kDefaultTimeoutMs));
    EXPECT_EQ(inst_.LogLinesContaining("[System Resource Monitor] a valid Handle is already active. ...").size(), 1u);
    EXPECT_FALSE(inst_.LogLinesContaining("StopSystemresourceMonitorLog has run, hxd is going down, "
                                          "not starting SystemresourceMonitorLog").empty());
  }
}

TEST_F(MonitorLifecycle, StopBeforeAnyStartClosesAndAFailedStartLeavesIdle) {
  Results r = RunMonitor({"stopfirst"});
  ExpectAll(r, {{"flag", "1"}, {"start", "0"}, {"agent_null", "1"}, {"handle_null", "1"}});

  // Disabled monitor: the start fails at the manager's initialisation, before
  // any provider (not even the jobs provider) is created.
  inst_.SetConfig("Hxd", "CollectStreamStats", "1");
  inst_.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  r = RunMonitor({"failedstart", inst_.root() + "/registry/Halvex/" + inst_.focus() + "/Hxd/.properties"});
  // The lookup tries again and fails again; once the configuration is fixed a start succeeds.
  ExpectAll(r, {{"start1", "0"}, {"handle_null", "1"}, {"agent_null", "1"}, {"start2", "1"},
                {"handle_null_after_retry", "0"}});
  EXPECT_GE(inst_.LogLinesContaining("[System Resource Monitor] PerfManager-Initialization failed. ...").size(), 2u);
}

TEST_F(MonitorLifecycle, ConcurrentStartsLookupsAndStopKeepTheLifecycle) {
  // A fast tick with every provider due at each tick, so the monitor thread
  // works (and attaches the throttle tables) while the stop arrives.
  for (const char* name : {"CollectStreamStats", "SysRsrcMonMinutes", "SysRsrcMonTarnellJobsMinutes"}) {
    inst_.SetConfig("Hxd", name, "1");
  }
  inst_.SetConfig("Hxd", "PerfUpdateIntervalSeconds", "60");
  Results r = RunMonitor({"concurrent", "6", "40", "20"});  // also fails on a sanitizer report
  ExpectAll(r, {{"violations", "0"}, {"handle_null_at_end", "1"}, {"flag", "1"}});
  ASSERT_FALSE(r["succeeded"].empty());
  EXPECT_GT(std::stoi(r["succeeded"]), 0);
  EXPECT_GT(std::stoi(r["refused"]), 0);
}

// A policy callback runs on the monitor thread; a stop asked from there
// returns at once, the thread ends right after its update and no row follows.
// The daemon's stop from there closes the process; the daemon's stop from
// another thread then frees the monitor.
TEST_F(MonitorLifecycle, StopFromThePolicyCallbackNeverWaitsForItself) {
  for (const std::string how : {"sm_stop", "stoplog"}) {
    SCOPED_TRACE(how);
    const bool daemonStop = how == "stoplog";
    Results r = RunMonitor({"selfstop", how});
    ExpectAll(r, {{"callback_returned", "1"}, {"thread_ended", "1"}, {"rows_after_stop", "0"},
                  {"handle_null", "0"}, {"agent_after", daemonStop ? "0" : "1"},
                  {"start_after", daemonStop ? "0" : "1"},
                  {"handle_null_at_end", "1"}});
    RecordProperty("stop_to_thread_end_us_" + how, r["stop_to_end_us"]);
    printf("stop from the monitor thread (%s) to its end: %s us\n", how.c_str(),
           r["stop_to_end_us"].c_str());
  }
}

// The engine's SM_Stop and the daemon's stop both wait for a busy monitor
// thread; the daemon's frees the manager only once SM_Stop has left it
// (a use after the free fails the sanitizer builds, or hangs or crashes).
TEST_F(MonitorLifecycle, EngineStopRacingTheDaemonStopUsesNoFreedManager) {
  inst_.SetConfig("Hxd", "SysRsrcMonMinutes", "1");
  Results r = RunMonitor({"race"});
  ExpectAll(r, {{"finished", "1"}, {"handle_null_at_end", "1"}});
}

}  // namespace
