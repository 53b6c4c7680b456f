// Perf manager: configuration, which entries each tick serves (against a
// reference model, policies included), the monitor thread's lifecycle, the
// perf-log files (rotation against a model of the directory, CSV rows) and the
// metrics textfile read back by the reference parser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <set>

#include "perfmonitor/exposition_text.h"
#include "perfmonitor/metrics_textfile.h"
#include "perfmonitor/monitor_handle.h"
#include "platform/sync_point.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;
using hxtest::Series;
using hxtest::SeriesValues;

class PerfMonitorTest : public ::testing::Test {
 protected:
  int Report(const std::string& object, const std::vector<std::string>& columns,
             const std::vector<std::vector<std::string>>& rows, const char* version = "1") {
    _PerfLogItems items{version, columns, rows};
    return m.OnUpdateLog(RSRC_AGENT_SYSTEM, object.c_str(), items);
  }
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  CHxPerfManager m{&env};
  const std::string logDir = inst.logDir() + "/ResourceMonitor";
};

// The policy engine's callback (a plain function) records "id1/id2 stamp seq".
std::vector<std::string> g_policyRows;
bool CollectPolicyRow(unsigned long id1, unsigned long id2, std::vector<std::string>& values) {
  g_policyRows.push_back(std::to_string(id1) + "/" + std::to_string(id2) + " " + values.at(0) + " " + values.at(1));
  return true;
}

