// The perf providers. The operating-system providers (system, network, disk,
// process) replay scenario files of command replies and clock steps against
// golden rows (golden/<family>.txt, the expected values worked out in their
// comments); the jobs provider runs on real throttle tables against golden
// reports. Also: agent types served, the column headers, a list-replacement
// race.

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/hx_platform_info.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "providers/perf_header_info.h"
#include "providers/provider_utils.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

using namespace hxtest;

std::string Golden(const std::string& file, const std::string& head) {
  for (const Block& b : ReadBlocks(file))
    if (b.head == "=== " + head) return b.body;
  return "no block " + head;
}

// The system provider with the kernel's sysinfo, or the one a scenario sets.
struct SysinfoSystem : CHxPerfProviderLinuxSystem {
  using CHxPerfProviderLinuxSystem::CHxPerfProviderLinuxSystem;
  bool fake = false;
  int error = 0;
  struct sysinfo info = {};
  int QuerySysinfo(struct sysinfo* out) override {
    return fake ? (*out = info, error) : CHxPerfProviderLinuxSystem::QuerySysinfo(out);
  }
};

template <class T> iCHxPerfProvider* Make(HxEnv* env) { return new T(env); }

struct Family {
  const char* name;  // of golden/<name>.txt
  ResourceAgentType type;
  const char* object;
  iCHxPerfProvider* (*make)(HxEnv*);
};

