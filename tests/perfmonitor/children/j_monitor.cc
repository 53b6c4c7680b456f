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
//   j_monitor selfstop sm_stop|stoplog
//                                  the policy callback stops the monitor from
//                                  the monitor thread, through the interface or
//                                  the daemon's stop
//   j_monitor race                 SM_Stop and StopSystemresourceMonitorLog both
//                                  waiting for a busy monitor thread
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <condition_variable>
#include <mutex>
#include <unistd.h>

#include "perfmonitor/monitor_handle.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

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

using Clock = std::chrono::steady_clock;

// Waits at most seconds for pred; false when it never held.
template <typename Pred>
bool WaitFor(Pred pred, int seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The policy callback of the self-stop scenario: on the first row it stops
// the monitor from the monitor thread; later rows are counted.
GenericResourceAgent* g_agent = nullptr;
bool g_viaDaemonStop = false;
std::atomic<int> g_rows{0};
std::atomic<bool> g_callbackReturned{false};
Clock::time_point g_stopCalledAt;

bool StoppingCallback(unsigned long, unsigned long, std::vector<std::string>&) {
  if (g_rows++ != 0) return true;
  g_stopCalledAt = Clock::now();
  if (g_viaDaemonStop) {
    StopSystemresourceMonitorLog();
  } else {
    GetGenericResourceAgent()->SM_Stop();  // the lookup too runs on the monitor thread
  }
  g_callbackReturned = true;
  return true;
}

// A stop from inside the policy callback must return at once and the monitor
// thread must end right after the update it is in.
int SelfStop(const std::string& how) {
  hxtest::FakeEnv env;  // provider commands fail at once
  g_viaDaemonStop = how == "stoplog";
  if (!StartSystemresourceMonitorLogEx(nullptr, 20, &env)) return 3;
  g_agent = GetGenericResourceAgent();
  CHxPerfManager* manager = static_cast<CHxPerfManager*>(g_agent);
  CHxPerfManagerTestPeer peer(*manager);
  std::set<GenericResourcePolicyDetails> policies = {hxtest::Policy(RSRC_AGENT_SYSTEM, 1, 1, 2)};
  g_agent->SM_Init(policies, &StoppingCallback);
  // Bounded: a stop that waits for its own thread never returns.
  const bool returned = WaitFor([] { return g_callbackReturned.load(); }, 20);
  Print("callback_returned", returned);
  if (!returned) _exit(0);  // the monitor thread hangs; nothing more to learn
  const bool ended = WaitFor([&] { return !peer.running(); }, 20);
  Print("thread_ended", ended);
  Print("stop_to_end_us", std::chrono::duration_cast<std::chrono::microseconds>(
                              Clock::now() - g_stopCalledAt).count());
  Print("rows_after_stop", g_rows.load() - 1);
  Print("handle_null", HandleIsNull());
  Print("agent_after", GetGenericResourceAgent() == g_agent);
  Print("start_after", StartSystemresourceMonitorLog(nullptr));
  StopSystemresourceMonitorLog();  // joins the ended thread and frees the monitor
  Print("handle_null_at_end", HandleIsNull());
  return 0;
}

// Provider commands block until the test opens the gate: the monitor thread
// is held inside its first update.
class GateEnv : public hxtest::FakeEnv {
 public:
  int RunCommand(const std::string& command, std::string* out, std::string* err) override {
    {
      std::unique_lock<std::mutex> g(mu);
      inside = true;
      cv.wait(g, [this] { return open; });
    }
    return FakeEnv::RunCommand(command, out, err);
  }
  void Open() {
    std::lock_guard<std::mutex> g(mu);
    open = true;
    cv.notify_all();
  }
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  std::atomic<bool> inside{false};
};

// The daemon's stop and the engine's SM_Stop both wait for the busy monitor
// thread; the daemon's stop sees it end first (it polls earlier) and frees
// the manager while SM_Stop is still inside it.
int Race() {
  GateEnv env;
  if (!StartSystemresourceMonitorLogEx(nullptr, 1000, &env)) return 3;
  GenericResourceAgent* agent = GetGenericResourceAgent();
  CHxPerfManager* manager = static_cast<CHxPerfManager*>(agent);
  CHxPerfManagerTestPeer peer(*manager);
  if (!WaitFor([&] { return env.inside.load(); }, 30)) return 4;
  std::atomic<bool> daemonDone{false}, engineDone{false};
  std::thread daemon([&] {
    StopSystemresourceMonitorLog();
    daemonDone = true;
  });
  if (!WaitFor([&] { return peer.stopRequested(); }, 30)) return 5;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread engine([&] {
    agent->SM_Stop();
    engineDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  env.Open();
  const bool finished = WaitFor([&] { return daemonDone && engineDone; }, 30);
  Print("finished", finished);
  if (!finished) _exit(0);
  daemon.join();
  engine.join();
  Print("handle_null_at_end", HandleIsNull());
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
  if (scenario == "selfstop" && argc > 2) return SelfStop(argv[2]);
  if (scenario == "race") return Race();
  fprintf(stderr, "usage: j_monitor sequence|stopfirst|failedstart <props>|"
                  "concurrent <threads> <rounds> <tickMs>|selfstop sm_stop|stoplog|race\n");
  return 2;
}
