// The operating-system providers (system, network, disk, process): scenario
// files of command replies and clock steps against golden rows, identity and
// shared behaviour, real commands on this machine, hostile names, a race.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "platform/hx_platform_info.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "providers/perf_header_info.h"
#include "providers/provider_utils.h"
#include "tests/providers/provider_support.h"

namespace {

using hxtest::Split;

// The system provider with the kernel's sysinfo, or the one a scenario sets.
struct SysinfoSystem : CHxPerfProviderLinuxSystem {
  using CHxPerfProviderLinuxSystem::CHxPerfProviderLinuxSystem;
  bool fake = false;
  int error = 0;
  struct sysinfo info = {};
  int QuerySysinfo(struct sysinfo* out) override {
    if (!fake) return CHxPerfProviderLinuxSystem::QuerySysinfo(out);
    *out = info;
    return error;
  }
};

struct Family {
  const char* name;  // of the scenario file golden/<name>.txt
  const char* className;
  const char* identity;  // "<display name>|<agent type>"
  ResourceAgentType type;
  const char* object;
  const char* programs;  // the real commands need these
  const char* shape;     // real rows, per column: 'n' numeric, 't' text, '-' empty
  std::function<CHxLinuxPerfProviderBase*(HxEnv*)> make;
};

const Family kFamilies[] = {
    {"system", "CHxPerfProviderLinuxSystem", "Linux System perf counters|7", RSRC_AGENT_SYSTEM,
     "System", "", "nnnnnnnnnn", [](HxEnv* e) { return new SysinfoSystem(e); }},
    {"tcp", "CHxPerfProviderLinuxTCP", "Linux System perf counters TCP/IP|8", RSRC_AGENT_TCPIP,
     "Tcpip", "ip awk", "tnnnnn----", [](HxEnv* e) { return new CHxPerfProviderLinuxTCP(e); }},
    {"disk", "CHxPerfProviderLinuxDisk", "Linux System perf counters DISK|2",
     RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", "awk df", "tnnnnnnnnn",
     [](HxEnv* e) { return new CHxPerfProviderLinuxDisk(e); }},
    {"process", "CHxPerfProviderLinuxProcess", "Linux System perf counters process|3",
     RSRC_AGENT_PROCESS, "Process", "ps getconf awk wc", "ntnnnn--nnnnt",
     [](HxEnv* e) { return new CHxPerfProviderLinuxProcess(e); }},
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = text.find(from, p)) != std::string::npos; p += to.size()) {
    text.replace(p, from.size(), to);
  }
  return text;
}

class Provider : public ::testing::TestWithParam<Family> {
 protected:
  // One setting of an update line: now=<seconds>; ram=<total>,<free>,<unit>
  // or err=<errno> (sysinfo); cfg=<configured process names, rest of the
  // line>; own=<ids in the runtime properties file>; names=, paths=<policy
  // lists>; link=<name>:<target>,... (symbolic links in $ROOT).
  void Set(const std::string& key, const std::string& value) {
    auto* system = dynamic_cast<SysinfoSystem*>(provider.get());
    std::vector<std::string> v = Split(value, ',');
    if (key == "now") env.now = static_cast<uint32_t>(std::stoul(value));
    if ((key == "ram" || key == "err") && system != nullptr) {
      system->fake = true;
      if (key == "err") system->error = std::stoi(value);
      if (key == "ram") {
        system->info.totalram = std::stoul(v[0]);
        system->info.freeram = std::stoul(v[1]);
        system->info.mem_unit = static_cast<unsigned>(std::stoul(v[2]));
      }
    }
    if (key == "cfg") instance.SetConfig("EventManager", "sMonitorProcessNames", value);
    if (key == "names") provider->SetAgentProp(GetParam().type, RSRC_PROP_PROCESS_NAMES, v);
    if (key == "paths") provider->SetAgentProp(GetParam().type, RSRC_PROP_PROCESS_PATHS, v);
    if (key == "own") {
      const std::string dir = HxRegistryRoot() + instance.focus() + "/Runtime";
      std::filesystem::create_directories(dir);
      hxtest::WriteFile(dir + "/.properties", "pid " + Replace(value, ",", "\npid ") + "\n");
    }
    for (size_t i = 0; key == "link" && i < v.size(); ++i) {
      const size_t colon = v[i].find(':');
      std::filesystem::create_symlink(v[i].substr(colon + 1), root + v[i].substr(0, colon));
    }
  }
  void Initialize() {
    if (!initialized) {
      ASSERT_EQ(provider->Initialize(nullptr, &callback), 0);
    }
    initialized = true;
  }

