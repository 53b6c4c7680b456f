// Drives the process-wide monitor through one scenario and prints what the
// calls returned as "name=value" lines (Closed is final for a process, so
// every scenario gets one of its own).
//   j_monitor selfstop sm_stop|stoplog
//                                  the policy callback stops the monitor from its own thread
//   j_monitor daemon <dir> <tickMs>
//                                  the daemon's tables and monitor; stops on <dir>/stop,
//                                  exits on <dir>/exit
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "perfmonitor/monitor_handle.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"
#include "throttling/throttling_manager.h"

namespace {

void Print(const char* name, long long value) {
  printf("%s=%lld\n", name, value);
  fflush(stdout);
}

bool HandleIsNull() {
  HxCriticalSectionGuard guard(g_criticalRsrcMonitorSection);
  return g_pRsrcMonitorHandle == nullptr;
}

// The self-stop's policy callback: the first row stops the monitor from the
// monitor thread; later rows are counted.
bool g_viaDaemonStop = false;
std::atomic<int> g_rows{0};
std::atomic<bool> g_callbackReturned{false};

bool StoppingCallback(unsigned long, unsigned long, std::vector<std::string>&) {
  if (g_rows++ != 0) return true;
  if (g_viaDaemonStop) {
    StopSystemresourceMonitorLog();
  } else {
    GetGenericResourceAgent()->SM_Stop();  // the lookup too runs on the monitor thread
  }
  g_callbackReturned = true;
  return true;
}

int SelfStop(const std::string& how) {
  hxtest::FakeEnv env;
  g_viaDaemonStop = how == "stoplog";
  if (!StartSystemresourceMonitorLogEx(nullptr, 20, &env)) return 3;
  GenericResourceAgent* agent = GetGenericResourceAgent();
  CHxPerfManagerTestPeer peer(*static_cast<CHxPerfManager*>(agent));
  std::set<GenericResourcePolicyDetails> policies = {{"", RSRC_AGENT_SYSTEM, 1, 2, 1, 0}};
  agent->SM_Init(policies, &StoppingCallback);
  const bool returned = hxtest::WaitFor([] { return g_callbackReturned.load(); }, 20);
  Print("callback_returned", returned);
  if (!returned) _exit(0);  // the monitor thread waits for itself
  Print("thread_ended", hxtest::WaitFor([&] { return !peer.running(); }, 20));
  Print("rows_after_stop", g_rows.load() - 1);
  Print("handle_null", HandleIsNull());
  Print("agent_after", GetGenericResourceAgent() == agent);
  Print("start_after", StartSystemresourceMonitorLog(nullptr));
  StopSystemresourceMonitorLog();  // joins the ended thread and frees the monitor
  Print("handle_null_at_end", HandleIsNull());
  return 0;
}

int Daemon(const std::string& dir, unsigned long tickMs) {
  Print("hxd_init", InitializeThrottlingManagersForHXD(nullptr));
  EvDebug log;
  Print("start", StartSystemresourceMonitorLogEx(&log, tickMs, nullptr));
  hxtest::WriteFile(dir + "/daemon.ready", "");
  if (!hxtest::WaitFor([&] { return access((dir + "/stop").c_str(), F_OK) == 0; }, 600)) return 3;
  StopSystemresourceMonitorLog();
  hxtest::WriteFile(dir + "/daemon.stopped", "");
  if (!hxtest::WaitFor([&] { return access((dir + "/exit").c_str(), F_OK) == 0; }, 600)) return 3;
  Print("hxd_uninit", UnInitializeThrottlingManagersForHXD());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "selfstop" && argc > 2) return SelfStop(argv[2]);
  if (scenario == "daemon" && argc > 3) return Daemon(argv[2], strtoul(argv[3], nullptr, 10));
  fprintf(stderr, "usage: j_monitor selfstop sm_stop|stoplog|daemon <dir> <tickMs>\n");
  return 2;
}
