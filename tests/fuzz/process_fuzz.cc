// The process provider fed hostile output of the command(s) named by
// HX_FUZZ_COMMAND: the "ps" line of each process, its "iotop" sizes, or the
// id sources (runtime properties, pgrep, executable links). Whatever the
// text, every report is one well-formed row describing the process that ps
// printed, and every command run is one of the provider's own with a
// positive decimal id: no text from outside becomes shell syntax.
#include <cstdint>
#include <cstdlib>

#include "providers/linux_process_provider.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const std::string kFuzzed = HX_FUZZ_COMMAND;
const bool kFuzzIds = kFuzzed.find("pgrep") != std::string::npos;

// The platform's own ids (1 and 16347, whose ps/iotop outputs are recorded)
// unless the id sources are fuzzed.
// Keeps the first line of every ps output handed out.
class Env : public hxfuzz::FuzzEnv {
 public:
  using hxfuzz::FuzzEnv::FuzzEnv;
  std::vector<std::string> psLines;
  int RunCommand(const std::string& command, std::string* out, std::string* err) override {
    if (!kFuzzIds && command.find("awk '/^pid/") != std::string::npos) {
      *out = "1\n16347\n";
      return 0;
    }
    const int rc = hxfuzz::FuzzEnv::RunCommand(command, out, err);
    if (rc == 0 && command.find(" ps hww -p ") != std::string::npos) {
      const std::vector<std::string> lines = hxprov::SplitLines(*out);
      psLines.push_back(lines.empty() ? std::string() : lines[0]);
    }
    return rc;
  }
};

// Decimal value of a digit run (saturated); false for any other word.
bool Decimal(const std::string& word, uint64_t* v) {
  if (!hxprov::IsDigits(word)) return false;
  *v = std::strtoull(word.c_str(), nullptr, 10);
  return true;
}

// True when command is prefix + a positive decimal id without leading zero + suffix.
bool IdCommand(const std::string& command, const std::string& prefix, const std::string& suffix) {
  if (command.size() <= prefix.size() + suffix.size() ||
      command.compare(0, prefix.size(), prefix) != 0 ||
      command.compare(command.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string id = command.substr(prefix.size(), command.size() - prefix.size() - suffix.size());
  return hxprov::IsDigits(id) && id[0] != '0';
}

bool KnownCommand(const std::string& c) {
  static const char* const kFixed[] = {
      "export LC_ALL=C; getconf _NPROCESSORS_ONLN",
      "export LC_ALL=C; pgrep 'bash'\\|'sh'",
      ("export LC_ALL=C; ls -l /proc/*/exe | awk '{ if ($11 && match($9, /^\\/proc\\/([0-9]*)/,a)) "
       "print a[1], $11 }'")};
  for (const char* f : kFixed) {
    if (c == f) return true;
  }
  return c.compare(0, 25, "awk '/^pid/ {print $2}' '") == 0 ||
         IdCommand(c, "export LC_ALL=C; ps hww -p ", " -o %cpu,fname,pid,nlwp,vsz,args") ||
         IdCommand(c, "export LC_ALL=C; ls -1 /proc/", "/fd | wc -l") ||
         IdCommand(c, "export LC_ALL=C; iotop -bakn1 -p ", " | sed 1,2d  |awk '{print $4,$6}'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  static Env env("process_real.txt", kFuzzed);
  static hxtest::CaptureCallback callback;
  static CHxPerfProviderLinuxProcess provider(&env);
  static const bool ready = [] {
    std::vector<std::string> names = {"bash", "sh"}, paths = {"/usr/"};
    if (kFuzzIds) {
      provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
      provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_PATHS, paths);
    }
    return provider.Initialize(nullptr, &callback) == 0;
  }();
  FUZZ_CHECK(ready, "Initialize");

  env.Begin(hxfuzz::Pieces(data, size));
  env.psLines.clear();
  callback.reports.clear();
  provider.UpdatePerfCounters(RSRC_AGENT_PROCESS);

  hxfuzz::CheckReports(callback, RSRC_AGENT_PROCESS, "fnuuuueeuuuut");
  for (const std::string& c : env.commands) FUZZ_CHECK(KnownCommand(c), "command run: " + c);

  // Each row describes a process a ps line printed ("%cpu fname pid nlwp
  // vsz args"): its name and id, and its size in bytes without wrapping.
  for (const hxtest::CapturedReport& r : callback.reports) {
    const std::vector<std::string>& row = r.items.rows[0];
    FUZZ_CHECK(row[8] == "0" && row[10] == "0", "no I/O counts on this system");
    bool found = false;
    for (const std::string& line : env.psLines) {
      const std::vector<std::string> w = hxprov::SplitWords(line);
      uint64_t pid = 0, vsz = 0;
      if (w.size() < 5 || w[1] != row[1] || !Decimal(w[2], &pid) || !Decimal(w[4], &vsz)) continue;
      const uint64_t bytes = vsz > (UINT64_MAX >> 10) ? UINT64_MAX : vsz << 10;
      found = found || (std::to_string(pid) == row[2] && std::to_string(bytes) == row[5]);
    }
    FUZZ_CHECK(found, "no ps line has this id and size: " + row[1] + " " + row[2] + " " + row[5]);
  }
  hxfuzz::TrimDebugLog();
  return 0;
}
