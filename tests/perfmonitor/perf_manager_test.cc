// Perf manager core: configuration, registration, tick bookkeeping, thread.
#include <gtest/gtest.h>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::Eventually;
using hxtest::FakeProvider;

class PerfManagerTest : public ::testing::Test {
 protected:
  size_t Logged(const std::string& text) { return inst.LogLinesContaining(text).size(); }
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
};

TEST_F(PerfManagerTest, InitializeReadsAndClampsTheConfiguration) {
  struct Case {
    const char *size, *count, *dir;  // null: not configured
    uint32_t wantSize, wantCount;
    const char *sizeAdjust, *countAdjust;  // expected adjusting message, or null
  } cases[] = {
      {nullptr, nullptr, nullptr, 10, 10, nullptr, nullptr},
      {"0", "0", "/", 1, 1, "Adjusting Max Perf Log file size to (1 MB) )",
       "Adjusting Max Per log file count to (1)"},
      {"5000", "2000", "", 1024, 1024, "Adjusting Max Perf Log file size to (1024 MB) )",
       "Adjusting Max Perf log file count to (1024)"},
      {"1024", "1", "", 1024, 1, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wantSize);
    inst.ClearLog();
    if (c.size) inst.SetConfig("Hxd", "HX_PERF_LOG_SIZEMB", c.size);
    if (c.count) inst.SetConfig("Hxd", "HX_PERF_LOG_COUNT", c.count);
    if (c.dir) inst.SetConfig("Platform", "LogFilesDirectory", inst.logDir() + c.dir);
    CHxPerfManager m(&env);
    CHxPerfManagerTestPeer peer(m);
    ASSERT_EQ(0, m.Initialize(nullptr));
    EXPECT_EQ(inst.logDir() + "/ResourceMonitor", peer.logDirectory());  // never "//"
    EXPECT_TRUE(CUaPath::Exists(peer.logDirectory().c_str()));
    EXPECT_EQ(c.wantSize, peer.maxLogSizeMB());
    EXPECT_EQ(c.wantCount, peer.maxLogCount());
    if (c.size) {
      EXPECT_EQ(1u, Logged(std::string("HX_PERF_LOG_SIZEMB found set (") + c.size + " MB) )"));
      EXPECT_EQ(1u, Logged(std::string("HX_PERF_LOG_COUNT found set (") + c.count + ")"));
    }
    EXPECT_EQ(c.sizeAdjust ? 1u : 0u, Logged(c.sizeAdjust ? c.sizeAdjust : "Adjusting Max Perf Log"));
    EXPECT_EQ(c.countAdjust ? 1u : 0u, Logged(c.countAdjust ? c.countAdjust : "log file count to"));
    EXPECT_EQ(1u, Logged("CHxPerfManager::Initialize: System Resource Monitor Initialization "
                         "succeeded ( LogFilesDirectory [" + peer.logDirectory() +
                         "]  [Max-log-File size -  " + std::to_string(c.wantSize) +
                         " MB] [Max-Log-File Count - " + std::to_string(c.wantCount) + "]"));
  }
}

