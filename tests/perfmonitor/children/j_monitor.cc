// Drives the process-wide monitor through one scenario and prints what each
// call returned, one "name=value" line each, for the lifecycle tests (the
// Closed state is final for a process, so every scenario gets its own).
//
//   j_monitor sequence             lookup (starts it), start, lookup, stop, start, lookup, stop
//   j_monitor stopfirst            stop before any start
//   j_monitor failedstart <props>  start refused by the configuration, then
//                                  <props> emptied and the start retried
//   j_monitor concurrent <threads> <rounds> <tickMs>
//                                  starts, lookups and one stop from several threads
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "perfmonitor/monitor_handle.h"
#include "tests/common/test_env.h"

namespace {

void Print(const char* name, long long value) {
  printf("%s=%lld\n", name, value);
  fflush(stdout);
}

std::string ProviderNames() {
  HxCriticalSectionGuard guard(g_criticalRsrcMonitorSection);
  std::string names;
  if (g_pRsrcMonitorHandle == nullptr) return "<none>";
  for (iCHxPerfProvider* p : g_pRsrcMonitorHandle->providers) {
    std::string n;
    p->GetPerfProviderName(n);
    names += (names.empty() ? "" : "|") + n;
  }
  return names;
}

bool HandleIsNull() {
  HxCriticalSectionGuard guard(g_criticalRsrcMonitorSection);
  return g_pRsrcMonitorHandle == nullptr;
}

int Sequence() {
  GenericResourceAgent* a1 = GetGenericResourceAgent();  // Idle: the lookup starts it
  Print("agent_nonnull", a1 != nullptr);
  Print("handle_null", HandleIsNull());
  Print("start", StartSystemresourceMonitorLog(nullptr));  // already active: true, nothing built
  Print("agent_same", GetGenericResourceAgent() == a1);
  printf("providers=%s\n", ProviderNames().c_str());
  const auto t0 = std::chrono::steady_clock::now();
  StopSystemresourceMonitorLog();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  Print("stop_ms", ms);
  Print("handle_null_after_stop", HandleIsNull());
  Print("start_after_stop", StartSystemresourceMonitorLog(nullptr));
  Print("agent_after_stop_null", GetGenericResourceAgent() == nullptr);
  StopSystemresourceMonitorLog();  // Closed: nothing to do
  Print("handle_null_at_end", HandleIsNull());
  return 0;
}

int StopFirst() {
  StopSystemresourceMonitorLog();
  Print("flag", g_StopSystemresourceMonitorLogCalled.load());
  Print("start", StartSystemresourceMonitorLog(nullptr));
  Print("agent_null", GetGenericResourceAgent() == nullptr);
  Print("handle_null", HandleIsNull());
  return 0;
}

int FailedStart(const std::string& props) {
  Print("start1", StartSystemresourceMonitorLog(nullptr));
  Print("handle_null", HandleIsNull());
  Print("agent_null", GetGenericResourceAgent() == nullptr);
  hxtest::WriteFile(props, "");
  Print("start2", StartSystemresourceMonitorLog(nullptr));
  Print("handle_null_after_retry", HandleIsNull());
  StopSystemresourceMonitorLog();
  return 0;
}

// Several threads start and look up the monitor from the Idle state on; one of
// them stops it half way. Once the stop has returned, every start must fail
// and every lookup must be null; before it, every start must succeed and every
// lookup must give the one live interface.
int Concurrent(int threads, int rounds, unsigned long tickMs) {
  hxtest::FakeEnv env;  // provider commands fail at once; the clock is fixed
  std::atomic<bool> stopped{false};
  std::atomic<int> violations{0};
  std::atomic<int> started{0};
  std::atomic<int> closedSeen{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        if (t == 0 && r == rounds / 2) {
          StopSystemresourceMonitorLog();
          stopped = true;
          continue;
        }
        const bool stopDoneBefore = stopped.load();
        bool ok;
        if ((t + r) % 2 == 0) {
          ok = StartSystemresourceMonitorLogEx(nullptr, tickMs, &env);
        } else {
          ok = GetGenericResourceAgent() != nullptr;
        }
        // The flag is set under the monitor lock as the stop begins, so a
        // refusal before the stop has begun would leave it clear.
        const bool stopBegun = g_StopSystemresourceMonitorLogCalled.load();
        if (stopDoneBefore && ok) ++violations;  // Closed is final
        if (!stopBegun && !ok) ++violations;     // nothing refuses before the stop
        if (ok) ++started;
        if (!ok) ++closedSeen;
        std::this_thread::yield();
      }
    });
  }
  for (std::thread& th : pool) th.join();
  Print("violations", violations.load());
  Print("succeeded", started.load());
  Print("refused", closedSeen.load());
  Print("handle_null_at_end", HandleIsNull());
  Print("flag", g_StopSystemresourceMonitorLogCalled.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "sequence") return Sequence();
  if (scenario == "stopfirst") return StopFirst();
  if (scenario == "failedstart" && argc > 2) return FailedStart(argv[2]);
  if (scenario == "concurrent" && argc > 4) {
    return Concurrent(atoi(argv[2]), atoi(argv[3]), strtoul(argv[4], nullptr, 10));
  }
  fprintf(stderr, "usage: j_monitor sequence|stopfirst|failedstart <props>|"
                  "concurrent <threads> <rounds> <tickMs>\n");
  return 2;
}