// Random ticks, interval changes and policy records against a model of the
// entry list: after every tick the updates, lazy initialisations and policy
// hand-offs are those of the model.
TEST_F(PerfMonitorTest, TicksServeEntriesAsTheModelSays) {
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
          for (uint32_t n = pick(4); n > 0; --n) policies.insert({"", kTypes[pick(5)], pick(9), pick(9), pick(4), 0});
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
// (run after the thread's function has returned), once the test has seen the
// stop wait at the join for it.
std::atomic<bool> g_threadExited{false};
struct ThreadExitMark {
  bool touched = false;
  ~ThreadExitMark() {
    HX_SYNC_POINT("PerfMonitorTest:ThreadExit");
    g_threadExited = true;
  }
};

// Stop (Stop, SM_Stop or the destructor of a running manager) waits for the
// tick under way and returns only once the thread has ended, with no tick
// after it; an SM_Stop waiting beside the destructor never uses the freed
// manager; only initialised entries are uninitialised, the thread's periodic
// refresh picks up interval changes, a stopped manager stays so. Run racing
// one or two stops never leaves a thread behind; with the production tick
// nothing is served before the stop, and the stop does not wait it out.
TEST_F(PerfMonitorTest, StopWaitsForTheTickAndTheThread) {
  enum How { kTwoStops, kRunRacesStop, kSmStopInTick, kDestructorInTick };
  const struct { const char* name; How how; int repeat; unsigned tickMs; } kCases[] = {
      {"production tick, two stops", kTwoStops, 1, 60000}, {"two stops", kTwoStops, 10, 1},
      {"Run races Stop", kRunRacesStop, 10, 1}, {"SM_Stop inside a tick", kSmStopInTick, 1, 1},
      {"destructor inside a tick, SM_Stop beside", kDestructorInTick, 1, 1}};
  for (const auto& c : kCases) for (int rep = 0; rep < c.repeat; ++rep) {
    SCOPED_TRACE(c.name);
    const bool held = c.how >= kSmStopInTick, viaDestructor = c.how == kDestructorInTick;
    hxp::ScopedSyncOrder order({{"CHxPerfManager::PeriodicMonitorThread:Waiting", "PerfMonitorTest:Stop"},
                                {"CHxPerfManager::Stop:Requested", "PerfMonitorTest:Requested"},
                                {"CHxPerfManager::InterfaceCall:Counted", "PerfMonitorTest:Counted"},
                                {"CHxPerfManager::Stop:Join", "PerfMonitorTest:Joining"},
                                {"PerfMonitorTest:Joined", "PerfMonitorTest:ThreadExit"}});
    g_threadExited = false;
    FakeProvider p("P", {RSRC_AGENT_SYSTEM}, 1), bad("Bad", {RSRC_AGENT_TCPIP}, 1), off("Off", {RSRC_AGENT_PROCESS}, 0);
    bad.initResult = -1;
    p.onUninit = [held] {
      if (!held) return;
      thread_local ThreadExitMark mark;
      mark.touched = true;
    };
    std::promise<void> inside, release;
    std::shared_future<void> go = release.get_future().share();
    int heldAt = 0;  // p's update during which the stop comes
    p.onUpdate = [&](ResourceAgentType, iCHxPerfUpdateCallback*) {
      if (!held || off.updateCalls.load() == 0 || heldAt != 0) return;
      heldAt = p.updateCalls.load();
      inside.set_value();
      go.wait();
    };
    // Final, so that deleting it through the pointer names its destructor.
    struct Manager final : CHxPerfManager {
      using CHxPerfManager::CHxPerfManager;
    };
    auto m = std::make_unique<Manager>(&env, c.tickMs);
    CHxPerfManager* const raw = m.get();
    CHxPerfManagerTestPeer peer(*m);
    ASSERT_EQ(0, m->Initialize(nullptr));
    for (FakeProvider* f : {&p, &bad, &off}) ASSERT_EQ(0, m->RegisterPerfProvider(f));
    if (c.how != kRunRacesStop) {
      ASSERT_EQ(0, m->Run());
      EXPECT_EQ(0, m->Run());  // already running
      EXPECT_EQ(-1, m->RegisterPerfProvider(&p));
    }
    if (held) {
      off.intervals[RSRC_AGENT_PROCESS] = 1;  // only the refresh every 30 ticks sees it
      inside.get_future().wait();
    }
    // With the production tick, the stop comes once the thread waits for its
    // first tick: one that did not wait would serve the provider first.
    if (c.tickMs > 1) HX_SYNC_POINT("PerfMonitorTest:Stop");
    auto a = std::async(std::launch::async, [&] {
      if (viaDestructor) m.reset();
      else if (held) m->SM_Stop();
      else if (c.how == kRunRacesStop) m->Run();
      else m->Stop();
    });
    auto b = std::async(std::launch::async, [&] { if (!held) m->Stop(); });
    if (held) {
      HX_SYNC_POINT("PerfMonitorTest:Requested");
      if (viaDestructor) {
        b = std::async(std::launch::async, [raw] { raw->SM_Stop(); });  // waits beside the destructor
        HX_SYNC_POINT("PerfMonitorTest:Counted");
      }
      EXPECT_EQ(std::future_status::timeout, a.wait_for(std::chrono::milliseconds(20)));  // still inside the tick
      release.set_value();
      HX_SYNC_POINT("PerfMonitorTest:Joining");
      EXPECT_EQ(std::future_status::timeout, a.wait_for(std::chrono::milliseconds(20)));  // the thread has not ended
      HX_SYNC_POINT("PerfMonitorTest:Joined");
    }
    ASSERT_EQ(std::future_status::ready, a.wait_for(std::chrono::seconds(30)));
    ASSERT_EQ(std::future_status::ready, b.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(held, g_threadExited.load());
    if (m) m->Stop();
    EXPECT_TRUE(viaDestructor || !peer.running());
    EXPECT_EQ(p.initCalls.load(), p.uninitCalls.load());
    EXPECT_EQ(0, bad.uninitCalls.load() + bad.updateCalls.load());
    EXPECT_TRUE(!held || (p.updateCalls.load() == heldAt && off.uninitCalls.load() == 1 &&
                          !inst.LogLinesContaining("Monitor Off Interval Minutes has been changed from 0 to 1").empty()));
    EXPECT_TRUE(c.tickMs == 1 || p.updateCalls.load() == 0);
    if (c.how == kSmStopInTick) {
      std::vector<std::string> values = {"x"};
      m->SM_SetAgentProp(RSRC_AGENT_SYSTEM, RSRC_PROP_PROCESS_NAMES, values);  // stopped: ignored
      EXPECT_TRUE(p.props.empty());
      EXPECT_EQ(-1, m->Run());
      EXPECT_EQ(-1, m->RegisterPerfProvider(&p));
      EXPECT_EQ(-1, m->Initialize(nullptr));
    }
  }
}

// Random writes, growth past the size limit, removals and ageing; after every
// step the directory holds exactly the model's files, each of the model's
// size, beginning with one header and its first row.
TEST_F(PerfMonitorTest, RotationAndCleanUpFollowTheModel) {
  inst.SetConfig("Hxd", "HX_PERF_LOG_SIZEMB", "0");  // raised to 1: rotated from 2 MiB on
  inst.SetConfig("Hxd", "HX_PERF_LOG_COUNT", "3");
  ASSERT_EQ(0, m.Initialize(nullptr));
  const std::string header = "Date,Time,V\r\n";
  const int kCount = 3;
  const uint64_t kRow = 24;  // "MM/DD/YY,HH:MM:SS,tNNN\r\n"
  const auto name = [&](int gen) { return hxtest::PerfLogName(logDir, "K-1", gen); };
  struct File {
    uint64_t size;
    std::string first;  // tag of the first row
    bool old = false;   // last modified more than three days before the clock
  };
  std::map<std::string, File> model;
  std::mt19937 rng(7);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int step = 0; step < 400; ++step) {
    char tag[8];
    snprintf(tag, sizeof(tag), "t%03d", step % 1000);
    const int op = pick(10);
    const std::string cur = name(0);
    if (op < 5) {
      ASSERT_EQ(0, Report("K", {"V"}, {{tag}}));
      bool create = !model.count(cur);
      if (!create && (model[cur].size >> 20) > 1) {
        int free = 0;
        for (int g = kCount; g >= 1; --g) free = model.count(name(g)) ? free : g;
        if (free == 0) model.erase(name(free = kCount));
        for (int i = free; i >= 1; --i) {
          model[name(i)] = model[name(i - 1)];
          model.erase(name(i - 1));
        }
        create = true;
      }
      if (create) {
        for (auto it = model.begin(); it != model.end();) it = it->second.old ? model.erase(it) : std::next(it);
        model[cur] = {header.size(), tag};
      }
      model[cur].size += kRow;
      model[cur].old = false;
    } else if (op == 5 && model.count(cur)) {
      const uint64_t sizes[] = {(2u << 20) - 1, 2u << 20, (2u << 20) + 100};
      model[cur] = {sizes[pick(3)], model[cur].first};
      ASSERT_EQ(0, truncate(cur.c_str(), static_cast<off_t>(model[cur].size)));
    } else if (op <= 7 && !model.empty()) {
      auto it = std::next(model.begin(), pick(static_cast<int>(model.size())));
      if (op == 6) {
        ASSERT_EQ(0, unlink(it->first.c_str()));
        model.erase(it);
        continue;
      }
      it->second.old = pick(2);  // else exactly three days: not old yet
      struct timeval tv[2] = {{static_cast<time_t>(env.now - 259200 - it->second.old), 0}, {}};
      tv[1] = tv[0];
      ASSERT_EQ(0, utimes(it->first.c_str(), tv));
    }
    std::set<std::string> want, got;
    for (const auto& f : model) want.insert(f.first);
    for (const auto& e : std::filesystem::directory_iterator(logDir)) got.insert(e.path().string());
    ASSERT_EQ(want, got) << "step " << step;
    for (const auto& f : model) {
      EXPECT_EQ(f.second.size, std::filesystem::file_size(f.first)) << f.first << " step " << step;
      std::string head(header.size() + kRow, '\0');
      std::ifstream(f.first, std::ios::binary).read(&head[0], static_cast<std::streamsize>(head.size()));
      EXPECT_EQ(header, head.substr(0, header.size())) << f.first;
      EXPECT_EQ(f.second.first + "\r\n", head.substr(header.size() + 18)) << f.first;
    }
  }
}

// A file that cannot be moved away never loses its rows: the report is
// appended to it.
TEST_F(PerfMonitorTest, FailedRotationNeverOverwritesRows) {
  ASSERT_EQ(0, m.Initialize(nullptr));
  // The current name is as long as a name may be: generation 1's is too long.
  const std::string object(255 - hxtest::PerfLogName("", "-1", 0).size() + 1, 'n');
  const std::string current = hxtest::PerfLogName(logDir, object + "-1", 0);
  const std::string rows = "01/01/01,00:00:00,precious\r\n";
  hxtest::WriteFile(current, rows);
  ASSERT_EQ(0, truncate(current.c_str(), 11 << 20));
  ASSERT_EQ(0, Report(object, {"V"}, {{"new"}}));
  const std::string after = hxtest::ReadFile(current);
  EXPECT_EQ(0u, after.find(rows));
  EXPECT_EQ(",new\r\n", after.substr(after.size() - 6));
}

// A disabled perf log is never initialised and logs nothing. One row per
// report: its CSV line after the date and time of the clock, and its metrics
// text. Only values holding a comma are quoted, with their quotes
// doubled; the metrics text names every non-empty value but the arguments.
TEST_F(PerfMonitorTest, RowsBecomeCsvLinesAndMetricsText) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::vector<std::string> columns = {"CPU-Usage", "Name", "Arguments", "Empty-Col"};
  struct Case {
    uint32_t now;
    std::vector<std::string> row;
    const char *csv, *metrics;
  } cases[] = {
      {1700000000, {"12", "a,b", "cmd --x \"y,z\"", ""}, "11/14/23,22:13:20,12,\"a,b\",\"cmd --x \"\"y,z\"\"\",",
       "CPU_Usage:[12] Name:[a,b] "},
      {1700000061, {"3.5", "say \"hi\"", "", "v"}, "11/14/23,22:14:21,3.5,say \"hi\",,v",
       "CPU_Usage:[3.5] Name:[say \"hi\"] Empty_Col:[v] "},
      {1700006400, {"1", "x", "y", "z", "surplus"}, "11/15/23,00:00:00,1,x,y,z,surplus",
       "CPU_Usage:[1] Name:[x] Empty_Col:[z] "},
  };
  inst.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  EXPECT_EQ(-1, m.Initialize(nullptr));
  EXPECT_EQ(1, Report("Proc", columns, {cases[0].row}, "1.2"));  // not initialised: nothing
  EXPECT_EQ(-1, InsertAndRegisterProvider(nullptr, nullptr, nullptr));  // no handle, no log
  _RsrcMonitorHandle handle{&m, {}};  // no provider, or one the manager refuses (freed): none kept
  EXPECT_EQ(-1, InsertAndRegisterProvider(nullptr, &handle, nullptr));
  EXPECT_EQ(-1, InsertAndRegisterProvider(nullptr, &handle, new FakeProvider("F", {RSRC_AGENT_SYSTEM})));
  EXPECT_TRUE(handle.providers.empty());
  inst.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "0");
  ASSERT_EQ(0, m.Initialize(nullptr));
  std::string csv = "Date,Time,CPU-Usage,Name,Arguments,Empty-Col\r\n", metrics;
  for (const Case& c : cases) {
    env.now = c.now;
    ASSERT_EQ(0, Report("Proc", columns, {c.row}, "1.2"));
    csv += std::string(c.csv) + "\r\n";
    metrics += std::string("System Resource|Proc|") + c.metrics + "\n";
  }
  const std::string path = hxtest::PerfLogName(logDir, "Proc-1.2", 0);
  EXPECT_EQ(csv, hxtest::ReadFile(path));
  EXPECT_EQ(metrics, hxtest::ReadFile(inst.logDir() + "/metrics.log"));
  // A batch without rows creates the file with its header only.
  ASSERT_EQ(0, Report("N", {}, {}, "1.0"));
  EXPECT_EQ("Date,Time,\r\n", hxtest::ReadFile(hxtest::PerfLogName(logDir, "N-1.0", 0)));
  // A file of the legacy name is adopted by the first report 1 s or more after the name was computed.
  hxtest::WriteFile(logDir + "/PerfLog_Proc-1.2_hxtesthost.csv", "legacy\r\n");
  for (int64_t ms : {999, 1000}) env.monoMs = ms, Report("Proc", columns, {{std::to_string(ms)}}, "1.2");
  EXPECT_EQ("legacy\r\n11/15/23,00:00:00,1000\r\n", hxtest::ReadFile(path));
}


