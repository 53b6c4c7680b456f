// Costs on the throttling hot paths: the rate query (alone and from several
// processes at once), a registration's forced clean-up pass over a full table
// (each distinct process looked at once per pass, against /proc per stream),
// and the throughput recomputation over every job slot.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_instance.h"
#include "benchmark/benchmark.h"
#include "platform/hx_platform_info.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

class BenchManager : public CHxThrottlingManager {
 public:
  using CHxThrottlingManager::checkEachStreamProcess_;
  using CHxThrottlingManager::RecomputeThroughputs;
  using CHxThrottlingManager::ReserveJobIndex;
  using CHxThrottlingManager::ReserveStreamIndex;
  using CHxThrottlingManager::UnreserveStreamIndex;
  _TMThrottleTable* table() { return Table; }
};

_TMSRegParams Params(uint32_t job) {
  _TMSRegParams p;
  p.JobID = job;
  p.RCID = 1;
  strcpy(p.ComputerName, "benchhost");
  return p;
}

// Selects the table lock's kind for the managers made while it lives ("futex":
// the shared word, "fcntl": the file-lock kind) through the process-wide switch.
class LockKind {
 public:
  explicit LockKind(const char* kind) {
    if (std::strcmp(kind, "fcntl") == 0) setenv("HX_NAMED_MUTEX", "fcntl", 1);
  }
  ~LockKind() { unsetenv("HX_NAMED_MUTEX"); }
};

// One stream asking for its rate over and over: a named-mutex round trip plus
// the query's own work.
void BM_RateQuery(benchmark::State& state, const char* kind) {
  LockKind lockKind(kind);
  hxbench::BenchInstance instance(3);
  CHxThrottlingManager m;
  if (m.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0) {
    state.SkipWithError("Initialize failed");
    return;
  }
  m.SetComputerMaxThroghput(1000);
  _TMSRegParams p = Params(1);
  const unsigned long long h = m.RegisterStream(p);
  unsigned long long bytes = 0;
  unsigned int rate = 0;
  for (auto _ : state) {
    bytes += 65536;
    benchmark::DoNotOptimize(m.GetThroughputRate(h, bytes, rate));
  }
  m.UnregisterStream(h);
  m.Uninitialize();
}
BENCHMARK_CAPTURE(BM_RateQuery, futex, "futex");
BENCHMARK_CAPTURE(BM_RateQuery, fcntl, "fcntl");

