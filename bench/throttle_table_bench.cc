// Costs of attaching the throttle table and of slot reservation, the steps
// every job process and every stream registration pays for.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "bench/bench_instance.h"
#include "benchmark/benchmark.h"
#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

namespace {

class BenchManager : public CHxThrottlingManager {
 public:
  using CHxThrottlingManager::ReserveJobIndex;
  using CHxThrottlingManager::ReserveStreamIndex;
  using CHxThrottlingManager::UnreserveStreamIndex;
};

// First attach on the machine and last detach: key file, segment creation,
// identity permutations, removal.
void BM_CreateAndRemoveTable(benchmark::State& state) {
  hxbench::BenchInstance instance(1);
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
  hxbench::BenchInstance instance(1);
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
  hxbench::BenchInstance instance(1);
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
  hxbench::BenchInstance instance(1);
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
