// Perf manager core: configuration, registration, tick bookkeeping, thread.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;

// Waits (bounded) for a condition the monitor thread brings about.
template <typename Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 2000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

class PerfManagerTest : public ::testing::Test {
 protected:
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
};

TEST_F(PerfManagerTest, InitializeAdoptsDefaultsAndPreparesFolder) {
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  EXPECT_EQ(inst.logDir() + "/ResourceMonitor", peer.logDirectory());
  EXPECT_TRUE(CUaPath::Exists(peer.logDirectory().c_str()));
  EXPECT_EQ(10u, peer.maxLogSizeMB());
  EXPECT_EQ(10u, peer.maxLogCount());
  EXPECT_TRUE(inst.LogLinesContaining("reg-key").empty());
  EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::Initialize: System Resource Monitor "
                                        "Initialization succeeded ( LogFilesDirectory [" +
                                        peer.logDirectory() +
                                        "]  [Max-log-File size -  10 MB] [Max-Log-File Count - 10]")
                    .size());
}

TEST_F(PerfManagerTest, InitializeClampsConfiguredLimits) {
  struct Case {
    const char* size;
    const char* count;
    uint32_t wantSize, wantCount;
    const char* sizeAdjust;   // expected adjusting message, or null
    const char* countAdjust;
  } cases[] = {
      {"0", "0", 1, 1, "Adjusting Max Perf Log file size to (1 MB) )",
       "Adjusting Max Per log file count to (1)"},
      {"5000", "2000", 1024, 1024, "Adjusting Max Perf Log file size to (1024 MB) )",
       "Adjusting Max Perf log file count to (1024)"},
      {"1024", "1", 1024, 1, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.size) + "/" + c.count);
    inst.ClearLog();
    inst.SetConfig("Hxd", "HX_PERF_LOG_SIZEMB", c.size);
    inst.SetConfig("Hxd", "HX_PERF_LOG_COUNT", c.count);
    CHxPerfManager m(&env);
    CHxPerfManagerTestPeer peer(m);
    ASSERT_EQ(0, m.Initialize(nullptr));
    EXPECT_EQ(c.wantSize, peer.maxLogSizeMB());
    EXPECT_EQ(c.wantCount, peer.maxLogCount());
    EXPECT_EQ(1u, inst.LogLinesContaining(std::string("HX_PERF_LOG_SIZEMB found set (") + c.size +
                                          " MB) )")
                      .size());
    EXPECT_EQ(1u, inst.LogLinesContaining(std::string("HX_PERF_LOG_COUNT found set (") + c.count +
                                          ")")
                      .size());
    EXPECT_EQ(c.sizeAdjust ? 1u : 0u,
              inst.LogLinesContaining(c.sizeAdjust ? c.sizeAdjust : "Adjusting Max Perf Log").size());
    EXPECT_EQ(c.countAdjust ? 1u : 0u,
              inst.LogLinesContaining(c.countAdjust ? c.countAdjust : "log file count to").size());
  }
}

TEST_F(PerfManagerTest, LogDirectoryWithTrailingSlashGetsNoSecondSlash) {
  inst.SetConfig("Platform", "LogFilesDirectory", inst.logDir() + "/");
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  EXPECT_EQ(inst.logDir() + "/ResourceMonitor", peer.logDirectory());
}