// Label values: escapes, and U+FFFD for every byte that is not part of valid
// UTF-8 (the metrics textfile test drives names and numbers).
TEST(ExpositionText, LabelValuesAndFileName) {
  const std::pair<std::string, std::string> labels[] = {
      {"q\"b\\n\nc\rt\t", "q\\\"b\\\\n\\nc\rt\t"}, {"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"},
      // The first and last code points of every length and around the surrogates.
      {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
       "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
      {"bad\xff", "bad\xef\xbf\xbd"}, {"cut\xe2\x82", "cut\xef\xbf\xbd\xef\xbf\xbd"},
      {"over\xc0\xaf", "over\xef\xbf\xbd\xef\xbf\xbd"}, {"over\xe0\x9f\xbf", "over\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"sur\xed\xa0\x80", "sur\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}};
  for (const auto& c : labels) EXPECT_EQ(c.second, hxmetrics::EscapeLabelValue(c.first)) << c.first;
  EXPECT_EQ("halvex_.._x_y_az.AZ-09_.prom", hxmetrics::TextfileName("../x/y az.AZ-09_"));
}

// One object of the textfile: its columns, what each is called there ("" =
// left out, "=x" = label x, else the family) and the rows reported.
struct ObjectCase {
  ResourceAgentType type;
  const char* object;
  std::vector<std::string> columns, names;
  std::vector<std::vector<std::string>> rows;
};

// Each tick's objects replace their rows, a later row of one identity
// replacing an earlier one; objects not reported keep theirs and their time,
// and each provider entry is up when its last update reported rows.
TEST_F(PerfMonitorTest, HoldsTheLatestRowsOfEveryObject) {
  const std::string textDir = inst.root() + "/textfile", path = textDir + "/halvex_" + inst.focus() + ".prom";
  ASSERT_EQ(0, mkdir(textDir.c_str(), 0755));
  inst.SetConfig("Hxd", "PerfMetricsTextfileDirectory", textDir + "//");
  ASSERT_EQ(0, m.Initialize(nullptr));
  std::vector<ObjectCase> objects = {
      {RSRC_AGENT_PROCESS, "Process", {"CPU-Usage", "Name", "Process-Id", "Memory\nBytes", "Arguments"},
       {"halvex_process_cpu_usage_percent", "=process", "=pid", "halvex_process_memory_bytes", ""},
       {{"1.5", "evil \"quote\" \\back,slash", "42", "4096", "--x"}, {"-", "two,\nlines", "43", "1e3", "a"},
        {"2", "plain", "44", "0x10", ""}, {"3", "plain", "44", "-7", ""}}},
      {RSRC_AGENT_HBA_FC, "HBA-FC", {"HBAadapter", "PortIndex", "InputRequests"},
       {"=adapter", "=port", "halvex_hba_fc_input_requests"}, {{"hba0", "1", "12.50"}, {"hba0", "2", "7"}, {"hba1", "3"}}},  // a short row
      {RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", {"Name", "HTTPServerCount"},
       {"=disk", "halvex_logical_disk1_http_server_count"}, {{"sdb", "18446744073709551615"}}},
  };
  std::vector<ResourceAgentType> types;
  for (const ObjectCase& c : objects) types.push_back(c.type);
  FakeProvider os("Fake OS", types, 1), silent("Silent", {RSRC_AGENT_SYSTEM}, 1), broken("Broken", {RSRC_AGENT_TCPIP}, 1);
  broken.initResult = -1;
  os.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    for (const ObjectCase& c : objects) {
      if (c.type != type || c.rows.empty()) continue;
      for (const std::vector<std::string>& row : c.rows) {  // one report per row
        _PerfLogItems items{"1.0", c.columns, {row}};
        cb->OnUpdateLog(type, c.object, items);
      }
    }
  };
  for (FakeProvider* p : {&os, &silent, &broken}) ASSERT_EQ(0, m.RegisterPerfProvider(p));
  // A link in the file's place is replaced, not followed; the mode is 0644
  // whatever the umask.
  hxtest::WriteFile(inst.root() + "/outside", "keep");
  ASSERT_EQ(0, symlink((inst.root() + "/outside").c_str(), path.c_str()));
  const mode_t oldMask = umask(077);
  const std::string focus = inst.focus();
  SeriesValues want;
  const auto up = [&](const char* provider, ResourceAgentType t) -> double& {
    return want[Series("halvex_monitor_provider_up", {{"instance", focus}, {"provider", provider}, {"agent_type", std::to_string(t)}})];
  };
  for (int tick = 0; tick < 2; ++tick) {
    m.UpdateTimerAndPerfLogs();
    for (const ObjectCase& c : objects) {
      up("Fake OS", c.type) = !c.rows.empty();
      if (c.rows.empty()) continue;
      const std::string prefix = "halvex_" + hxmetrics::SnakeCase(c.object) + "_";
      for (auto it = want.begin(); it != want.end();) {
        it = it->first.first.rfind(prefix, 0) == 0 ? want.erase(it) : std::next(it);
      }
      want[Series(prefix + "timestamp_seconds", {{"instance", focus}})] = env.now;
      for (const std::vector<std::string>& row : c.rows) {
        std::map<std::string, std::string> labels = {{"instance", focus}};
        for (size_t j = 0; j < row.size(); ++j) if (c.names[j][0] == '=') labels[c.names[j].substr(1)] = row[j];
        for (size_t j = 0; j < row.size(); ++j) {
          if (c.names[j].empty() || c.names[j][0] == '=') continue;
          want.erase(Series(c.names[j], labels));
          if (row[j] != "-" && row[j] != "0x10") want[Series(c.names[j], labels)] = std::stod(row[j]);
        }
      }
    }
    up("Silent", RSRC_AGENT_SYSTEM) = 0;
    up("Broken", RSRC_AGENT_TCPIP) = 0;
    SeriesValues series;
    std::map<std::string, std::string> types;
    std::string error;
    EXPECT_TRUE(hxtest::ParseSeries(path, &series, &types, &error)) << error;
    for (const auto& t : types) EXPECT_EQ("gauge", t.second) << t.first;
    EXPECT_EQ(want, series) << "tick " << tick;
    // Next tick only the processes report, the first of them gone.
    env.now += 60;
    for (ObjectCase& c : objects) c.rows.erase(c.rows.begin(), c.type == RSRC_AGENT_PROCESS ? c.rows.begin() + 1 : c.rows.end());
  }
  umask(oldMask);
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0644);
  EXPECT_EQ("keep", hxtest::ReadFile(inst.root() + "/outside"));
  // The replacement leaves nothing beside the file; a failure to write is
  // logged once, not at every tick.
  std::string out;
  hxtest::RunAndCapture("/bin/ls", {"-A", textDir}, &out);
  EXPECT_EQ("halvex_" + focus + ".prom\n", out);
  EXPECT_TRUE(inst.LogLinesContaining("cannot write the metrics textfile").empty());
  ASSERT_EQ(0, rename(textDir.c_str(), (textDir + ".gone").c_str()));
  m.UpdateTimerAndPerfLogs();
  m.UpdateTimerAndPerfLogs();
  EXPECT_EQ(1u, inst.LogLinesContaining("[ERROR] cannot write the metrics textfile [" + path + "]").size());
}

}  // namespace