// The operating-system families first: only they have scenarios.
const Family kFamilies[] = {{"system", RSRC_AGENT_SYSTEM, "System", Make<SysinfoSystem>},
                            {"tcp", RSRC_AGENT_TCPIP, "Tcpip", Make<CHxPerfProviderLinuxTCP>},
                            {"disk", RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", Make<CHxPerfProviderLinuxDisk>},
                            {"process", RSRC_AGENT_PROCESS, "Process", Make<CHxPerfProviderLinuxProcess>},
                            {"jobs", RSRC_AGENT_JOBS_STREAM_WRITER, "", Make<CHxPerfProviderTarnellJobs>}};

// A private instance, an environment replaying replies (without any, a plain
// fake), and the reports. Every provider test starts from these.
struct ProviderBase {
  TestInstance instance;
  const std::string root = instance.root() + "/";
  ReplayEnv env;
  CaptureCallback callback;
};
struct ProviderShell : ProviderBase, ::testing::Test {};

class Provider : public ProviderBase, public ::testing::TestWithParam<Family> {
 protected:
  // One setting "<key>=<value>" of an update line: now=<seconds>; ram=<total>,<free>,<unit>
  // or err=<errno> (sysinfo); cfg=<configured process names, rest of the
  // line>; names=, paths=<policy lists>; link=<name>:<target>,... (symbolic
  // links in $ROOT).
  void Set(const std::string& word) {
    const std::string key = word.substr(0, word.find('=')), value = word.substr(word.find('=') + 1);
    auto* system = dynamic_cast<SysinfoSystem*>(provider.get());
    std::vector<std::string> v = Split(value, ',');
    if (key == "now") env.now = static_cast<uint32_t>(std::stoul(value));
    if ((key == "ram" || key == "err") && system != nullptr) system->fake = true;
    if (key == "err" && system != nullptr) system->error = std::stoi(value);
    if (key == "ram" && system != nullptr) std::istringstream(Replace(value, ",", " ")) >> system->info.totalram >> system->info.freeram >> system->info.mem_unit;
    if (key == "cfg") instance.SetConfig("EventManager", "sMonitorProcessNames", value);
    if (key == "names") provider->SetAgentProp(GetParam().type, RSRC_PROP_PROCESS_NAMES, v);
    if (key == "paths") provider->SetAgentProp(GetParam().type, RSRC_PROP_PROCESS_PATHS, v);
    for (size_t i = 0; key == "link" && i < v.size(); ++i) {
      const size_t colon = v[i].find(':');
      std::filesystem::create_symlink(v[i].substr(colon + 1), root + v[i].substr(0, colon));
    }
  }

  std::unique_ptr<iCHxPerfProvider> provider{GetParam().make(&env)};
};

class AnyProvider : public Provider {};

// Every update of the family's scenario reports exactly the golden rows, one
// per report, under its object name, and asks only commands that have a reply
// ($ROOT and $FOCUS stand for the test's directory and instance name). Names
// in replies are data: nothing ever creates $ROOT/owned.
TEST_P(Provider, ScenarioGivesTheGoldenRows) {
  env.passThrough = {"/sys/class/net/"};
  int update = 0;
  for (const Block& b : ReadBlocks("golden/" + std::string(GetParam().name) + ".txt")) {
    const std::string body = Replace(b.body, "$ROOT/", root);
    if (b.head.rfind("<<< ", 0) == 0) {
      for (const Block& r : ReadBlocks(b.head.substr(4))) hxtest::SetReply(r, &env);
    } else if (b.head.rfind("@@@ ", 0) == 0) {
      hxtest::SetReply({Replace(Replace(b.head, "$ROOT/", root), "$FOCUS", instance.focus()), body}, &env);
    } else {
      SCOPED_TRACE("update " + std::to_string(++update) + ": " + b.head);
      const size_t cfg = b.head.find("cfg=");
      if (cfg != std::string::npos) Set(b.head.substr(cfg));
      for (const std::string& word : Split(b.head.substr(4, cfg - 4), ' ')) Set(word);
      ASSERT_TRUE(update > 1 || provider->Initialize(nullptr, &callback) == 0);
      callback.reports.clear();
      provider->UpdatePerfCounters(GetParam().type);
      EXPECT_EQ(callback.Text(), body);
      for (const auto& r : callback.reports) EXPECT_EQ(r.object + std::to_string(r.items.rows.size()), GetParam().object + std::string("1"));
      EXPECT_EQ(env.unknownCommands, std::vector<std::string>());
      env.unknownCommands.clear();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(root + "owned"));
}

// Initialize refuses a null callback; an update of an agent type the provider
// does not serve asks and reports nothing.
TEST_P(AnyProvider, ServesOnlyItsOwnAgentTypes) {
  std::vector<ResourceAgentType> types;
  provider->GetSupprotedAgentTypes(types);
  EXPECT_EQ(provider->Initialize(nullptr, nullptr), -1);
  ASSERT_EQ(provider->Initialize(nullptr, &callback), 0);
  for (int t = -1; t <= 11; ++t) {
    if (std::count(types.begin(), types.end(), t) == 0) provider->UpdatePerfCounters(static_cast<ResourceAgentType>(t));
  }
  EXPECT_EQ(env.commands.size() + callback.reports.size(), 0u);
}

std::string ParamName(const ::testing::TestParamInfo<Family>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Linux, Provider, ::testing::ValuesIn(kFamilies, kFamilies + 4), ParamName);
INSTANTIATE_TEST_SUITE_P(All, AnyProvider, ::testing::ValuesIn(kFamilies), ParamName);

// Every agent type against golden/headers.txt: each call replaces the column
// list; an unknown type leaves name and version alone.
TEST(ProviderTables, EveryAgentTypeMatchesTheGoldenHeaders) {
  std::string text;
  std::vector<std::string> columns = {"stale"};
  for (int t = -1; t <= 11; ++t) {
    std::string name = "keep", version = "keep";
    const bool known = CPerfHeaderInfo::GetPerfHeader(static_cast<ResourceAgentType>(t), name, version, columns);
    text += std::to_string(t) + "|" + std::to_string(known) + "|" + name + "|" + version + "|" + Join(columns, ",") + "\n";
  }
  EXPECT_EQ(text, Golden("golden/headers.txt", "GetPerfHeader"));
}

// A policy thread replacing the lists while updates run: every pgrep names one
// whole list. Meaningful under TSan as well.
TEST_F(ProviderShell, UpdatesNeverSeeAHalfReplacedList) {
  CHxPerfProviderLinuxProcess provider(&env);
  std::vector<std::string> lists[2], paths = {"/opt/"}, whole(2, hxprov::kCommandPrefix);
  for (int l = 0; l < 2; ++l) {
    for (int i = 0; i < 50; ++i) {
      lists[l].push_back(std::string(1, static_cast<char>('a' + l)) + std::to_string(i));
      whole[l] += (i ? "\\|'" : "pgrep '") + lists[l].back() + "'";
    }
  }
  provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, lists[0]);
  std::atomic<bool> stop{false};
  std::atomic<int> replaced{0};
  std::thread policy([&] {
    for (int i = 0; !stop.load(); ++i) {
      provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, lists[i % 2]);
      provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_PATHS, paths);
      replaced.fetch_add(1);
    }
  });
  for (int i = 0; i < 300 || replaced.load() < 300; ++i) provider.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  stop = true;
  policy.join();
  for (const auto& c : env.commands) EXPECT_TRUE(c == whole[0] || c == whole[1] || c.find("pgrep") == std::string::npos) << c;
  EXPECT_GT(std::count(env.commands.begin(), env.commands.end(), whole[0]) + std::count(env.commands.begin(), env.commands.end(), whole[1]), 0);
}