TEST_F(PerfManagerTest, RefusalsLeaveNoEntries) {
  FakeProvider p("P", {RSRC_AGENT_SYSTEM});
  {
    inst.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
    CHxPerfManager m(&env);
    EXPECT_EQ(-1, m.Initialize(nullptr));
    EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::Initialize:System Resource Monitor is disabled").size());
    EXPECT_EQ(-1, m.RegisterPerfProvider(&p));
    EXPECT_EQ(1u, inst.LogLinesContaining("[ERROR]System Resource Monitor is Not Initialized").size());
    inst.RemoveConfig("Hxd", "HX_PERF_LOG_DISABLE");
  }
  {
    // A log directory that cannot be made (a regular file is in the way).
    hxtest::WriteFile(inst.root() + "/blocker", "x");
    inst.SetConfig("Platform", "LogFilesDirectory", inst.root() + "/blocker/Log");
    CHxPerfManager m(&env);
    EXPECT_EQ(-1, m.Initialize(nullptr));
    inst.SetConfig("Platform", "LogFilesDirectory", inst.logDir());
  }
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  EXPECT_EQ(-1, m.RegisterPerfProvider(nullptr));
  EXPECT_EQ(1u, inst.LogLinesContaining("Invalid subscriber request...").size());
  FakeProvider none("Empty", {});
  EXPECT_EQ(-1, m.RegisterPerfProvider(&none));
  EXPECT_EQ(1u, inst.LogLinesContaining("registration request with 0 agent types. Provider [Empty]").size());
  EXPECT_TRUE(peer.agents().empty());
}

TEST_F(PerfManagerTest, RegistrationAddsOneEntryPerAgentTypeWithoutInitializing) {
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("Multi", {RSRC_AGENT_LOGICAL_DISK, RSRC_AGENT_PROCESS});
  p.SetInterval(RSRC_AGENT_LOGICAL_DISK, 4);
  p.SetInterval(RSRC_AGENT_PROCESS, 0);
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(2u, peer.agents().size());
  EXPECT_EQ(RSRC_AGENT_LOGICAL_DISK, peer.agents()[0].agentType);
  EXPECT_EQ(4u, peer.agents()[0].intervalMinutes);
  EXPECT_EQ(RSRC_AGENT_PROCESS, peer.agents()[1].agentType);
  EXPECT_EQ(0u, peer.agents()[1].intervalMinutes);
  EXPECT_EQ(0, p.initCalls.load());
  EXPECT_EQ(1u, inst.LogLinesContaining("provider [Multi] has been registered[Agent type - 2] [time interval = 4 minutes]...").size());
  EXPECT_EQ(1u, inst.LogLinesContaining("provider [Multi] has been disabled").size());
}

// Serves ticks one by one and records which agent types were updated.
std::vector<std::vector<ResourceAgentType>> DriveTicks(CHxPerfManager& m, FakeProvider& p, int n) {
  std::vector<std::vector<ResourceAgentType>> perTick;
  for (int i = 0; i < n; ++i) {
    p.ClearUpdates();
    EXPECT_EQ(0, m.UpdateTimerAndPerfLogs());
    perTick.push_back(p.Updates());
  }
  return perTick;
}

TEST_F(PerfManagerTest, EntryOfIntervalNIsServedEveryNthTick) {
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("P", {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_PROCESS});
  p.SetInterval(RSRC_AGENT_SYSTEM, 3);
  p.SetInterval(RSRC_AGENT_TCPIP, 1);
  p.SetInterval(RSRC_AGENT_PROCESS, 0);
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));

  auto ticks = DriveTicks(m, p, 7);
  using V = std::vector<ResourceAgentType>;
  const V both{RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP}, tcp{RSRC_AGENT_TCPIP};
  EXPECT_EQ((std::vector<V>{tcp, tcp, both, tcp, tcp, both, tcp}), ticks);
  // One lazy Initialize per served entry, never for the disabled one.
  EXPECT_EQ(2, p.initCalls.load());
  EXPECT_FALSE(peer.agents()[2].bInitDone);
  EXPECT_EQ(1, peer.agents()[0].elapsedMinutes);

  // Configuration enables the disabled entry: initialised at its first due tick.
  p.SetInterval(RSRC_AGENT_PROCESS, 2);
  m.ConfigIntervalMinutes();
  EXPECT_EQ(1u, inst.LogLinesContaining("Monitor P Interval Minutes has been changed from 0 to 2 ").size());
  EXPECT_EQ(1u, inst.LogLinesContaining("Set by Reg-key [Agent - 3] [Freq-Minutes - 2]").size());
  ticks = DriveTicks(m, p, 2);
  EXPECT_EQ((V{RSRC_AGENT_TCPIP}), ticks[0]);
  EXPECT_EQ((V{RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_PROCESS}), ticks[1]);
  EXPECT_EQ(3, p.initCalls.load());

  // Disabling keeps the elapsed count; re-enabling resumes from it.
  DriveTicks(m, p, 1);
  p.SetInterval(RSRC_AGENT_SYSTEM, 0);
  m.ConfigIntervalMinutes();
  EXPECT_EQ(1u, inst.LogLinesContaining("System Resource Monitor P is disabled ").size());
  EXPECT_EQ(0u, peer.agents()[0].intervalMinutes);
  DriveTicks(m, p, 3);
  EXPECT_EQ(1, peer.agents()[0].elapsedMinutes);
  p.SetInterval(RSRC_AGENT_SYSTEM, 2);
  m.ConfigIntervalMinutes();
  ticks = DriveTicks(m, p, 1);
  EXPECT_EQ(RSRC_AGENT_SYSTEM, ticks[0].front());
  EXPECT_EQ(0, p.uninitCalls.load());
}