// N processes, each with its own manager and stream, querying at once.
// Reports the aggregate queries per second over the querying phase only.
void BM_RateQueryProcesses(benchmark::State& state, const char* kind) {
  LockKind lockKind(kind);
  const int processes = static_cast<int>(state.range(0));
  const long queries = std::strcmp(kind, "fcntl") == 0 ? 100000 : 1000000;
  hxbench::BenchInstance instance(3);
  CHxThrottlingManager holder;  // keeps the table between rounds
  if (holder.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0) {
    state.SkipWithError("Initialize failed");
    return;
  }
  holder.SetComputerMaxThroghput(1000);
  double wall = 0;
  for (auto _ : state) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    std::vector<pid_t> pids;
    for (int i = 0; i < processes; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        CHxThrottlingManager m;
        int status = 1;
        if (m.Initialize(instance.focus(), 0, kTMKindCloudOutbound) == 0) {
          _TMSRegParams p = Params(static_cast<uint32_t>(10 + i));
          const unsigned long long h = m.RegisterStream(p);
          char c = 'r';
          if (write(ready[1], &c, 1) == 1 && read(go[0], &c, 1) == 1) {
            unsigned int rate = 0;
            status = 0;
            for (long q = 0; q < queries; ++q) {
              if (m.GetThroughputRate(h, static_cast<unsigned long long>(q), rate) != 0) status = 1;
            }
          }
          m.UnregisterStream(h);
          m.Uninitialize();
        }
        _exit(status);
      }
      pids.push_back(pid);
    }
    for (int i = 0; i < processes; ++i) {
      char c;
      if (read(ready[0], &c, 1) != 1) state.SkipWithError("a querying process failed to start");
    }
    const auto start = std::chrono::steady_clock::now();
    const std::string goBytes(static_cast<size_t>(processes), 'g');
    if (write(go[1], goBytes.data(), goBytes.size()) != static_cast<ssize_t>(goBytes.size())) {
      state.SkipWithError("go signal failed");
    }
    // The querying phase ends when the last process is done; unregistering and
    // detaching are counted too, but cost microseconds against the queries.
    bool ok = true;
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
    if (!ok) {
      state.SkipWithError("a querying process failed");
      break;
    }
    state.SetIterationTime(seconds);
    wall += seconds;
  }
  if (wall > 0) {
    const double total = static_cast<double>(processes) * static_cast<double>(queries) *
                         static_cast<double>(state.iterations());
    state.counters["queries_per_s"] = total / wall;
    // Wall time each process spent per query of its own.
    state.counters["ns_per_query_each"] =
        wall * 1e9 / (static_cast<double>(queries) * static_cast<double>(state.iterations()));
  }
  holder.Uninitialize();
}
BENCHMARK_CAPTURE(BM_RateQueryProcesses, futex, "futex")->Arg(1)->Arg(2)->Arg(4)
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RateQueryProcesses, fcntl, "fcntl")->Arg(1)->Arg(2)->Arg(4)
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// A registration and its unregistration on a table in which every other
// stream slot is in use (262,143 streams of one live parent process). The
// registration's forced clean-up pass walks them all. Arg 0: each distinct
// process looked at once per pass; arg 1: /proc read again for every stream.
void BM_RegisterUnregisterFullTable(benchmark::State& state) {
  hxbench::BenchInstance instance(3);
  BenchManager m;
  if (m.Initialize(instance.focus(), 0, kTMKindOutbound) != 0) {
    state.SkipWithError("Initialize failed");
    return;
  }
  m.Lock();
  _TMThrottleTable& t = *m.table();
  char name[] = "benchhost";
  for (unsigned int j = 0; j < kTMMaxJobs; ++j) {
    const int slot = m.ReserveJobIndex(static_cast<int>(1000 + j), 0);
    for (unsigned int s = 0; s < kTMMaxStreams; ++s) {
      const uint32_t id = ++t.UniqueID;
      m.ReserveStreamIndex(slot, id, 1000 + j, s, 0, 0, name);
    }
  }
  // Free the last stream slot of the last job: the registration takes it.
  const unsigned int lastJob = t.JobAT[kTMMaxJobs - 1];
  const unsigned int lastStream = t.Jobs[lastJob].StreamAT[kTMMaxStreams - 1];
  m.UnreserveStreamIndex(static_cast<int>(lastJob), static_cast<int>(lastStream),
                         t.Jobs[lastJob].Streams[lastStream].UniqueID);
  m.Unlock();
  m.checkEachStreamProcess_ = state.range(0) != 0;

  bool ok = true;
  for (auto _ : state) {
    _TMSRegParams p = Params(1000 + kTMMaxJobs - 1);
    const unsigned long long h = m.RegisterStream(p);
    ok = ok && h != kTMInvalidHandle;
    m.UnregisterStream(h);
  }
  if (!ok) state.SkipWithError("registration failed");
  state.counters["streams_walked"] = static_cast<double>(kTMMaxJobs * kTMMaxStreams - 1);
  m.Uninitialize();
}
BENCHMARK(BM_RegisterUnregisterFullTable)
    ->ArgName("per_stream_proc")
    ->Arg(0)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegisterUnregisterFullTable)
    ->ArgName("per_stream_proc")
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// RecomputeThroughputs over all 512 job slots. Arg 0: machine limit with job
// limits that fit (limits honoured, rest shared); arg 1: no machine limit.
void BM_RecomputeThroughputs512Jobs(benchmark::State& state) {
  hxbench::BenchInstance instance(3);
  BenchManager m;
  if (m.Initialize(instance.focus(), 0, kTMKindCloudOutbound) != 0) {
    state.SkipWithError("Initialize failed");
    return;
  }
  m.Lock();
  _TMThrottleTable& t = *m.table();
  for (unsigned int j = 0; j < kTMMaxJobs; ++j) {
    const int slot = m.ReserveJobIndex(static_cast<int>(j + 1), j % 3 == 0 ? 10 : 0);
    t.Jobs[slot].ActiveThrottStreamCount = 1 + j % 7;
  }
  t.ComputerThrottleMBPH = state.range(0) == 0 ? 100000 : 0;
  for (auto _ : state) benchmark::DoNotOptimize(m.RecomputeThroughputs());
  m.Unlock();
  m.Uninitialize();
}
BENCHMARK(BM_RecomputeThroughputs512Jobs)->ArgName("no_machine_limit")->Arg(0)->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// The debug-level lookup that the unforced dump at the end of every
// recomputation makes (a platform call), for comparison with the above.
void BM_DebugLevelLookup(benchmark::State& state) {
  hxbench::BenchInstance instance(3);
  EvDebug log;
  for (auto _ : state) benchmark::DoNotOptimize(log.GetDebugLevel());
}
BENCHMARK(BM_DebugLevelLookup);

}  // namespace

BENCHMARK_MAIN();
