// Cost of the named mutex that guards every throttle-table operation.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "benchmark/benchmark.h"
#include "platform/named_mutex.h"

namespace {

// A private registry root so that the lock file lands in a temp directory.
class TempRegistry {
 public:
  TempRegistry() {
    char tmpl[] = "/tmp/hxbench.XXXXXX";
    if (mkdtemp(tmpl)) root_ = tmpl;
    setenv("HXREG", root_.c_str(), 1);
  }
  ~TempRegistry() {
    if (root_.empty()) return;
    int rc = std::system(("rm -rf '" + root_ + "'").c_str());
    (void)rc;
  }

 private:
  std::string root_;
};

// lock(-1, true) + unlock() with nobody else using the name: one fcntl pair
// plus the in-process bookkeeping.
void BM_LockUnlockUncontended(benchmark::State& state) {
  TempRegistry registry;
  CError error;
  CNamedMutex mutex("BenchMutex", error, true);
  if (error.GetCode() != 0) {
    state.SkipWithError(error.GetText());
    return;
  }
  for (auto _ : state) {
    if (mutex.lock(-1, true) != 0 || mutex.unlock() != 0) {
      state.SkipWithError("lock failed");
      break;
    }
  }
}
BENCHMARK(BM_LockUnlockUncontended);

// A nested lock/unlock while already held: in-process only, no system call.
void BM_ReentrantLockUnlock(benchmark::State& state) {
  TempRegistry registry;
  CError error;
  CNamedMutex mutex("BenchMutexNested", error, true);
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
BENCHMARK(BM_ReentrantLockUnlock);

}  // namespace

BENCHMARK_MAIN();