// The jobs provider on real throttle tables of the test instance.
class JobsProvider : public ProviderShell {
 protected:
  // Makes the table's key file a dangling link: attaching the table fails.
  void BlockTable(unsigned int kind) {
    unlink(hx::TableKeyFile(instance.jobResultsDir(), instance.focus(), kind).c_str());
    ASSERT_EQ(symlink((instance.root() + "/nowhere").c_str(), hx::TableKeyFile(instance.jobResultsDir(), instance.focus(), kind).c_str()), 0);
  }
  // The reports of one update of each of types, with their headers.
  std::string Update(CHxPerfProviderTarnellJobs& p, std::vector<int> types = {4, 6, 9}) {
    callback.reports.clear();
    for (int t : types) p.UpdatePerfCounters(static_cast<ResourceAgentType>(t));
    return callback.Text(true);
  }
};

// Tables attached once each by the first Initialize with a callback and
// released by Uninitialize or destruction (a table's last user removes it);
// summaries and job rows of an inbound table on the test's clock, the job
// rows' enumeration resetting the streams' interval (golden/jobs.txt); tables
// that cannot be attached.
TEST_F(JobsProvider, TablesSummariesAndJobRows) {
  CHxPerfProviderTarnellJobs p(&env);
  EXPECT_EQ(p.Initialize(nullptr, nullptr), -1);
  EXPECT_EQ(TablesAttached(instance), "-1 -1");
  ASSERT_EQ(p.Initialize(nullptr, &callback), 0);
  EXPECT_EQ(p.Initialize(nullptr, &callback), 0);
  EXPECT_EQ(Update(p), Golden("golden/jobs.txt", "empty tables"));
  CHxThrottlingManager jobs(&env);
  ASSERT_EQ(jobs.Initialize(instance.focus().c_str(), 7, kTMKindInbound), 0);
  auto second = std::make_unique<CHxPerfProviderTarnellJobs>();
  ASSERT_EQ(second->Initialize(nullptr, &callback), 0);
  EXPECT_EQ(TablesAttached(instance), "3 2");
  second.reset();
  EXPECT_EQ(TablesAttached(instance), "2 1");
  std::vector<unsigned long long> streams;
  const uint64_t moved[2][4] = {{10, 5, 15, 20}, {10, 10, 10, 20}};
  for (uint32_t job : {11, 12}) {
    for (uint64_t bytes : moved[job - 11]) {
      _TMSRegParams reg;
      reg.JobID = job;
      strcpy(reg.ComputerName, "client-1");
      streams.push_back(jobs.RegisterStream(reg));
      unsigned int rate = 0;
      ASSERT_EQ(jobs.GetThroughputRate(streams.back(), bytes, rate), 0);
    }
  }
  ASSERT_EQ(jobs.UnregisterStream(streams[0]), 0);
  _TMStats s;
  s.ReadSize = 1ull << 30;
  s.ReadTime = 1800;
  s.JobType = 2;
  ASSERT_EQ(jobs.UpdateStreamStats(streams[1], s), 0);
  EXPECT_EQ(Update(p), Golden("golden/jobs.txt", "two jobs"));
  env.now += 3600;
  s.ReadSize = 3ull << 30;
  s.ReadTime = 3600;
  ASSERT_EQ(jobs.UpdateStreamStats(streams[1], s), 0);
  EXPECT_EQ(Update(p, {9}), Golden("golden/jobs.txt", "an hour later"));
  EXPECT_EQ(p.Uninitialize() + p.Uninitialize(), 0);
  EXPECT_EQ(TablesAttached(instance) + Update(p), "1 -1");
  ASSERT_EQ(jobs.Uninitialize(), 0);
  EXPECT_EQ(TablesAttached(instance), "-1 -1");
  // A table that cannot be attached silences only its own rows; with none
  // attachable Initialize fails; a machine with inbound tables only never
  // tries the outbound one.
  BlockTable(kTMKindOutbound);
  CHxPerfProviderTarnellJobs in;
  EXPECT_EQ(in.Initialize(nullptr, &callback), 0);
  EXPECT_EQ(instance.LogLinesContaining("[ERROR]Initializing  ThrottlingManager-Out").size(), 1u);
  EXPECT_EQ(Update(in), Golden("golden/jobs.txt", "inbound only"));
  in.Uninitialize();
  BlockTable(kTMKindInbound);
  CHxPerfProviderTarnellJobs none;
  EXPECT_EQ(none.Initialize(nullptr, &callback), -1);
  instance.SetConfig("Platform", "PlatformType", "2");
  unlink(hx::TableKeyFile(instance.jobResultsDir(), instance.focus(), kTMKindInbound).c_str());
  CHxPerfProviderTarnellJobs inbound;
  EXPECT_EQ(inbound.Initialize(nullptr, &callback), 0);
  EXPECT_EQ(Update(inbound), Golden("golden/jobs.txt", "inbound only"));
  EXPECT_EQ(TablesAttached(instance), "1 -1");
}

