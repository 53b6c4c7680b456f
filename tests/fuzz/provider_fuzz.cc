// The perf providers fed hostile output of the commands named by
// HX_FUZZ_COMMAND (input pieces cut at 0x1E, one per fuzzed command run);
// the other commands replay a recorded machine. Compiled once per provider
// (HX_FUZZ_SYSTEM, _NETWORK, _DISK or _PROCESS). Whatever the text, one
// update gives well-formed one-row reports (CheckReports) and the provider's
// own property below holds.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>

#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "platform/hx_platform_info.h"
#include "platform/hx_process.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const std::string kFuzzed = HX_FUZZ_COMMAND;
// Adjusts the environment and the input pieces before a run: nothing, unless
// the provider's section below says otherwise.
template <class Env>
void Prepare(Env&, std::vector<std::string>&) {}

#if defined(HX_FUZZ_SYSTEM)
// top, vmstat or the MemAvailable line of /proc/meminfo. sysinfo is the
// kernel's, not outside text. The memory figures keep their meaning:
// physical from sysinfo, free virtual a share (at most 100 %).
typedef CHxPerfProviderLinuxSystem Provider;
const char kFixture[] = "system_real.txt", kKinds[] = "fuuuuuuuuu";
const ResourceAgentType kType = RSRC_AGENT_SYSTEM;
const int kSamples = 1;
void Check(hxfuzz::FuzzEnv&, const hxtest::CaptureCallback& callback, const std::vector<std::string>&) {
  FUZZ_CHECK(callback.reports.size() == 1, "one update gives one report");
  const std::vector<std::string>& row = callback.reports[0].items.rows[0];
  struct sysinfo si;
  FUZZ_CHECK(sysinfo(&si) == 0 && row[1] == std::to_string(si.totalram / 1024 * si.mem_unit), "physical memory: " + row[1]);
  FUZZ_CHECK(std::stoull(row[4]) <= 100, "free virtual " + row[4] + " % of " + row[3] + " KB");
}

#elif defined(HX_FUZZ_NETWORK)
// Two "ip -s link" samples a minute apart: the first reports nothing, the
// second one row per interface name at most, never a loopback one, and the
// link speed is read through a command in which the name is one quoted shell
// word, never shell syntax.
typedef CHxPerfProviderLinuxTCP Provider;
const char kFixture[] = "network_real.txt", kKinds[] = "nuuuuueeee", kSpeed[] = "export LC_ALL=C; awk '{print $1}' ";
const ResourceAgentType kType = RSRC_AGENT_TCPIP;
const int kSamples = 2;  // a fresh provider every run
void Check(hxfuzz::FuzzEnv& env, const hxtest::CaptureCallback& callback, const std::vector<std::string>&) {
  std::set<std::string> names;
  for (const hxtest::CapturedReport& r : callback.reports) {
    const std::string& name = r.items.rows[0][0];
    FUZZ_CHECK(names.insert(name).second, "interface reported twice: " + name);
    FUZZ_CHECK(name.compare(0, 2, "lo") != 0, "loopback reported: " + name);
  }
  for (const std::string& command : env.commands) {
    if (command.find("/sys/class/net/") == std::string::npos) continue;
    FUZZ_CHECK(command.compare(0, sizeof(kSpeed) - 1, kSpeed) == 0, command);
    // The shell sees the text up to a NUL, which must then not be a complete word.
    const std::string word = command.substr(sizeof(kSpeed) - 1), seen = word.substr(0, word.find('\0'));
    std::string path;
    const bool complete = hxfuzz::ShellWord(seen, &path);
    FUZZ_CHECK(complete == (seen == word), "not one shell word: " + command);
    FUZZ_CHECK(!complete || (path.size() > 21 && path.rfind("/sys/class/net/", 0) == 0 && path.compare(path.size() - 6, 6, "/speed") == 0),
               "speed path: " + path);
  }
}

#elif defined(HX_FUZZ_DISK)
// /proc/diskstats, df, or pvdisplay then lvs, on a small machine with logical
// volumes (disk_lvm.txt here; "@LV@" there and in the input: a directory of
// real volume links). The disks come in strictly increasing name order, never
// more of them than /proc/diskstats has lines.
typedef CHxPerfProviderLinuxDisk Provider;
const char kFixture[] = "../../fuzz/disk_lvm.txt", kKinds[] = "nuuuuuuuuu";
const ResourceAgentType kType = RSRC_AGENT_LOGICAL_DISK;
const int kSamples = 1;
const char kDiskStats[] = "export LC_ALL=C; awk '{  print $3, $8, $10, $4, $6, $11, $7, $12}' /proc/diskstats";
const std::string kLinks = hxfuzz::Instance().root() + "/lv";
void Prepare(hxfuzz::FuzzEnv& env, std::vector<std::string>& pieces) {
  if (mkdir(kLinks.c_str(), 0755) == 0) {  // the first run
    FUZZ_CHECK(symlink("../dm-0", (kLinks + "/root").c_str()) == 0 && symlink("/dev/dm-1", (kLinks + "/swap").c_str()) == 0 &&
                   symlink("dm-2", (kLinks + "/data").c_str()) == 0, kLinks);
    for (auto& reply : env.replies) reply.second.output = hxtest::Replace(reply.second.output, "@LV@", kLinks);
  }
  for (std::string& p : pieces) p = hxtest::Replace(p, "@LV@", kLinks);
}
void Check(hxfuzz::FuzzEnv& env, const hxtest::CaptureCallback& callback, const std::vector<std::string>& pieces) {
  // Disk stats are asked first: when fuzzed, they are the first piece.
  const bool statsFuzzed = kFuzzed.find("diskstats") != std::string::npos;
  const size_t lines = hxprov::SplitLines(statsFuzzed ? pieces[0] : env.replies[kDiskStats].output).size();
  FUZZ_CHECK(callback.reports.size() <= lines, std::to_string(callback.reports.size()) + " disks from " +
                                                   std::to_string(lines) + " lines");
  for (size_t i = 1; i < callback.reports.size(); ++i) {
    const std::string &before = callback.reports[i - 1].items.rows[0][0], &name = callback.reports[i].items.rows[0][0];
    FUZZ_CHECK(before < name, "disk order: " + before + " then " + name);
  }
}