TEST_F(PerfManagerTest, FailedInitializeDisablesOnlyThatEntryForGood) {
  CHxPerfManager m(&env);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider bad("Bad", {RSRC_AGENT_SYSTEM});
  bad.initResult = -1;
  bad.SetInterval(RSRC_AGENT_SYSTEM, 1);
  FakeProvider good("Good", {RSRC_AGENT_TCPIP});
  good.SetInterval(RSRC_AGENT_TCPIP, 2);
  ASSERT_EQ(0, m.RegisterPerfProvider(&bad));
  ASSERT_EQ(0, m.RegisterPerfProvider(&good));
  for (int i = 0; i < 6; ++i) m.UpdateTimerAndPerfLogs();
  EXPECT_EQ(1, bad.initCalls.load());
  EXPECT_EQ(0, bad.updateCalls.load());
  EXPECT_EQ(1, good.initCalls.load());
  EXPECT_EQ(3, good.updateCalls.load());
  EXPECT_EQ(1u, inst.LogLinesContaining("provider [Bad] initialization failied...").size());
}

TEST_F(PerfManagerTest, PolicyModeAppliesRecordsInSetOrder) {
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("P", {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_SYSTEM});
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  std::set<GenericResourcePolicyDetails> set;
  GenericResourcePolicyDetails r;
  r.agentType = RSRC_AGENT_SYSTEM;
  r.policyId1 = 1;
  r.freqMinutes = 5;
  set.insert(r);
  r.policyId1 = 2;  // later in set order: its interval wins
  r.freqMinutes = 7;
  set.insert(r);
  r.agentType = RSRC_AGENT_JOBS_STATS;  // no entry: message only
  r.freqMinutes = 9;
  set.insert(r);
  peer.attachPolicy(set, nullptr);
  peer.setPolicyMode(true);
  p.SetInterval(RSRC_AGENT_TCPIP, 1);  // not asked in policy mode
  m.ConfigIntervalMinutes();
  EXPECT_EQ(7u, peer.agents()[0].intervalMinutes);
  EXPECT_EQ(15u, peer.agents()[1].intervalMinutes);
  EXPECT_EQ(15u, peer.agents()[2].intervalMinutes);  // only the first entry of a type
  EXPECT_EQ(1u, inst.LogLinesContaining("Set by Policy [Agent - 9] [Freq-Minutes - 9]").size());
  EXPECT_EQ(3u, inst.LogLinesContaining("CHxPerfManager::ConfigIntervalMinutes: Set by Policy").size());
}

