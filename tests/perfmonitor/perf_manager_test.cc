// Perf manager: configuration, which entries each tick serves (against a
// reference model, policies included), and the monitor thread's lifecycle.
#include <gtest/gtest.h>

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
  size_t Logged(const std::string& text) { return inst.LogLinesContaining(text).size(); }
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
    SCOPED_TRACE(c.wantSize);
    inst.ClearLog();
    if (c.size) inst.SetConfig("Hxd", "HX_PERF_LOG_SIZEMB", c.size);
    if (c.count) inst.SetConfig("Hxd", "HX_PERF_LOG_COUNT", c.count);
    inst.SetConfig("Platform", "LogFilesDirectory", inst.logDir() + c.dirSuffix);
    CHxPerfManager m(&env);
    ASSERT_EQ(0, m.Initialize(nullptr));
    EXPECT_EQ(c.adjustments, Logged("Adjusting Max Per"));
    EXPECT_EQ(1u, Logged("( LogFilesDirectory [" + inst.logDir() + "/ResourceMonitor]  [Max-log-File size -  " +
                         std::to_string(c.wantSize) + " MB] [Max-Log-File Count - " +
                         std::to_string(c.wantCount) + "]"));
  }
  inst.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  CHxPerfManager off(&env);
  EXPECT_EQ(-1, off.Initialize(nullptr));
  FakeProvider p("P", {RSRC_AGENT_SYSTEM});
  EXPECT_EQ(-1, off.RegisterPerfProvider(&p));  // not initialised
}

// What the policy engine's callback received (a plain function: globals).
struct PolicyRow {
  unsigned long id1, id2;
  std::vector<std::string> values;
};
std::vector<PolicyRow> g_policyRows;
bool CollectPolicyRow(unsigned long id1, unsigned long id2, std::vector<std::string>& values) {
  g_policyRows.push_back({id1, id2, values});
  return true;
}

