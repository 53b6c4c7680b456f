// Costs of attaching the throttle table and of slot reservation, the steps
// every job process and every stream registration pays for.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "benchmark/benchmark.h"
#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

namespace {

// A private instance: registry, job-results and log directories in a temp
// directory, so that key files, lock files and the log stay out of the way.
class TempInstance {
 public:
  TempInstance() {
    char tmpl[] = "/tmp/hxbench.XXXXXX";
    if (!mkdtemp(tmpl)) return;
    root_ = tmpl;
    focus_ = "Bench" + std::to_string(getpid());
    setenv("HXREG", (root_ + "/registry").c_str(), 1);
    HXPI_Focus::setFocus(focus_.c_str());
    const std::string dir = root_ + "/registry/Halvex/" + focus_ + "/Platform";
    int rc = std::system(("mkdir -p '" + dir + "' '" + root_ + "/jr' '" + root_ + "/log'").c_str());
    (void)rc;
    std::ofstream props(dir + "/.properties");
    props << "JobResultsDirectory " << root_ << "/jr\n"
          << "LogFilesDirectory " << root_ << "/log\n"
          << "PhysicalMachine benchhost\n"
          << "DebugLevel 1\n";
  }
  ~TempInstance() {
    if (root_.empty()) return;
    int rc = std::system(("rm -rf '" + root_ + "'").c_str());
    (void)rc;
  }
  const char* focus() const { return focus_.c_str(); }

 private:
  std::string root_, focus_;
};

class BenchManager : public CHxThrottlingManager {
 public:
  using CHxThrottlingManager::ReserveJobIndex;
  using CHxThrottlingManager::ReserveStreamIndex;
  using CHxThrottlingManager::UnreserveStreamIndex;
};

// First attach on the machine and last detach: key file, segment creation,
// identity permutations, removal.
void BM_CreateAndRemoveTable(benchmark::State& state) {
  TempInstance instance;
  for (auto _ : state) {
    CHxThrottlingManager m;
    if (m.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0) {
      state.SkipWithError("Initialize failed");
      break;
    }
    m.Uninitialize();
  }
}
BENCHMARK(BM_CreateAndRemoveTable)->Unit(benchmark::kMicrosecond);

// A job process attaching a table that already exists.
void BM_AttachAndDetach(benchmark::State& state) {
  TempInstance instance;
  CHxThrottlingManager holder;
  if (holder.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0) {
    state.SkipWithError("Initialize failed");
    return;
  }
  for (auto _ : state) {
    CHxThrottlingManager m;
    m.Initialize(instance.focus(), 0, kTMKindCloudOutbound);
    m.Uninitialize();
  }
  holder.Uninitialize();
}
BENCHMARK(BM_AttachAndDetach)->Unit(benchmark::kMicrosecond);

// The daemon's reset in place: every record of the 57 MB table rewritten.
void BM_ResetTableInPlace(benchmark::State& state) {
  TempInstance instance;
  CHxThrottlingManager m;
  if (m.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0 || !m.Lock()) {
    state.SkipWithError("Initialize failed");
    return;
  }
  for (auto _ : state) m.InitializeThrottleData();
  m.Unlock();
  m.Uninitialize();
}
BENCHMARK(BM_ResetTableInPlace)->Unit(benchmark::kMillisecond);

// One stream reserved and released in a job that keeps range(0) other
// streams (so the job slot itself stays), with the lock already held.
void BM_StreamReserveRelease(benchmark::State& state) {
  TempInstance instance;
  BenchManager m;
  if (m.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0 || !m.Lock()) {
    state.SkipWithError("Initialize failed");
    return;
  }
  char name[] = "benchhost";
  const int job = m.ReserveJobIndex(1, 0);
  for (int64_t i = 0; i < state.range(0); ++i) m.ReserveStreamIndex(job, 1, 1, 0, 0, 0, name);
  unsigned int uid = 1000;
  for (auto _ : state) {
    const int s = m.ReserveStreamIndex(job, ++uid, 1, 0, 0, 0, name);
    m.UnreserveStreamIndex(job, s, uid);
  }
  m.Unlock();
  m.Uninitialize();
}
BENCHMARK(BM_StreamReserveRelease)->Arg(1)->Arg(511);

}  // namespace

BENCHMARK_MAIN();