// Reads the eight figures of golden/jobs_stats.txt into s.
// The record is packed, so the figures are read into locals first.
void ReadStats(std::istream& in, _TMStats* s) {
  uint64_t v[8] = {};
  for (uint64_t& x : v) in >> x;
  s->ReadSize = v[0];
  s->ReadTime = static_cast<uint32_t>(v[1]);
  s->NetworkSize = v[2];
  s->NetworkTime = static_cast<uint32_t>(v[3]);
  s->WriteSize = v[4];
  s->WriteTime = static_cast<uint32_t>(v[5]);
  s->SIDBLookupSamples = v[6];
  s->SIDBLookupTime = static_cast<uint32_t>(v[7]);
}

// Per-job rows from enumerated copies (golden/jobs_stats.txt). Each case hands
// over one stream more than it counts: no row may include it.
TEST_F(JobsProvider, JobStatsRowsMatchTheGoldenFile) {
  instance.SetConfig("Platform", "PlatformType", "0");  // no table attached
  CHxPerfProviderTarnellJobs p(&env);
  _TMJobInfo empty;
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, &empty, nullptr, 0), 0);  // no callback yet
  ASSERT_EQ(p.Initialize(nullptr, &callback), 0);
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, nullptr, nullptr, 1), 0);  // no job
  EXPECT_EQ(p.OnThrottelingInfo(nullptr, &empty, nullptr, 3), 0);  // no streams after all
  EXPECT_EQ(Split(callback.Text(), '|').at(1), "");
  std::string text, golden;
  for (const Block& b : ReadBlocks("golden/jobs_stats.txt")) {
    golden += b.head + "\n" + b.body;
    text += b.head + "\n";
    _TMJobInfo job;
    std::istringstream head(b.head.substr(4));
    int64_t ago = 0;
    std::string last;
    head >> job.JobID >> job.JobType >> job.ActiveStreamCount >> ago >> last;
    job.StartTime = static_cast<uint32_t>(env.now - ago);
    job.LastEnumTime = last == "-" ? 0 : env.now - static_cast<uint32_t>(std::stoul(last));
    ReadStats(head, &job.JobStats);
    std::vector<_TMStreamInfo> streams;
    unsigned int count = 0;  // the "beyond" stream is handed over, not counted
    for (const std::string& line : Split(b.body, '\n')) {
      if (line.rfind("stream ", 0) != 0 && line.rfind("beyond ", 0) != 0) continue;
      count += line[0] == 's';
      text += line + "\n";
      std::istringstream in(line.substr(line.find(' ')));
      std::string computer;
      streams.emplace_back();
      in >> computer;
      memcpy(streams.back().ComputerName, computer.data(), std::min(computer.size(), sizeof(streams.back().ComputerName)));
      ReadStats(in, &streams.back().LastStats);
      ReadStats(in, &streams.back().CurrentStats);
    }
    callback.reports.clear();
    EXPECT_EQ(p.OnThrottelingInfo(nullptr, &job, streams.data(), count), 0);
    text += callback.Text();
  }
  EXPECT_EQ(text, golden);
}

// Every reader of the registry finds it under one root: an empty HXREG means
// the default root here too, and a trailing '/' changes nothing.
TEST(ProviderUtils, ProcessListIsReadUnderTheRegistryRoot) {
  FakeEnv env;
  const char* saved = getenv("HXREG");
  const std::string kept = saved ? saved : "";
  for (const char* registry : {"", "/r/", "/r"}) {
    setenv("HXREG", registry, 1);
    getProcesslist(&env);
  }
  saved ? setenv("HXREG", kept.c_str(), 1) : unsetenv("HXREG");
  const std::string runtime = std::string("Halvex/") + HXPI_Focus::getFocus() + "/Runtime/.properties'";
  const std::string own = "awk '/^pid/ {print $2}' '/r/" + runtime;
  EXPECT_EQ(env.commands, (std::vector<std::string>{"awk '/^pid/ {print $2}' '/etc/VarnholtRegistry/" + runtime, own, own}));
}

}  // namespace
