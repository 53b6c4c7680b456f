// A policy engine driving the perf manager through GenericResourceAgent:
// intervals taken over by policy records, every collected row of a policied
// agent type handed to the engine's callback, properties forwarded to the
// providers, and the stop after which nothing arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"

namespace {

// What the engine's callback received (a plain function: globals).
struct Received {
  unsigned long id1, id2;
  std::vector<std::string> values;
};
std::mutex g_mu;
std::vector<Received> g_received;

bool Record(unsigned long id1, unsigned long id2, std::vector<std::string>& values) {
  std::lock_guard<std::mutex> g(g_mu);
  g_received.push_back({id1, id2, values});
  return true;
}
std::vector<Received> ReceivedRows() {
  std::lock_guard<std::mutex> g(g_mu);
  return g_received;
}

// Reports one row per update: a sequence number and the agent type. Records
// the properties handed to it.
class RowProvider : public iCHxPerfProvider {
 public:
  explicit RowProvider(std::vector<ResourceAgentType> types) : types_(std::move(types)) {}
  void GetPerfProviderName(std::string& name) override { name = "Row provider"; }
  void GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) override { types = types_; }
  int32_t Initialize(EvDebug*, iCHxPerfUpdateCallback* callback) override {
    callback_ = callback;
    return 0;
  }
  int32_t Uninitialize() override {
    ++uninitCalls;
    return 0;
  }
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType) override { return 15; }
  void UpdatePerfCounters(ResourceAgentType type) override {
    _PerfLogItems items;
    items.version = "1.0";
    items.columns = {"Seq", "Type"};
    const int seq = ++reported;
    items.rows.push_back({std::to_string(seq), std::to_string(static_cast<int>(type))});
    std::lock_guard<std::mutex> g(mu_);
    reportedTypes.push_back(type);
    callback_->OnUpdateLog(type, "PolicyTest", items);
  }
  void SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                    std::vector<std::string>& values) override {
    std::lock_guard<std::mutex> g(mu_);
    props.push_back(std::to_string(static_cast<int>(type)) + ":" +
                    std::to_string(static_cast<int>(property)) + ":" +
                    (values.empty() ? "" : values[0]));
  }
  std::vector<std::string> Props() {
    std::lock_guard<std::mutex> g(mu_);
    return props;
  }
  std::vector<ResourceAgentType> Reported() {
    std::lock_guard<std::mutex> g(mu_);
    return reportedTypes;
  }

  std::atomic<int> reported{0};
  std::atomic<int> uninitCalls{0};

 private:
  std::vector<ResourceAgentType> types_;
  iCHxPerfUpdateCallback* callback_ = nullptr;
  std::mutex mu_;
  std::vector<std::string> props;
  std::vector<ResourceAgentType> reportedTypes;
};

GenericResourcePolicyDetails Policy(ResourceAgentType type, uint32_t minutes, unsigned long id1,
                                    unsigned long id2) {
  GenericResourcePolicyDetails p;
  p.policyName = "p" + std::to_string(id1);
  p.agentType = type;
  p.freqMinutes = minutes;
  p.policyId1 = id1;
  p.policyId2 = id2;
  return p;
}

class PolicyEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> g(g_mu);
      g_received.clear();
    }
    ASSERT_EQ(manager_.Initialize(nullptr), 0);
    ASSERT_EQ(manager_.RegisterPerfProvider(&provider_), 0);
  }
  void TearDown() override { manager_.Stop(); }

  // The timestamp the engine receives: now broken down as UTC, read back as local.
  std::string PolicyStamp() const {
    time_t now = static_cast<time_t>(env_.now);
    struct tm utc;
    gmtime_r(&now, &utc);
    return std::to_string(static_cast<int32_t>(mktime(&utc)));
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  CHxPerfManager manager_{&env_, 10};
  RowProvider provider_{{RSRC_AGENT_SYSTEM, RSRC_AGENT_PROCESS}};
  GenericResourceAgent& agent_ = manager_;
};

TEST_F(PolicyEngine, RecordsTakeOverIntervalsAndEveryRowReachesTheEngine) {
  std::set<GenericResourcePolicyDetails> policies = {
      Policy(RSRC_AGENT_SYSTEM, 1, 11, 22),
      Policy(RSRC_AGENT_TCPIP, 2, 5, 6),  // no provider serves it
  };
  EXPECT_TRUE(agent_.SM_Init(policies, &Record).Success());
  EXPECT_FALSE(inst_.LogLinesContaining("CHxPerfManager::SM_Init:Log-Monitoring  initialization...[")
                   .empty());
  EXPECT_EQ(inst_.LogLinesContaining("Set by Policy [Agent - 7] [Freq-Minutes - 1]").size(), 1u);
  EXPECT_EQ(inst_.LogLinesContaining("Set by Policy [Agent - 8] [Freq-Minutes - 2]").size(), 1u);

  // Ticks driven by hand (no thread): System is now due at every tick, the
  // process type keeps the provider's 15 minutes.
  for (int tick = 1; tick <= 15; ++tick) manager_.UpdateTimerAndPerfLogs();
  std::vector<ResourceAgentType> reported = provider_.Reported();
  ASSERT_EQ(reported.size(), 16u);
  EXPECT_EQ(std::count(reported.begin(), reported.end(), RSRC_AGENT_SYSTEM), 15);

  // Every System row, in order, with the record's identifiers and the
  // timestamp first; the process rows have no policy record, so none arrive.
  std::vector<Received> got = ReceivedRows();
  ASSERT_EQ(got.size(), 15u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id1, 11ul);
    EXPECT_EQ(got[i].id2, 22ul);
    ASSERT_EQ(got[i].values.size(), 3u);
    EXPECT_EQ(got[i].values[0], PolicyStamp());
    EXPECT_EQ(got[i].values[1], std::to_string(i + 1));  // the process row came last (16)
    EXPECT_EQ(got[i].values[2], "7");
  }
}

