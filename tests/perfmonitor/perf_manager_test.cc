// Perf manager: configuration, which entries each tick serves (against a
// reference model, policies included), and the monitor thread's lifecycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <random>
#include <set>

#include "perfmonitor/monitor_handle.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;

class PerfManagerTest : public ::testing::Test {
 protected:
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
};

TEST_F(PerfManagerTest, InitializeClampsSizeAndCount) {
  struct Case {
    const char *size, *count, *dirSuffix;
    unsigned wantSize, wantCount, adjustments;
  } cases[] = {{nullptr, nullptr, "", 10, 10, 0}, {"0", "0", "/", 1, 1, 2},
               {"5000", "1025", "", 1024, 1024, 2}, {"1024", "1", "", 1024, 1, 0}};
  for (const Case& c : cases) {
    inst.ClearLog();
    if (c.size) inst.SetConfig("Hxd", "HX_PERF_LOG_SIZEMB", c.size);
    if (c.count) inst.SetConfig("Hxd", "HX_PERF_LOG_COUNT", c.count);
    inst.SetConfig("Platform", "LogFilesDirectory", inst.logDir() + c.dirSuffix);
    CHxPerfManager m(&env);
    ASSERT_EQ(0, m.Initialize(nullptr));
    EXPECT_EQ(c.adjustments, inst.LogLinesContaining("Adjusting Max Per").size()) << c.wantSize;
    EXPECT_EQ(1u, inst.LogLinesContaining("( LogFilesDirectory [" + inst.logDir() + "/ResourceMonitor]  [Max-log-File size -  " +
                                          std::to_string(c.wantSize) + " MB] [Max-Log-File Count - " +
                                          std::to_string(c.wantCount) + "]").size());
  }
  inst.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  CHxPerfManager off(&env);
  EXPECT_EQ(-1, off.Initialize(nullptr));
  FakeProvider p("P", {RSRC_AGENT_SYSTEM});
  EXPECT_EQ(-1, off.RegisterPerfProvider(&p));  // not initialised
  EXPECT_EQ(-1, InsertAndRegisterProvider(nullptr, nullptr, &p));  // no handle, no log
}

// The policy engine's callback (a plain function) records "id1/id2 stamp seq".
std::vector<std::string> g_policyRows;
bool CollectPolicyRow(unsigned long id1, unsigned long id2, std::vector<std::string>& values) {
  g_policyRows.push_back(std::to_string(id1) + "/" + std::to_string(id2) + " " + values.at(0) + " " + values.at(1));
  return true;
}

