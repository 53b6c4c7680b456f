// The system provider fed hostile output of the command(s) named by
// HX_FUZZ_COMMAND (top, vmstat or the MemAvailable line of /proc/meminfo);
// the other commands replay their recorded output. Whatever the text, one
// update reports exactly one well-formed row whose memory figures keep their
// meaning.
#include <cstdint>

#include "providers/linux_system_provider.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// sysinfo is the kernel's, not outside text: fixed at 1,000,000 KB.
class Provider : public CHxPerfProviderLinuxSystem {
 public:
  using CHxPerfProviderLinuxSystem::CHxPerfProviderLinuxSystem;
  int QuerySysinfo(struct sysinfo* out) override {
    *out = {};
    out->mem_unit = 1;
    out->totalram = 1024u * 1000000u;
    out->freeram = 1024u * 250000u;
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  static hxfuzz::FuzzEnv env("system_real.txt", HX_FUZZ_COMMAND);
  static hxtest::CaptureCallback callback;
  static Provider provider(&env);
  static const int init = provider.Initialize(nullptr, &callback);
  FUZZ_CHECK(init == 0, "Initialize");

  env.Begin(hxfuzz::Pieces(data, size));
  callback.reports.clear();
  provider.UpdatePerfCounters(RSRC_AGENT_SYSTEM);
  FUZZ_CHECK(callback.reports.size() == 1, "one update gives one report");
  hxfuzz::CheckReports(callback, RSRC_AGENT_SYSTEM, "fuuuuuuuuu");
  const std::vector<std::string>& row = callback.reports[0].items.rows[0];
  FUZZ_CHECK(row[1] == "1000000", "physical memory comes from sysinfo: " + row[1]);
  FUZZ_CHECK(row[5] == "0" && row[6] == "0", "no event or mutex counters");
  // Free virtual memory is a share of free + swap-used: never above 100 %.
  FUZZ_CHECK(std::stoull(row[4]) <= 100, "free virtual " + row[4] + " % of " + row[3] + " KB");
  hxfuzz::TrimDebugLog();
  return 0;
}
