// The network provider fed two hostile "ip -s link" outputs, one minute
// apart (pieces 1 and 2 of the input). The first sample reports nothing; the
// second reports well-formed rows, one per interface name at most, never a
// loopback one, and the link speed of each is read through a command in
// which the interface name is one quoted shell word, never shell syntax.
#include <cstdint>
#include <set>

#include "providers/linux_tcp_provider.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
const char kSpeedPrefix[] = "export LC_ALL=C; awk '{print $1}' ";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  static hxfuzz::FuzzEnv env("network_real.txt", "ip -s link");
  static hxtest::CaptureCallback callback;
  std::vector<std::string> pieces = hxfuzz::Pieces(data, size);
  env.Begin(pieces);
  callback.reports.clear();
  CHxPerfProviderLinuxTCP provider(&env);
  FUZZ_CHECK(provider.Initialize(nullptr, &callback) == 0, "Initialize");

  provider.UpdatePerfCounters(RSRC_AGENT_TCPIP);
  FUZZ_CHECK(callback.reports.empty(), "the first sample reports nothing");
  env.now += 60;
  provider.UpdatePerfCounters(RSRC_AGENT_TCPIP);
  hxfuzz::CheckReports(callback, RSRC_AGENT_TCPIP, "nuuuuueeee");

  std::set<std::string> names;
  for (const hxtest::CapturedReport& r : callback.reports) {
    const std::string& name = r.items.rows[0][0];
    FUZZ_CHECK(names.insert(name).second, "interface reported twice: " + name);
    FUZZ_CHECK(name.compare(0, 2, "lo") != 0, "loopback reported: " + name);
  }
  std::set<std::string> speedOf;
  for (const std::string& command : env.commands) {
    if (command.find("/sys/class/net/") == std::string::npos) continue;
    FUZZ_CHECK(command.compare(0, sizeof(kSpeedPrefix) - 1, kSpeedPrefix) == 0, command);
    std::string word = command.substr(sizeof(kSpeedPrefix) - 1), path;
    const size_t nul = word.find('\0');
    if (nul != std::string::npos) {
      // The shell sees the text up to the NUL: it must not be a complete word.
      FUZZ_CHECK(!hxfuzz::ShellWord(word.substr(0, nul), &path), "cut command runs: " + command);
      continue;
    }
    FUZZ_CHECK(hxfuzz::ShellWord(word, &path), "not one shell word: " + command);
    const std::string head = "/sys/class/net/", tail = "/speed";
    FUZZ_CHECK(path.size() > head.size() + tail.size() && path.compare(0, head.size(), head) == 0 &&
                   path.compare(path.size() - tail.size(), tail.size(), tail) == 0,
               "speed path: " + path);
    speedOf.insert(path.substr(head.size(), path.size() - head.size() - tail.size()));
  }
  for (const std::string& name : names) {
    if (name.find('\0') == std::string::npos) {
      FUZZ_CHECK(speedOf.count(name) == 1, "speed not asked for " + name);
    }
  }
  hxfuzz::TrimDebugLog();
  return 0;
}
