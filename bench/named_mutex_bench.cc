// Cost of the named mutex that guards every throttle-table operation, for both
// kinds side by side: "futex" (the shared word) and "fcntl" (file locks).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "benchmark/benchmark.h"
#include "platform/hx_platform_info.h"
#include "platform/named_mutex.h"

namespace {

// A private instance whose job-results directory (and so the lock file) is
// in a temp directory.
class TempRegistry {
 public:
  TempRegistry() {
    char tmpl[] = "/tmp/hxbench.XXXXXX";
    if (mkdtemp(tmpl)) root_ = tmpl;
    const std::string focus = "Bench" + std::to_string(getpid());
    setenv("HXREG", root_.c_str(), 1);
    setenv("HXFOCUS", focus.c_str(), 1);
    HXPI_Focus::setFocus(focus.c_str());
    const std::string section = root_ + "/Halvex/" + focus + "/Platform";
    int rc = std::system(("mkdir -p '" + section + "'").c_str());
    (void)rc;
    std::ofstream(section + "/.properties") << "JobResultsDirectory " << root_ << "/JobResults\n";
  }
  ~TempRegistry() {
    if (root_.empty()) return;
    int rc = std::system(("rm -rf '" + root_ + "'").c_str());
    (void)rc;
  }

 private:
  std::string root_;
};

// lock(-1, true) + unlock() with nobody else using the name.
void BM_LockUnlock(benchmark::State& state, CNamedMutex::Kind kind) {
  TempRegistry registry;
  CError error;
  CNamedMutex mutex("BenchMutex", error, true, kind);
  if (error.GetCode() != 0 || mutex.kind() != kind) {
    state.SkipWithError(error.GetCode() ? error.GetText() : "kind not available");
    return;
  }
  for (auto _ : state) {
    if (mutex.lock(-1, true) != 0 || mutex.unlock() != 0) {
      state.SkipWithError("lock failed");
      break;
    }
  }
}
BENCHMARK_CAPTURE(BM_LockUnlock, futex, CNamedMutex::kShared);
BENCHMARK_CAPTURE(BM_LockUnlock, fcntl, CNamedMutex::kFileLock);

// A nested lock/unlock while already held: in-process only, no system call.
void BM_ReentrantLockUnlock(benchmark::State& state, CNamedMutex::Kind kind) {
  TempRegistry registry;
  CError error;
  CNamedMutex mutex("BenchMutexNested", error, true, kind);
  if (mutex.lock(-1, true) != 0) {
    state.SkipWithError("lock failed");
    return;
  }
  for (auto _ : state) {
    mutex.lock(-1, true);
    mutex.unlock();
  }
  mutex.unlock();
}
BENCHMARK_CAPTURE(BM_ReentrantLockUnlock, futex, CNamedMutex::kShared);
BENCHMARK_CAPTURE(BM_ReentrantLockUnlock, fcntl, CNamedMutex::kFileLock);

// Time from SIGKILL of a process holding the lock to the moment a thread
// already waiting for it has it.
void BM_TakeOverAfterSigkill(benchmark::State& state, CNamedMutex::Kind kind) {
  TempRegistry registry;
  CError error;
  CNamedMutex mutex("BenchTakeOver", error, true, kind);
  if (error.GetCode() != 0) {
    state.SkipWithError(error.GetText());
    return;
  }
  double worstMs = 0;
  for (auto _ : state) {
    int ready[2];
    if (pipe(ready) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    pid_t holder = fork();
    if (holder == 0) {
      char c = 'l';
      if (mutex.lock(-1, true) != 0 || write(ready[1], &c, 1) != 1) _exit(2);
      for (;;) pause();
    }
    char c;
    bool started = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    close(ready[1]);
    if (!started) {
      state.SkipWithError("holder failed");
      break;
    }
    std::atomic<bool> waiting{false};
    std::chrono::steady_clock::time_point taken;
    std::thread waiter([&] {
      waiting = true;
      if (mutex.lock(-1, true) == 0) {
        taken = std::chrono::steady_clock::now();
        mutex.TakeOwnerDied();
        mutex.unlock();
      }
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // asleep in lock()
    const auto killed = std::chrono::steady_clock::now();
    kill(holder, SIGKILL);
    waiter.join();
    waitpid(holder, nullptr, 0);
    const double seconds = std::chrono::duration<double>(taken - killed).count();
    state.SetIterationTime(seconds);
    if (seconds * 1e3 > worstMs) worstMs = seconds * 1e3;
  }
  state.counters["worst_ms"] = worstMs;
}
BENCHMARK_CAPTURE(BM_TakeOverAfterSigkill, futex, CNamedMutex::kShared)
    ->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TakeOverAfterSigkill, fcntl, CNamedMutex::kFileLock)
    ->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
