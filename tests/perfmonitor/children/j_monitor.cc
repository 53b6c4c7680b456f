// Drives the process-wide monitor through one scenario and prints what the
// calls returned as "name=value" lines (Closed is final for a process, so
// every scenario gets one of its own).
//   j_monitor selfstop sm_stop|stoplog
//                                  the policy callback stops the monitor from its own thread
//   j_monitor race                 SM_Stop and the daemon's stop both waiting for a busy thread
//   j_monitor daemon <dir> <tickMs>
//                                  the daemon's tables and monitor; stops on <dir>/stop,
//                                  exits on <dir>/exit
#include <unistd.h>

#include <future>
#include <cstdlib>

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

// Provider commands block until the gate opens: the monitor thread is held
// inside its first update.
class GateEnv : public hxtest::FakeEnv {
 public:
  int RunCommand(const std::string& command, std::string* out, std::string* err) override {
    inside = true;
    open.wait();
    return FakeEnv::RunCommand(command, out, err);
  }
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::atomic<bool> inside{false};
};

// The daemon's stop sees the thread end first and frees the manager while
// SM_Stop, which waits beside it, is still inside.
int Race() {
  GateEnv env;
  if (!StartSystemresourceMonitorLogEx(nullptr, 1000, &env)) return 3;
  GenericResourceAgent* agent = GetGenericResourceAgent();
  CHxPerfManagerTestPeer peer(*static_cast<CHxPerfManager*>(agent));
  if (!hxtest::WaitFor([&] { return env.inside.load(); }, 30)) return 4;
  std::atomic<bool> daemonDone{false}, engineDone{false};
  std::thread daemon([&] { StopSystemresourceMonitorLog(), daemonDone = true; });
  if (!hxtest::WaitFor([&] { return peer.stopRequested(); }, 30)) return 5;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread engine([&] { agent->SM_Stop(), engineDone = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  env.gate.set_value();
  const bool finished = hxtest::WaitFor([&] { return daemonDone && engineDone; }, 30);
  Print("finished", finished);
  if (!finished) _exit(0);
  daemon.join();
  engine.join();
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
  if (scenario == "race") return Race();
  if (scenario == "daemon" && argc > 3) return Daemon(argv[2], strtoul(argv[3], nullptr, 10));
  fprintf(stderr, "usage: j_monitor selfstop sm_stop|stoplog|race|daemon <dir> <tickMs>\n");
  return 2;
}