TEST_F(PerfManagerTest, RunServesProvidersAndThreadEndUninitializesInitializedEntries) {
  CHxPerfManager m(&env, 2);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("Two", {RSRC_AGENT_LOGICAL_DISK, RSRC_AGENT_PROCESS});
  p.SetInterval(RSRC_AGENT_LOGICAL_DISK, 1);
  p.SetInterval(RSRC_AGENT_PROCESS, 1);
  FakeProvider bad("Bad", {RSRC_AGENT_SYSTEM});
  bad.SetInterval(RSRC_AGENT_SYSTEM, 1);
  bad.initResult = -1;
  FakeProvider off("Off", {RSRC_AGENT_TCPIP});
  off.SetInterval(RSRC_AGENT_TCPIP, 0);
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(0, m.RegisterPerfProvider(&bad));
  ASSERT_EQ(0, m.RegisterPerfProvider(&off));
  ASSERT_EQ(0, m.Run());
  EXPECT_EQ(0, m.Run());  // already running
  EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::Run: System Resource Monitor found running state....").size());
  FakeProvider late("Late", {RSRC_AGENT_SYSTEM});
  EXPECT_EQ(-1, m.RegisterPerfProvider(&late));
  EXPECT_EQ(1u, inst.LogLinesContaining("found running state. Provider [Late] initialization can not be registered...").size());

  ASSERT_TRUE(Eventually([&] { return p.updateCalls.load() >= 6; }));
  EXPECT_EQ(0, m.Stop());
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(2, p.initCalls.load());
  EXPECT_EQ(2, p.uninitCalls.load());  // one per initialised entry
  EXPECT_EQ(1, bad.initCalls.load());
  EXPECT_EQ(0, bad.uninitCalls.load());
  EXPECT_EQ(0, off.initCalls.load());
  EXPECT_EQ(0, off.uninitCalls.load());
  EXPECT_EQ(1u, inst.LogLinesContaining("System Resource Monitor Thread has been Stopped....").size());
  EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::Stop:System Resource Monitor has been stopped....").size());

  // Stopped for good: nothing restarts it.
  EXPECT_EQ(-1, m.Run());
  EXPECT_EQ(-1, m.Initialize(nullptr));
  EXPECT_EQ(0, m.Stop());
  EXPECT_EQ(1u, inst.LogLinesContaining("found Stopped state....").size());
}

TEST_F(PerfManagerTest, RunWithoutProvidersStartsNothingAndStopIsImmediate) {
  CHxPerfManager m(&env, 2);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  EXPECT_EQ(0, m.Run());
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(1u, inst.LogLinesContaining("No providers have been registered. Exiting System Resource Monitor now....").size());
  EXPECT_EQ(0, m.Stop());
  EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::Stop: System Resource Monitor found Stopped state....").size());
  EXPECT_TRUE(inst.LogLinesContaining("has been stopped....").empty());
}

TEST_F(PerfManagerTest, ThreadRereadsIntervalsEveryThirtyTicks) {
  CHxPerfManager m(&env, 1);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("P", {RSRC_AGENT_SYSTEM});
  p.SetInterval(RSRC_AGENT_SYSTEM, 0);
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(0, m.Run());
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);  // only a refresh on the thread can pick this up
  EXPECT_TRUE(Eventually([&] { return p.updateCalls.load() > 0; }));
  m.Stop();
  EXPECT_EQ(1, p.initCalls.load());
}

TEST_F(PerfManagerTest, DestroyingARunningManagerJoinsItsThread) {
  FakeProvider p("P", {RSRC_AGENT_SYSTEM});
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  {
    CHxPerfManager m(&env, 1);
    ASSERT_EQ(0, m.Initialize(nullptr));
    ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    ASSERT_EQ(0, m.Run());
    ASSERT_TRUE(Eventually([&] { return p.updateCalls.load() > 0; }));
  }
  // The thread has ended: nothing touches the provider any more.
  const int updates = p.updateCalls.load();
  EXPECT_EQ(1, p.uninitCalls.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(updates, p.updateCalls.load());
}

}  // namespace