// Random ticks, interval changes and policy records against a model of the
// entry list: after every step the updates, lazy initialisations and policy
// hand-offs are those of the model.
TEST_F(PerfManagerTest, TicksServeEntriesAsTheModelSays) {
  hxtest::SetTZ("EST5");  // policy stamps: UTC read back as local time, five hours later
  const ResourceAgentType kTypes[] = {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP, RSRC_AGENT_PROCESS,
                                      RSRC_AGENT_LOGICAL_DISK, RSRC_AGENT_HBA_FC};
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    CHxPerfManager m(&env);
    ASSERT_EQ(0, m.Initialize(nullptr));
    std::vector<std::unique_ptr<FakeProvider>> providers;
    providers.emplace_back(new FakeProvider("A", {RSRC_AGENT_SYSTEM, RSRC_AGENT_TCPIP}));
    providers.emplace_back(new FakeProvider("B", {RSRC_AGENT_PROCESS}));
    providers.emplace_back(new FakeProvider("C", {RSRC_AGENT_SYSTEM, RSRC_AGENT_LOGICAL_DISK}));
    providers[1]->initResult = pick(2) ? 0 : -1;
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
      FakeProvider& p = *providers[i];
      std::vector<ResourceAgentType> types;
      p.GetSupprotedAgentTypes(types);
      for (ResourceAgentType t : types) {
        p.SetInterval(t, static_cast<uint32_t>(pick(4)));
        model.push_back({i, t, p.GetUpdateIntervalMinutes(t)});
      }
      p.onUpdate = [&served, &seq, i](ResourceAgentType t, iCHxPerfUpdateCallback* cb) {
        served.push_back({i, t});
        _PerfLogItems items;
        items.version = "1";
        items.columns = {"Seq"};
        items.rows = {{std::to_string(++seq)}};
        cb->OnUpdateLog(t, "Model", items);
      };
      ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    }
    bool policyMode = false, callback = false;
    std::set<GenericResourcePolicyDetails> policies;
    const auto configure = [&] {
      for (Entry& e : model) {
        if (!policyMode) e.interval = providers[e.provider]->GetUpdateIntervalMinutes(e.type);
      }
      for (const GenericResourcePolicyDetails& p : policyMode ? policies : decltype(policies)()) {
        for (Entry& e : model) {
          if (e.type != p.agentType) continue;
          e.interval = p.freqMinutes;
          break;
        }
      }
    };
    g_policyRows.clear();
    for (int step = 0; step < 150; ++step) {
      const int op = pick(10);
      if (op == 7) {
        providers[pick(3)]->SetInterval(kTypes[pick(4)], static_cast<uint32_t>(pick(4)));
        m.ConfigIntervalMinutes();
        configure();
        continue;
      }
      if (op >= 8) {
        policies.clear();
        for (int n = pick(4); n > 0; --n) {
          policies.insert(hxtest::Policy(kTypes[pick(5)], static_cast<uint32_t>(pick(4)),
                                         static_cast<unsigned long>(pick(9)), static_cast<unsigned long>(pick(9))));
        }
        std::set<GenericResourcePolicyDetails> copy = policies;
        if (op == 8 || policyMode) {
          m.SM_SetPolicyDetails(copy);
        } else {
          ASSERT_TRUE(m.SM_Init(copy, &CollectPolicyRow).Success());
          policyMode = callback = true;
        }
        configure();
        continue;
      }
      env.now += 60;
      served.clear();
      g_policyRows.clear();
      const int seqBefore = seq;
      ASSERT_EQ(0, m.UpdateTimerAndPerfLogs());
      std::vector<std::pair<int, ResourceAgentType>> want;
      for (Entry& e : model) {
        if (e.interval == 0 || ++e.elapsed < static_cast<int>(e.interval)) continue;
        if (!e.initDone) e.initOk = providers[e.provider]->initResult == 0;
        e.initDone = true;
        e.elapsed = 0;
        if (e.initOk) want.push_back({e.provider, e.type});
      }
      ASSERT_EQ(want, served) << "step " << step;
      for (int i = 0; i < 3; ++i) {
        int inits = 0;
        for (const Entry& e : model) inits += e.provider == i && e.initDone;
        ASSERT_EQ(inits, providers[i]->initCalls.load()) << "step " << step;
      }
      // Each row of a policied type reaches the engine under the first record
      // of its type, stamped and in order.
      std::vector<std::string> wantRows, gotRows;
      for (size_t k = 0; callback && k < want.size(); ++k) {
        for (const GenericResourcePolicyDetails& p : policies) {
          if (p.agentType != want[k].second) continue;
          wantRows.push_back(std::to_string(p.policyId1) + "/" + std::to_string(p.policyId2) + " " +
                             std::to_string(env.now + 5 * 3600) + " " + std::to_string(seqBefore + k + 1));
          break;
        }
      }
      for (const PolicyRow& r : g_policyRows) {
        gotRows.push_back(std::to_string(r.id1) + "/" + std::to_string(r.id2) + " " + r.values.at(0) + " " + r.values.at(1));
      }
      ASSERT_EQ(wantRows, gotRows) << "step " << step;
    }
  }
}

// Set at the very end of the monitor thread: by its thread-local destructor,
// which runs after the thread's function has returned.
std::atomic<bool> g_threadExited{false};
struct ThreadExitMark {
  bool touched = false;
  ~ThreadExitMark() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_threadExited = true;
  }
};

// Stop (or the destructor of a running manager) returns only once the
// thread has ended; only initialised entries are uninitialised, the thread's
// periodic refresh picks up interval changes, and a stopped manager stays
// stopped.
TEST_F(PerfManagerTest, StopAndDestructionReturnOnlyAfterTheThreadEnded) {
  for (bool viaDestructor : {false, true}) {
    SCOPED_TRACE(viaDestructor);
    g_threadExited = false;
    FakeProvider p("P", {RSRC_AGENT_SYSTEM}), bad("Bad", {RSRC_AGENT_TCPIP}), off("Off", {RSRC_AGENT_PROCESS});
    p.SetInterval(RSRC_AGENT_SYSTEM, 1);
    bad.SetInterval(RSRC_AGENT_TCPIP, 1);
    bad.initResult = -1;
    off.SetInterval(RSRC_AGENT_PROCESS, 0);
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
      off.SetInterval(RSRC_AGENT_PROCESS, 1);  // only the refresh every 30 ticks sees it
      ASSERT_TRUE(hxtest::Eventually([&] { return off.updateCalls.load() > 0 && p.updateCalls.load() > 2; }));
      if (!viaDestructor) {
        EXPECT_EQ(0, m.Stop());
        EXPECT_TRUE(g_threadExited.load());
        EXPECT_FALSE(peer.running());
        EXPECT_EQ(-1, m.Run());
        EXPECT_EQ(-1, m.RegisterPerfProvider(&p));
        EXPECT_EQ(-1, m.Initialize(nullptr));
        EXPECT_EQ(0, m.Stop());
      }
    }
    EXPECT_TRUE(g_threadExited.load());
    EXPECT_EQ(1, p.uninitCalls.load());
    EXPECT_EQ(1, off.uninitCalls.load());
    EXPECT_EQ(0, bad.uninitCalls.load());
    EXPECT_EQ(1, bad.initCalls.load());
    EXPECT_EQ(0, bad.updateCalls.load());
  }
}