  hxtest::TestInstance instance;
  const std::string root = instance.root() + "/";
  hxtest::ReplayEnv env;
  std::unique_ptr<CHxLinuxPerfProviderBase> provider{GetParam().make(&env)};
  hxtest::CaptureCallback callback;
  bool initialized = false;
};

// Every update of the family's scenario reports exactly the golden rows, one
// per report, under its object name, and asks only commands that have a reply.
// Names in replies are data: nothing ever creates $ROOT/owned.
TEST_P(Provider, ScenarioGivesTheGoldenRows) {
  env.passThrough = {"/Runtime/.properties", "/sys/class/net/"};
  int update = 0;
  for (const hxtest::Block& b : hxtest::ReadBlocks("golden/" + std::string(GetParam().name) + ".txt")) {
    const std::string body = Replace(b.body, "$ROOT/", root);
    if (b.head.rfind("<<< ", 0) == 0) {
      for (const hxtest::Block& r : hxtest::ReadBlocks(b.head.substr(4))) env.Apply(r);
    } else if (b.head.rfind("@@@ ", 0) == 0) {
      env.Apply({b.head, body});
    } else {
      SCOPED_TRACE("update " + std::to_string(++update) + ": " + b.head);
      const size_t cfg = b.head.find("cfg=");
      if (cfg != std::string::npos) Set("cfg", b.head.substr(cfg + 4));
      for (const std::string& word : Split(b.head.substr(4, cfg - 4), ' ')) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) Set(word.substr(0, eq), word.substr(eq + 1));
      }
      Initialize();
      callback.reports.clear();
      provider->UpdatePerfCounters(GetParam().type);
      EXPECT_EQ(callback.Text(), body);
      for (const auto& r : callback.reports) {
        EXPECT_EQ(r.object + " " + std::to_string(r.items.rows.size()), GetParam().object + std::string(" 1"));
      }
      EXPECT_EQ(env.unknownCommands, std::vector<std::string>());
      env.unknownCommands.clear();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(root + "owned"));
}

// Name and agent types, Initialize (a null callback refused, a second call
// keeping the first callback), the configured interval, and silence for
// agent types the provider does not serve.
TEST_P(Provider, IdentityAndSharedBehaviour) {
  std::string name;
  std::vector<ResourceAgentType> types = {RSRC_AGENT_NONE};
  provider->GetPerfProviderName(name);
  provider->GetSupprotedAgentTypes(types);
  for (ResourceAgentType t : types) name += "|" + std::to_string(t);
  EXPECT_EQ(name, GetParam().identity);
  const std::string label = std::string(GetParam().className) + "::Initialize";
  EXPECT_EQ(provider->Initialize(nullptr, nullptr), -1);
  EXPECT_EQ(instance.LogLinesContaining(label + ":[ERROR]Invalid Callback address").size(), 1u);
  Initialize();
  hxtest::CaptureCallback other;
  EXPECT_EQ(provider->Initialize(nullptr, &other), 0);
  EXPECT_EQ(instance.LogLinesContaining(label + ": Already initialized").size(), 1u);
  EXPECT_EQ(provider->Uninitialize(), 0);
  for (int t = -1; t <= 11; ++t) {
    if (t != GetParam().type) provider->UpdatePerfCounters(static_cast<ResourceAgentType>(t));
  }
  EXPECT_EQ(env.commands.size() + callback.reports.size(), 0u);
  Set("err", "0");  // a system row even when every command fails
  provider->UpdatePerfCounters(GetParam().type);
  EXPECT_EQ(callback.reports.size() + other.reports.size(), GetParam().type == RSRC_AGENT_SYSTEM ? 1u : 0u);
  EXPECT_EQ(other.reports.size(), 0u);

  EXPECT_EQ(provider->GetUpdateIntervalMinutes(GetParam().type), 15u);
  instance.SetConfig("Hxd", "SysRsrcMonMinutes", "0");
  EXPECT_EQ(provider->GetUpdateIntervalMinutes(GetParam().type), 0u);
  instance.SetConfig("Hxd", "SysRsrcMonMinutes", "1440");
  EXPECT_EQ(provider->GetUpdateIntervalMinutes(RSRC_AGENT_NONE), 1440u);
}

