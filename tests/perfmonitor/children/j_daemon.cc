// A daemon-like process for the end-to-end test: sets up the throttle tables
// as the daemon does, runs the resource monitor with a short tick, and stops
// it when told. Control goes through files in <dir>:
//   writes daemon.ready once the monitor runs,
//   waits for "stop", stops the monitor, writes daemon.stopped,
//   waits for "exit", releases the tables and exits.
// Prints "name=value" lines: hxd_init, start, stop_ms, hxd_uninit.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "perfmonitor/monitor_handle.h"
#include "tests/common/test_env.h"
#include "throttling/throttling_manager.h"

namespace {

bool WaitForFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void Print(const char* name, long long value) {
  printf("%s=%lld\n", name, value);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: j_daemon <control dir> <tick ms>\n");
    return 2;
  }
  const std::string dir = argv[1];
  const unsigned long tickMs = strtoul(argv[2], nullptr, 10);

  Print("hxd_init", InitializeThrottlingManagersForHXD(nullptr));
  EvDebug log;
  Print("start", StartSystemresourceMonitorLogEx(&log, tickMs, nullptr));
  hxtest::WriteFile(dir + "/daemon.ready", "");

  if (!WaitForFile(dir + "/stop")) return 3;
  const auto t0 = std::chrono::steady_clock::now();
  StopSystemresourceMonitorLog();
  Print("stop_ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - t0)
                       .count());
  hxtest::WriteFile(dir + "/daemon.stopped", "");

  if (!WaitForFile(dir + "/exit")) return 3;
  Print("hxd_uninit", UnInitializeThrottlingManagersForHXD());
  return 0;
}