// A stop requested mid-tick waits for the tick, and no tick follows it.
TEST_F(PerfManagerTest, StopMidTickReturnsWhenTheTickEnds) {
  CHxPerfManager m(&env, 1);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("P", {RSRC_AGENT_SYSTEM});
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  std::promise<void> inside, release;
  std::shared_future<void> go = release.get_future().share();
  p.onUpdate = [&](ResourceAgentType, iCHxPerfUpdateCallback*) {
    if (p.updateCalls.load() != 1) return;
    inside.set_value();
    go.wait();
  };
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(0, m.Run());
  inside.get_future().wait();
  auto stopped = std::async(std::launch::async, [&] { return m.Stop(); });
  ASSERT_TRUE(hxtest::Eventually([&] { return peer.stopRequested(); }));
  EXPECT_EQ(std::future_status::timeout, stopped.wait_for(std::chrono::milliseconds(20)));
  release.set_value();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(60)));
  EXPECT_EQ(1, p.updateCalls.load());
  EXPECT_EQ(1, p.uninitCalls.load());
}

// Run racing one or two stops: whichever wins, no thread is left behind.
TEST_F(PerfManagerTest, ConcurrentRunAndStopsNeverLeaveAThreadBehind) {
  for (int round = 0; round < 20; ++round) {
    CHxPerfManager m(&env, 1);
    CHxPerfManagerTestPeer peer(m);
    ASSERT_EQ(0, m.Initialize(nullptr));
    FakeProvider p("P", {RSRC_AGENT_SYSTEM});
    p.SetInterval(RSRC_AGENT_SYSTEM, 1);
    ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    if (round % 2) {
      ASSERT_EQ(0, m.Run());
    }
    auto a = std::async(std::launch::async, [&] { return round % 2 ? m.Stop() : m.Run(); });
    auto b = std::async(std::launch::async, [&] { return m.Stop(); });
    ASSERT_EQ(std::future_status::ready, a.wait_for(std::chrono::seconds(60)));
    ASSERT_EQ(std::future_status::ready, b.wait_for(std::chrono::seconds(60)));
    m.Stop();
    EXPECT_FALSE(peer.running());
    EXPECT_EQ(p.initCalls.load(), p.uninitCalls.load());
  }
}

// The handle keeps the providers the manager registered, deletes a refused
// one at once and the rest with the handle.
TEST_F(PerfManagerTest, HandleOwnsRegisteredProvidersOnly) {
  int deleted = 0;
  const auto counted = [&](const char* name) {
    auto* p = new FakeProvider(name, {RSRC_AGENT_SYSTEM});
    p->deleted = &deleted;
    return p;
  };
  auto* handle = new _RsrcMonitorHandle;
  handle->pPerfManager = new CHxPerfManager(&env);
  ASSERT_EQ(0, handle->pPerfManager->Initialize(nullptr));
  EXPECT_EQ(0, InsertAndRegisterProvider(nullptr, handle, counted("first")));
  EXPECT_EQ(-1, InsertAndRegisterProvider(nullptr, handle, nullptr));
  ASSERT_EQ(0, handle->pPerfManager->Run());
  EXPECT_EQ(-1, InsertAndRegisterProvider(nullptr, handle, counted("late")));
  EXPECT_EQ(1, deleted);
  ASSERT_EQ(1u, handle->providers.size());
  handle->pPerfManager->Stop();
  DestructHandle(handle);
  EXPECT_EQ(2, deleted);
}

}  // namespace