// Busy and total processor time of this machine, as /proc/stat shows it.
std::pair<double, double> CpuTimes() {
  std::istringstream in(hxtest::ReadFile("/proc/stat"));
  std::string cpu;
  double f[8] = {};
  in >> cpu >> f[0] >> f[1] >> f[2] >> f[3] >> f[4] >> f[5] >> f[6] >> f[7];
  const double busy = f[0] + f[1] + f[2] + f[5] + f[6] + f[7];
  return {busy, busy + f[3] + f[4]};
}

// Real commands of this machine give well-formed rows (skipped, saying why,
// where a program is missing or there is nothing to report). The system
// provider always reports; with one processor kept busy by a child process
// its CPU-Usage matches what /proc/stat shows for the same interval.
TEST_P(Provider, RealCommandsGiveWellFormedRows) {
  for (const std::string& program : Split(GetParam().programs, ' ')) {
    std::string out;
    if (HxEnv::Default()->RunCommand("command -v " + program, &out, nullptr) != 0) {
      GTEST_SKIP() << program << " is not installed here";
    }
  }
  env.passThrough = {""};                // real commands, test clock
  Set("own", std::to_string(getpid()));  // this process as one of the platform's own
  Initialize();
  provider->UpdatePerfCounters(GetParam().type);
  const bool system = GetParam().type == RSRC_AGENT_SYSTEM;
  const pid_t spinner = system ? fork() : -1;
  if (spinner == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (volatile unsigned long i = 0;; i = i + 1) {
    }
  }
  const auto before = CpuTimes();
  if (system) usleep(2000000);
  env.now += 60;  // the network provider reports from its second sample on
  callback.reports.clear();
  provider->UpdatePerfCounters(GetParam().type);
  const auto after = CpuTimes();
  if (spinner > 0 && kill(spinner, SIGKILL) == 0) waitpid(spinner, nullptr, 0);
  if (callback.reports.empty() && !system) GTEST_SKIP() << "nothing to report on this machine";
  ASSERT_FALSE(callback.reports.empty());
  const std::string shape = GetParam().shape;
  for (const auto& r : callback.reports) {
    ASSERT_EQ(r.items.rows.at(0).size(), shape.size());
    for (size_t i = 0; i < shape.size(); ++i) {
      const std::string& v = r.items.rows[0][i];
      char* end = nullptr;
      const bool numeric = !v.empty() && isdigit(static_cast<unsigned char>(v[0])) &&
                           (std::strtod(v.c_str(), &end), *end == '\0');
      EXPECT_TRUE(shape[i] == 'n' ? numeric : shape[i] == 't' ? !v.empty() : v.empty())
          << "column " << i << ": '" << v << "'";
    }
  }
  if (system) {
    const double shown = (after.first - before.first) * 100.0 / (after.second - before.second);
    EXPECT_NEAR(std::stod(callback.reports[0].items.rows[0][0]), shown, 15.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Linux, Provider, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<Family>& info) {
                           return std::string(info.param.name);
                         });

// Every agent type against golden/headers.txt: each call replaces the column
// list; an unknown type leaves name and version alone.
TEST(ProviderTables, EveryAgentTypeMatchesTheGoldenHeaders) {
  std::string text, golden;
  std::vector<std::string> columns = {"stale"};
  for (int t = -1; t <= 11; ++t) {
    std::string name = "keep", version = "keep";
    const bool known = CPerfHeaderInfo::GetPerfHeader(static_cast<ResourceAgentType>(t), name,
                                                      version, columns);
    text += std::to_string(t) + "|" + std::to_string(known) + "|" + name + "|" + version + "|";
    for (size_t i = 0; i < columns.size(); ++i) text += (i ? "," : "") + columns[i];
    text += "\n";
  }
  const std::string file = std::string(HX_SOURCE_DIR) + "/tests/providers/golden/headers.txt";
  for (const std::string& line : Split(hxtest::ReadFile(file), '\n')) {
    if (!line.empty() && (isdigit(static_cast<unsigned char>(line[0])) || line[0] == '-')) {
      golden += line + "\n";
    }
  }
  EXPECT_EQ(text, golden);
}

// The command prefix exports the "C" locale to every stage of a command line,
// whatever locale the process runs in, so that no stage prints decimal commas.
TEST(ProviderShell, EveryStageRunsInTheCLocale) {
  const std::string saved = getenv("LC_ALL") ? getenv("LC_ALL") : "";
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  for (const char* command : {"printenv LC_ALL", "echo x | printenv LC_ALL",
                              "echo x | cat | sh -c 'printenv LC_ALL'",
                              "true && echo x | printenv LC_ALL"}) {
    std::string out;
    EXPECT_EQ(HxEnv::Default()->RunCommand(hxprov::kCommandPrefix + std::string(command), &out,
                                           nullptr), 0);
    EXPECT_EQ(out, "C\n") << command;
  }
  saved.empty() ? unsetenv("LC_ALL") : setenv("LC_ALL", saved.c_str(), 1);
}

// Process names from configuration and policy, and the registry path, are
// data: in a real shell they run nothing. The runtime properties file gives
// the second word of every line starting "pid".
TEST(ProviderShell, HostileNamesRunNothing) {
  hxtest::TestInstance instance;
  const std::string owned = instance.root() + "/owned";
  hxtest::ReplayEnv env;
  env.passThrough = {""};
  hxtest::CaptureCallback callback;
  instance.SetConfig("EventManager", "sMonitorProcessNames", "x;touch " + owned + "1");
  CHxPerfProviderLinuxProcess process(&env);
  ASSERT_EQ(process.Initialize(nullptr, &callback), 0);
  process.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  std::vector<std::string> names = {"y", "$(touch " + owned + "2)", "`touch " + owned + "3`",
                                    "z' ; touch " + owned + "4 ; '"};
  process.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
  process.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  const std::string reg = instance.root() + "/r x;touch " + owned + "5;y";
  const std::string runtime = reg + "/Halvex/" + instance.focus() + "/Runtime";
  std::filesystem::create_directories(runtime);
  hxtest::WriteFile(runtime + "/.properties", "pid 123\nname hxd\npidfile 9\n  pid 5\npid 456 x\n");
  setenv("HXREG", reg.c_str(), 1);  // the instance restores it
  EXPECT_EQ(getProcesslist(&env), "123\n9\n456\n");
  for (int i = 1; i <= 5; ++i) {
    EXPECT_FALSE(std::filesystem::exists(owned + std::to_string(i))) << "name " << i << " ran";
  }
}

// A policy thread replacing the lists while updates run: every pgrep names one
// whole list. Meaningful under TSan as well.
TEST(ProviderShell, UpdatesNeverSeeAHalfReplacedList) {
  hxtest::TestInstance instance;
  hxtest::FakeEnv env;
  CHxPerfProviderLinuxProcess provider(&env);
  std::vector<std::string> lists[2], paths = {"/opt/"};
  std::set<std::string> whole;
  for (auto* list : {&lists[0], &lists[1]}) {
    std::string cmd = std::string(hxprov::kCommandPrefix) + "pgrep ";
    for (int i = 0; i < 50; ++i) {
      list->push_back((list == lists ? "a" : "b") + std::to_string(i));
      cmd += (i ? "\\|'" : "'") + list->back() + "'";
    }
    whole.insert(cmd);
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
  for (int i = 0; i < 300 || replaced.load() < 300; ++i) {
    provider.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  }
  stop = true;
  policy.join();
  size_t pgreps = 0;
  for (const auto& c : env.commands) {
    if (c.find("pgrep") == std::string::npos) continue;
    ++pgreps;
    EXPECT_EQ(whole.count(c), 1u) << c.substr(0, 80);
  }
  EXPECT_GT(pgreps, 0u);
}

}  // namespace