TEST_F(PolicyEngine, PoliciesBeforeInitAreStoredButProvidersKeepTheIntervals) {
  std::set<GenericResourcePolicyDetails> policies = {Policy(RSRC_AGENT_SYSTEM, 1, 1, 2)};
  agent_.SM_SetPolicyDetails(policies);
  EXPECT_FALSE(inst_.LogLinesContaining("CHxPerfManager::SM_SetPolicyDetails: SM_SetPolicyDetails  "
                                        "called...")
                   .empty());
  manager_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(provider_.reported.load(), 0);
  EXPECT_TRUE(inst_.LogLinesContaining("Set by Policy").empty());

  // Once the engine initialises, its records rule, and later replacements
  // apply at once.
  std::set<GenericResourcePolicyDetails> none;
  agent_.SM_Init(none, &Record);
  manager_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(provider_.reported.load(), 0);
  agent_.SM_SetPolicyDetails(policies);
  manager_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(provider_.reported.load(), 1);
  ASSERT_EQ(ReceivedRows().size(), 1u);
  EXPECT_EQ(ReceivedRows()[0].id1, 1ul);
}

TEST_F(PolicyEngine, FirstRecordOfATypeNamesTheRowsAndTheLastSetsTheInterval) {
  // Set order: (System, ids 1/1, 3 minutes) before (System, ids 2/2, 1 minute).
  std::set<GenericResourcePolicyDetails> policies = {Policy(RSRC_AGENT_SYSTEM, 3, 1, 1),
                                                     Policy(RSRC_AGENT_SYSTEM, 1, 2, 2)};
  agent_.SM_Init(policies, &Record);
  manager_.UpdateTimerAndPerfLogs();
  ASSERT_EQ(ReceivedRows().size(), 1u);  // the 1-minute interval won
  EXPECT_EQ(ReceivedRows()[0].id1, 1ul);  // the first record's identifiers
  EXPECT_EQ(ReceivedRows()[0].id2, 1ul);
}

TEST_F(PolicyEngine, PropertiesReachEveryEntryOfTheirType) {
  RowProvider second({RSRC_AGENT_PROCESS});
  ASSERT_EQ(manager_.RegisterPerfProvider(&second), 0);
  std::vector<std::string> names = {"hxd"};
  agent_.SM_SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
  EXPECT_EQ(provider_.Props(), (std::vector<std::string>{"3:1:hxd"}));
  EXPECT_EQ(second.Props(), (std::vector<std::string>{"3:1:hxd"}));
  agent_.SM_SetAgentProp(RSRC_AGENT_TCPIP, RSRC_PROP_PROCESS_PATHS, names);  // nobody serves it
  EXPECT_EQ(provider_.Props().size(), 1u);
  EXPECT_EQ(second.Props().size(), 1u);
}

TEST_F(PolicyEngine, RunningMonitorDeliversUntilStopAndNothingAfter) {
  std::set<GenericResourcePolicyDetails> policies = {Policy(RSRC_AGENT_SYSTEM, 1, 7, 8),
                                                     Policy(RSRC_AGENT_PROCESS, 1, 9, 10)};
  agent_.SM_Init(policies, &Record);
  ASSERT_EQ(manager_.Run(), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReceivedRows().size() < 6 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(agent_.SM_Stop().Success());
  EXPECT_FALSE(inst_.LogLinesContaining("CHxPerfManager::SM_Stop: Log monitoring stop called...")
                   .empty());
  // The monitor thread has ended (providers uninitialised): every row it
  // collected reached the engine, each under its own type's identifiers.
  EXPECT_EQ(provider_.uninitCalls.load(), 2);
  const std::vector<Received> got = ReceivedRows();
  ASSERT_GE(got.size(), 6u);
  EXPECT_EQ(static_cast<int>(got.size()), provider_.reported.load());
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
  EXPECT_EQ(ReceivedRows().size(), got.size());
  std::vector<std::string> names = {"x"};
  agent_.SM_SetPolicyDetails(policies);
  agent_.SM_SetAgentProp(RSRC_AGENT_SYSTEM, RSRC_PROP_PROCESS_NAMES, names);
  EXPECT_TRUE(provider_.Props().empty());
  EXPECT_TRUE(inst_.LogLinesContaining("SM_SetPolicyDetails").empty());
  EXPECT_TRUE(inst_.LogLinesContaining("Set by Policy").empty());
  manager_.UpdateTimerAndPerfLogs();  // even a stray tick finds no engine
  EXPECT_EQ(ReceivedRows().size(), got.size());
}

}  // namespace