// Random ticks, interval changes and policy records against a model of the
// entry list: after every tick the updates, lazy initialisations and policy
// hand-offs are those of the model.
TEST_F(PerfManagerTest, TicksServeEntriesAsTheModelSays) {
  setenv("TZ", "EST5", 1);  // policy stamps: UTC read back as local time, five hours later
  tzset();
  const ResourceAgentType kTypes[] = {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_PROCESS, RSRC_AGENT_LOGICAL_DISK,
                                      RSRC_AGENT_HBA_FC};
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    const auto pick = [&](int n) { return static_cast<uint32_t>(rng() % static_cast<unsigned>(n)); };
    CHxPerfManager m(&env);
    ASSERT_EQ(0, m.Initialize(nullptr));
    FakeProvider providers[] = {{"A", {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP}}, {"B", {RSRC_AGENT_PROCESS}},
                                {"C", {RSRC_AGENT_SYSTEM, RSRC_AGENT_LOGICAL_DISK}}};
    providers[1].initResult = pick(2) ? 0 : -1;
    struct Entry {
      int provider;
      ResourceAgentType type;
      uint32_t interval;
      int elapsed = 0;
      bool initDone = false, initOk = false;
    };
    std::vector<Entry> model;
    std::vector<std::pair<int, ResourceAgentType>> served;  // by the system this tick
    int seq = 0;
    for (int i = 0; i < 3; ++i) {
      std::vector<ResourceAgentType> types;
      providers[i].GetSupprotedAgentTypes(types);
      for (ResourceAgentType t : types) model.push_back({i, t, providers[i].intervals[t] = pick(4)});
      providers[i].onUpdate = [&served, &seq, i](ResourceAgentType t, iCHxPerfUpdateCallback* cb) {
        served.push_back({i, t});
        _PerfLogItems items{"1", {"Seq"}, {{std::to_string(++seq)}}};
        cb->OnUpdateLog(t, "Model", items);
      };
      ASSERT_EQ(0, m.RegisterPerfProvider(&providers[i]));
    }
    bool policyMode = false;
    std::set<GenericResourcePolicyDetails> policies;
    std::vector<std::string> wantProps[3];
    g_policyRows.clear();
    for (int step = 0; step < 150; ++step) {
      const uint32_t op = pick(10);
      if (op == 6) {  // a property reaches every provider serving its type
        std::vector<std::string> values = {std::to_string(step)};
        const ResourceAgentType t = kTypes[pick(5)];
        m.SM_SetAgentProp(t, RSRC_PROP_PROCESS_NAMES, values);
        for (const Entry& e : model) {
          if (e.type == t) wantProps[e.provider].push_back(std::to_string(t) + ":" + values[0]);
        }
        for (int i = 0; i < 3; ++i) ASSERT_EQ(wantProps[i], providers[i].props) << "seed " << seed << " step " << step;
        continue;
      }
      if (op >= 7) {
        if (op == 7) {
          providers[pick(3)].intervals[kTypes[pick(4)]] = pick(4);
          m.ConfigIntervalMinutes();
        } else {
          policies.clear();
          for (uint32_t n = pick(4); n > 0; --n) policies.insert(hxtest::Policy(kTypes[pick(5)], pick(4), pick(9), pick(9)));
          std::set<GenericResourcePolicyDetails> copy = policies;
          if (op == 8 || policyMode) m.SM_SetPolicyDetails(copy);  // before SM_Init: stored only
          if (op == 9 && !policyMode) {
            EXPECT_TRUE(m.SM_Init(copy, &CollectPolicyRow).Success());
          }
          policyMode = policyMode || op == 9;
        }
        // Policy mode: the first entry of each record's type takes its
        // interval, in set order; else every entry asks its provider.
        for (Entry& e : model) e.interval = policyMode ? e.interval : providers[e.provider].intervals[e.type].load();
        for (const GenericResourcePolicyDetails& p : policies) {
          auto e = std::find_if(model.begin(), model.end(), [&](const Entry& x) { return x.type == p.agentType; });
          if (policyMode && e != model.end()) e->interval = p.freqMinutes;
        }
        continue;
      }
      env.now += 60;
      served.clear();
      g_policyRows.clear();
      ASSERT_EQ(0, m.UpdateTimerAndPerfLogs());
      std::vector<std::pair<int, ResourceAgentType>> want;
      std::vector<std::string> wantRows;
      int inits[3] = {0, 0, 0};
      for (Entry& e : model) {
        if (e.interval != 0 && ++e.elapsed >= static_cast<int>(e.interval)) {
          if (!e.initDone) e.initOk = providers[e.provider].initResult == 0;
          e.initDone = true;
          e.elapsed = 0;
          if (e.initOk) want.push_back({e.provider, e.type});
        }
        inits[e.provider] += e.initDone;
      }
      // Each row of a policied type reaches the engine under the first record
      // of its type, stamped and in order.
      for (size_t k = 0; policyMode && k < want.size(); ++k) {
        auto p = std::find_if(policies.begin(), policies.end(),
                              [&](const GenericResourcePolicyDetails& x) { return x.agentType == want[k].second; });
        if (p == policies.end()) continue;
        wantRows.push_back(std::to_string(p->policyId1) + "/" + std::to_string(p->policyId2) + " " +
                           std::to_string(env.now + 5 * 3600) + " " + std::to_string(seq - want.size() + k + 1));
      }
      ASSERT_EQ(want, served) << "seed " << seed << " step " << step;
      ASSERT_EQ(wantRows, g_policyRows) << "seed " << seed << " step " << step;
      for (int i = 0; i < 3; ++i) ASSERT_EQ(inits[i], providers[i].initCalls.load()) << "seed " << seed << " step " << step;
    }
  }
}

// Set at the very end of the monitor thread, by its thread-local destructor
// (run after the thread's function has returned).
std::atomic<bool> g_threadExited{false};
struct ThreadExitMark {
  bool touched = false;
  ~ThreadExitMark() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_threadExited = true;
  }
};

