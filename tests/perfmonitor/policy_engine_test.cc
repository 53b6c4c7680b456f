// A policy engine driving the perf manager through GenericResourceAgent:
// intervals taken over by policy records, every collected row of a policied
// agent type handed to the engine's callback, properties forwarded to the
// providers, and the stop after which nothing arrives.
#include <gtest/gtest.h>

#include <algorithm>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::Policy;
using hxtest::PolicyRows;

class PolicyEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    PolicyRows(true);
    // Each update reports one row: a sequence number and the agent type.
    provider_.onUpdate = [this](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
      _PerfLogItems items;
      items.version = "1.0";
      items.columns = {"Seq", "Type"};
      items.rows.push_back({std::to_string(++reported_), std::to_string(static_cast<int>(type))});
      cb->OnUpdateLog(type, "PolicyTest", items);
    };
    ASSERT_EQ(manager_.Initialize(nullptr), 0);
    ASSERT_EQ(manager_.RegisterPerfProvider(&provider_), 0);
  }
  void TearDown() override { manager_.Stop(); }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  CHxPerfManager manager_{&env_, 10};
  hxtest::FakeProvider provider_{"Row provider", {RSRC_AGENT_SYSTEM, RSRC_AGENT_PROCESS}};
  std::atomic<int> reported_{0};
  GenericResourceAgent& agent_ = manager_;
};

TEST_F(PolicyEngine, RecordsTakeOverIntervalsAndEveryRowReachesTheEngine) {
  hxtest::ScopedTZ tz("EST5");  // the stamp is UTC read back as local time: five hours later
  env_.now = 1700000000;
  // Set order: the first System record names the rows, the last sets the interval.
  std::set<GenericResourcePolicyDetails> policies = {
      Policy(RSRC_AGENT_SYSTEM, 3, 11, 22), Policy(RSRC_AGENT_SYSTEM, 1, 33, 44),
      Policy(RSRC_AGENT_TCPIP, 2, 55, 66),  // no provider serves it
  };
  EXPECT_TRUE(agent_.SM_Init(policies, &hxtest::CollectPolicyRow).Success());
  EXPECT_FALSE(inst_.LogLinesContaining("CHxPerfManager::SM_Init:Log-Monitoring  initialization...[").empty());
  EXPECT_EQ(inst_.LogLinesContaining("Set by Policy [Agent - 7] [Freq-Minutes - 1]").size(), 1u);
  EXPECT_EQ(inst_.LogLinesContaining("Set by Policy [Agent - 8] [Freq-Minutes - 2]").size(), 1u);

  // Ticks driven by hand (no thread): System is now due at every tick, the
  // process type keeps the provider's 15 minutes.
  for (int tick = 1; tick <= 15; ++tick) manager_.UpdateTimerAndPerfLogs();
  std::vector<ResourceAgentType> reported = provider_.Updates();
  ASSERT_EQ(reported.size(), 16u);
  EXPECT_EQ(std::count(reported.begin(), reported.end(), RSRC_AGENT_SYSTEM), 15);

  // Every System row, in order, with the record's identifiers and the
  // timestamp first; the process rows have no policy record, so none arrive.
  const std::vector<hxtest::PolicyRow> got = PolicyRows();
  ASSERT_EQ(got.size(), 15u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id1, 11ul);
    EXPECT_EQ(got[i].id2, 22ul);
    EXPECT_EQ(got[i].values, (std::vector<std::string>{std::to_string(1700000000 + 5 * 3600),
                                                       std::to_string(i + 1), "7"}));
  }
}

TEST_F(PolicyEngine, PropertiesReachTheProvidersAndPoliciesBeforeInitWait) {
  hxtest::FakeProvider second("Second", {RSRC_AGENT_PROCESS});
  ASSERT_EQ(manager_.RegisterPerfProvider(&second), 0);
  std::vector<std::string> names = {"hxd"};
  agent_.SM_SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
  agent_.SM_SetAgentProp(RSRC_AGENT_TCPIP, RSRC_PROP_PROCESS_PATHS, names);  // nobody serves it
  EXPECT_EQ(provider_.Props(), (std::vector<std::string>{"3:1:hxd"}));
  EXPECT_EQ(second.Props(), (std::vector<std::string>{"3:1:hxd"}));

  // Policies stored before the engine initialises: the providers keep their intervals.
  std::set<GenericResourcePolicyDetails> policies = {Policy(RSRC_AGENT_SYSTEM, 1, 1, 2)};
  agent_.SM_SetPolicyDetails(policies);
  EXPECT_FALSE(inst_.LogLinesContaining("CHxPerfManager::SM_SetPolicyDetails: SM_SetPolicyDetails  called...").empty());
  manager_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(reported_.load(), 0);
  EXPECT_TRUE(inst_.LogLinesContaining("Set by Policy").empty());

  // Once the engine initialises, its records rule, and later replacements
  // apply at once.
  std::set<GenericResourcePolicyDetails> none;
  agent_.SM_Init(none, &hxtest::CollectPolicyRow);
  manager_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(reported_.load(), 0);
  agent_.SM_SetPolicyDetails(policies);
  manager_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(reported_.load(), 1);
  ASSERT_EQ(PolicyRows().size(), 1u);
  EXPECT_EQ(PolicyRows()[0].id1, 1ul);
}

TEST_F(PolicyEngine, RunningMonitorDeliversUntilStopAndNothingAfter) {
  std::set<GenericResourcePolicyDetails> policies = {Policy(RSRC_AGENT_SYSTEM, 1, 7, 8),
                                                     Policy(RSRC_AGENT_PROCESS, 1, 9, 10)};
  agent_.SM_Init(policies, &hxtest::CollectPolicyRow);
  ASSERT_EQ(manager_.Run(), 0);
  hxtest::Eventually([] { return PolicyRows().size() >= 6; });
  EXPECT_TRUE(agent_.SM_Stop().Success());
  EXPECT_FALSE(inst_.LogLinesContaining("CHxPerfManager::SM_Stop: Log monitoring stop called...").empty());
  // The monitor thread has ended (providers uninitialised): every row it
  // collected reached the engine, each under its own type's identifiers.
  EXPECT_EQ(provider_.uninitCalls.load(), 2);
  const std::vector<hxtest::PolicyRow> got = PolicyRows();
  ASSERT_GE(got.size(), 6u);
  EXPECT_EQ(static_cast<int>(got.size()), reported_.load());
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].values.size(), 3u);
    EXPECT_EQ(got[i].values[1], std::to_string(i + 1));
    const bool system = got[i].values[2] == "7";
    EXPECT_EQ(got[i].id1, system ? 7ul : 9ul);
    EXPECT_EQ(got[i].id2, system ? 8ul : 10ul);
  }

  // After the stop: nothing more arrives and the other calls return at once,
  // without a message and without reaching the providers.
  inst_.ClearLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // five ticks' worth
  std::vector<std::string> names = {"x"};
  agent_.SM_SetPolicyDetails(policies);
  agent_.SM_SetAgentProp(RSRC_AGENT_SYSTEM, RSRC_PROP_PROCESS_NAMES, names);
  manager_.UpdateTimerAndPerfLogs();  // even a stray tick finds no engine
  EXPECT_EQ(PolicyRows().size(), got.size());
  EXPECT_TRUE(provider_.Props().empty());
  EXPECT_TRUE(inst_.LogLinesContaining("SM_SetPolicyDetails").empty());
  EXPECT_TRUE(inst_.LogLinesContaining("Set by Policy").empty());
}

}  // namespace