TEST_F(PerfManagerTest, RegistrationAddsOneEntryPerAgentTypeAndRefusalsNone) {
  FakeProvider p("Multi", {RSRC_AGENT_LOGICAL_DISK, RSRC_AGENT_PROCESS});
  {
    inst.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
    CHxPerfManager m(&env);
    EXPECT_EQ(-1, m.Initialize(nullptr));
    EXPECT_EQ(1u, Logged("CHxPerfManager::Initialize:System Resource Monitor is disabled"));
    EXPECT_EQ(-1, m.RegisterPerfProvider(&p));
    EXPECT_EQ(1u, Logged("[ERROR]System Resource Monitor is Not Initialized"));
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
  EXPECT_EQ(1u, Logged("Invalid subscriber request..."));
  FakeProvider none("Empty", {});
  EXPECT_EQ(-1, m.RegisterPerfProvider(&none));
  EXPECT_EQ(1u, Logged("registration request with 0 agent types. Provider [Empty]"));
  EXPECT_TRUE(peer.agents().empty());

  p.SetInterval(RSRC_AGENT_LOGICAL_DISK, 4);
  p.SetInterval(RSRC_AGENT_PROCESS, 0);
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(2u, peer.agents().size());
  EXPECT_EQ(RSRC_AGENT_LOGICAL_DISK, peer.agents()[0].agentType);
  EXPECT_EQ(4u, peer.agents()[0].intervalMinutes);
  EXPECT_EQ(RSRC_AGENT_PROCESS, peer.agents()[1].agentType);
  EXPECT_EQ(0u, peer.agents()[1].intervalMinutes);
  EXPECT_EQ(0, p.initCalls.load());  // initialised lazily, at the first due tick
  EXPECT_EQ(1u, Logged("provider [Multi] has been registered[Agent type - 2] [time interval = 4 minutes]..."));
  EXPECT_EQ(1u, Logged("provider [Multi] has been disabled"));
}

// Serves ticks one by one and records which agent types were updated.
std::vector<std::vector<ResourceAgentType>> DriveTicks(CHxPerfManager& m, FakeProvider& p, int n) {
  std::vector<std::vector<ResourceAgentType>> perTick;
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(0, m.UpdateTimerAndPerfLogs());
    perTick.push_back(p.Updates(true));
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
  // A provider whose Initialize fails is disabled for good, the others go on.
  FakeProvider bad("Bad", {RSRC_AGENT_LOGICAL_DISK});
  bad.initResult = -1;
  bad.SetInterval(RSRC_AGENT_LOGICAL_DISK, 1);
  ASSERT_EQ(0, m.RegisterPerfProvider(&bad));

  auto ticks = DriveTicks(m, p, 7);
  using V = std::vector<ResourceAgentType>;
  const V both{RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP}, tcp{RSRC_AGENT_TCPIP};
  EXPECT_EQ((std::vector<V>{tcp, tcp, both, tcp, tcp, both, tcp}), ticks);
  // One lazy Initialize per served entry, never for the disabled one.
  EXPECT_EQ(2, p.initCalls.load());
  EXPECT_FALSE(peer.agents()[2].bInitDone);
  EXPECT_EQ(1, peer.agents()[0].elapsedMinutes);
  EXPECT_EQ(1, bad.initCalls.load());
  EXPECT_EQ(0, bad.updateCalls.load());
  EXPECT_EQ(1u, Logged("provider [Bad] initialization failied..."));

  // Configuration enables the disabled entry: initialised at its first due tick.
  p.SetInterval(RSRC_AGENT_PROCESS, 2);
  m.ConfigIntervalMinutes();
  EXPECT_EQ(1u, Logged("Monitor P Interval Minutes has been changed from 0 to 2 "));
  EXPECT_EQ(1u, Logged("Set by Reg-key [Agent - 3] [Freq-Minutes - 2]"));
  ticks = DriveTicks(m, p, 2);
  EXPECT_EQ((V{RSRC_AGENT_TCPIP}), ticks[0]);
  EXPECT_EQ((V{RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_PROCESS}), ticks[1]);
  EXPECT_EQ(3, p.initCalls.load());

  // Disabling keeps the elapsed count; re-enabling resumes from it.
  DriveTicks(m, p, 1);
  p.SetInterval(RSRC_AGENT_SYSTEM, 0);
  m.ConfigIntervalMinutes();
  EXPECT_EQ(1u, Logged("System Resource Monitor P is disabled "));
  DriveTicks(m, p, 3);
  EXPECT_EQ(1, peer.agents()[0].elapsedMinutes);
  p.SetInterval(RSRC_AGENT_SYSTEM, 2);
  m.ConfigIntervalMinutes();
  ticks = DriveTicks(m, p, 1);
  EXPECT_EQ(RSRC_AGENT_SYSTEM, ticks[0].front());
  EXPECT_EQ(0, p.uninitCalls.load());
  EXPECT_EQ(1, bad.initCalls.load());
}

TEST_F(PerfManagerTest, ThreadServesProvidersAndUninitializesInitializedEntriesAtItsEnd) {
  {
    CHxPerfManager idle(&env, 2);
    CHxPerfManagerTestPeer peer(idle);
    ASSERT_EQ(0, idle.Initialize(nullptr));
    EXPECT_EQ(0, idle.Run());  // no providers: no thread
    EXPECT_FALSE(peer.running());
    EXPECT_EQ(1u, Logged("No providers have been registered. Exiting System Resource Monitor now...."));
  }
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
  EXPECT_EQ(1u, Logged("CHxPerfManager::Run: System Resource Monitor found running state...."));
  FakeProvider late("Late", {RSRC_AGENT_SYSTEM});
  EXPECT_EQ(-1, m.RegisterPerfProvider(&late));
  EXPECT_EQ(1u, Logged("found running state. Provider [Late] initialization can not be registered..."));
  // Only the thread's refresh every thirty ticks can pick up this change.
  off.SetInterval(RSRC_AGENT_TCPIP, 1);
  ASSERT_TRUE(Eventually([&] { return p.updateCalls.load() >= 6 && off.updateCalls.load() > 0; }));

  EXPECT_EQ(0, m.Stop());
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(2, p.initCalls.load());
  EXPECT_EQ(2, p.uninitCalls.load());  // one per initialised entry
  EXPECT_EQ(1, bad.initCalls.load());
  EXPECT_EQ(0, bad.uninitCalls.load());
  EXPECT_EQ(1, off.uninitCalls.load());
  EXPECT_EQ(1u, Logged("System Resource Monitor Thread has been Stopped...."));
  EXPECT_EQ(1u, Logged("CHxPerfManager::Stop:System Resource Monitor has been stopped...."));

  // Stopped for good: nothing restarts it.
  EXPECT_EQ(-1, m.Run());
  EXPECT_EQ(-1, m.Initialize(nullptr));
  EXPECT_EQ(0, m.Stop());
  EXPECT_EQ(1u, Logged("CHxPerfManager::Stop: System Resource Monitor found Stopped state...."));
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
  const int updates = p.updateCalls.load();
  EXPECT_EQ(1, p.uninitCalls.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(updates, p.updateCalls.load());  // nothing touches the provider any more
}

}  // namespace