// Stop (through SM_Stop, or the destructor of a running manager) returns only
// once the thread has ended; only initialised entries are uninitialised, the thread's
// periodic refresh picks up interval changes, a stopped manager stays so.
TEST_F(PerfManagerTest, StopAndDestructionReturnOnlyAfterTheThreadEnded) {
  {  // The production tick: nothing is served before it ends, and Stop does not wait it out.
    CHxPerfManager m(&env);
    FakeProvider p("P", {RSRC_AGENT_SYSTEM});
    p.intervals[RSRC_AGENT_SYSTEM] = 1;
    ASSERT_EQ(0, m.Initialize(nullptr));
    ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    ASSERT_EQ(0, m.Run());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, m.Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(0, p.updateCalls.load());
  }
  for (bool viaDestructor : {false, true}) {
    g_threadExited = false;
    FakeProvider p("P", {RSRC_AGENT_SYSTEM}), bad("Bad", {RSRC_AGENT_TCPIP}), off("Off", {RSRC_AGENT_PROCESS});
    p.intervals[RSRC_AGENT_SYSTEM] = bad.intervals[RSRC_AGENT_TCPIP] = 1;
    bad.initResult = -1;
    off.intervals[RSRC_AGENT_PROCESS] = 0;
    p.onUninit = [] {
      thread_local ThreadExitMark mark;
      mark.touched = true;
    };
    {
      CHxPerfManager m(&env, 1);
      CHxPerfManagerTestPeer peer(m);
      ASSERT_EQ(0, m.Initialize(nullptr));
      for (FakeProvider* f : {&p, &bad, &off}) ASSERT_EQ(0, m.RegisterPerfProvider(f));
      ASSERT_EQ(0, m.Run());
      EXPECT_EQ(0, m.Run());  // already running
      EXPECT_EQ(-1, m.RegisterPerfProvider(&p));
      off.intervals[RSRC_AGENT_PROCESS] = 1;  // only the refresh every 30 ticks sees it
      ASSERT_TRUE(hxtest::Eventually([&] { return off.updateCalls.load() > 0 && p.updateCalls.load() > 2; }));
      if (!viaDestructor) {
        EXPECT_TRUE(m.SM_Stop().Success());
        EXPECT_TRUE(g_threadExited.load());
        EXPECT_FALSE(peer.running());
        std::vector<std::string> values = {"x"};
        m.SM_SetAgentProp(RSRC_AGENT_SYSTEM, RSRC_PROP_PROCESS_NAMES, values);  // stopped: ignored
        EXPECT_TRUE(p.props.empty());
        EXPECT_EQ(-1, m.Run());
        EXPECT_EQ(-1, m.RegisterPerfProvider(&p));
        EXPECT_EQ(-1, m.Initialize(nullptr));
      }
    }
    EXPECT_TRUE(g_threadExited.load()) << viaDestructor;
    EXPECT_EQ(1, p.uninitCalls.load());
    EXPECT_EQ(1, off.uninitCalls.load());
    EXPECT_EQ(0, bad.uninitCalls.load() + bad.updateCalls.load());
  }
}

// A stop requested mid-tick waits for the tick, and no tick follows it; Run
// racing one or two stops never leaves a thread behind.
TEST_F(PerfManagerTest, StopWaitsForTheTickAndRacesNoThreadLoose) {
  for (int round = 0; round < 21; ++round) {
    CHxPerfManager m(&env, 1);
    CHxPerfManagerTestPeer peer(m);
    ASSERT_EQ(0, m.Initialize(nullptr));
    FakeProvider p("P", {RSRC_AGENT_SYSTEM});
    p.intervals[RSRC_AGENT_SYSTEM] = 1;
    std::promise<void> inside, release;
    std::shared_future<void> go = release.get_future().share();
    if (round == 20) {
      p.onUpdate = [&](ResourceAgentType, iCHxPerfUpdateCallback*) {
        if (p.updateCalls.load() != 1) return;
        inside.set_value();
        go.wait();
      };
    }
    ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    if (round % 2 == 0) {
      ASSERT_EQ(0, m.Run());
    }
    if (round == 20) inside.get_future().wait();
    auto a = std::async(std::launch::async, [&] { return round % 2 ? m.Run() : m.Stop(); });
    auto b = std::async(std::launch::async, [&] { return m.Stop(); });
    if (round == 20) {
      ASSERT_TRUE(hxtest::Eventually([&] { return peer.stopRequested(); }));
      EXPECT_EQ(std::future_status::timeout, b.wait_for(std::chrono::milliseconds(20)));  // still inside the tick
      release.set_value();
    }
    ASSERT_EQ(std::future_status::ready, a.wait_for(std::chrono::seconds(60)));
    ASSERT_EQ(std::future_status::ready, b.wait_for(std::chrono::seconds(60)));
    m.Stop();
    EXPECT_FALSE(peer.running());
    EXPECT_EQ(p.initCalls.load(), p.uninitCalls.load());
    EXPECT_TRUE(round != 20 || p.updateCalls.load() == 1);
  }
}

}  // namespace