#elif defined(HX_FUZZ_PROCESS)
// The "ps" line of each process, its "iotop" sizes, or the id sources
// (runtime properties, pgrep, executable links). Every row describes a
// process a ps line printed, and every command run is one of the provider's
// own with a positive decimal id: no outside text becomes shell syntax.
const bool kFuzzIds = kFuzzed.find("pgrep") != std::string::npos;
// With the id sources fuzzed, the processes are looked for by name and path too.
struct Provider : CHxPerfProviderLinuxProcess {
  explicit Provider(HxEnv* env) : CHxPerfProviderLinuxProcess(env) {
    std::vector<std::string> names = {"bash", "sh"}, paths = {"/usr/"};
    if (!kFuzzIds) return;
    SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
    SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_PATHS, paths);
  }
};
const char kFixture[] = "process_real.txt", kKinds[] = "fnuuuueeuuuut";
const ResourceAgentType kType = RSRC_AGENT_PROCESS;
const int kSamples = 1;

// c is a recorded command (the fixture's, for process 1 where it names one)
// with any positive decimal id in place of 1, the runtime file's ids, or the
// executable links.
bool KnownCommand(const hxfuzz::FuzzEnv& env, std::string c) {
  for (const std::string marker : {" -p ", " /proc/"}) {
    const size_t at = c.find(marker), from = at == std::string::npos ? c.size() : at + marker.size();
    const size_t end = c.find_first_not_of("0123456789", from);
    if (from < c.size() && end != from && c[from] != '0') c.replace(from, end - from, "1");
  }
  return env.replies.count(c) != 0 || c.compare(0, 25, "awk '/^pid/ {print $2}' '") == 0 ||
         c == "export LC_ALL=C; ls -l /proc/*/exe | awk '{ if ($11 && match($9, /^\\/proc\\/([0-9]*)/,a)) print a[1], $11 }'";
}
void Prepare(hxfuzz::FuzzEnv& env, std::vector<std::string>&) {
  // The platform's own ids (1 and 16347, whose outputs are recorded) unless the id sources are fuzzed.
  const std::string runtime = HxRegistryRoot() + HXPI_Focus::getFocus() + "/Runtime/.properties";
  if (!kFuzzIds) env.replies["awk '/^pid/ {print $2}' " + HxShellQuote(runtime)] = {0, "1\n16347\n"};
}
// Each row: the name and id of a ps line ("%cpu fname pid nlwp vsz args"),
// and its size in bytes without wrapping.
void Check(hxfuzz::FuzzEnv& env, const hxtest::CaptureCallback& callback, const std::vector<std::string>&) {
  std::set<std::string> printed;  // "name id bytes" of every ps line
  for (size_t i = 0; i < env.commands.size(); ++i) {
    FUZZ_CHECK(KnownCommand(env, env.commands[i]), "command run: " + env.commands[i]);
    const std::vector<std::string> w = hxprov::SplitWords(env.outputs[i].substr(0, env.outputs[i].find('\n')));
    if (env.commands[i].find(" ps hww -p ") == std::string::npos || w.size() < 5 || !hxprov::IsDigits(w[2] + w[4])) continue;
    const uint64_t vsz = std::strtoull(w[4].c_str(), nullptr, 10), bytes = vsz > (UINT64_MAX >> 10) ? UINT64_MAX : vsz << 10;
    printed.insert(w[1] + " " + std::to_string(std::strtoull(w[2].c_str(), nullptr, 10)) + " " + std::to_string(bytes));
  }
  for (const hxtest::CapturedReport& r : callback.reports) {
    const std::string row = r.items.rows[0][1] + " " + r.items.rows[0][2] + " " + r.items.rows[0][5];
    FUZZ_CHECK(printed.count(row) == 1, "no ps line has this name, id and size: " + row);
  }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  static hxfuzz::FuzzEnv env(kFixture, kFuzzed);
  static hxtest::CaptureCallback callback;
  static std::unique_ptr<Provider> provider;
  std::vector<std::string> pieces = hxfuzz::Pieces(std::string(reinterpret_cast<const char*>(data), size));
  Prepare(env, pieces);
  env.Begin(pieces);
  callback.reports.clear();
  if (!provider || kSamples > 1) {
    provider.reset(new Provider(&env));
    FUZZ_CHECK(provider->Initialize(nullptr, &callback) == 0, "Initialize");
  }
  for (int i = 0; i < kSamples; ++i) {
    if (i > 0) env.now += 60;
    FUZZ_CHECK(callback.reports.empty(), "the first sample reports nothing");
    provider->UpdatePerfCounters(kType);
  }
  hxfuzz::CheckReports(callback, kType, kKinds);
  Check(env, callback, pieces);
  return 0;
}
