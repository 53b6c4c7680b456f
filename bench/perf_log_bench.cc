// Cost of appending reported rows to a perf log: one OnUpdateLog call (the
// kept-open file checked by name and size, the rows' CSV lines in one write,
// one metrics line per row), by batch size. Items are rows.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "bench/bench_instance.h"
#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"

namespace {

void BM_OnUpdateLog(benchmark::State& state) {
  hxbench::BenchInstance instance(0);
  CHxPerfManager manager;
  if (manager.Initialize(nullptr) != 0) {
    state.SkipWithError("perf manager initialisation failed");
    return;
  }
  _PerfLogItems items;
  items.version = "1.2";
  items.columns = {"CPU-Usage",  "Name",        "Process-Id", "ThreadCount", "HandleCCount",
                   "MemoryBytes", "NonPagedPoolMemoryKB", "PagedPoolMemoryKB", "WriteCount",
                   "WriteSize",  "ReadCount",   "ReadSize",   "Arguments"};
  for (int64_t r = 0; r < state.range(0); ++r) {
    items.rows.push_back({"1.250000", "hxd", std::to_string(1000 + r), "12", "48", "104857600",
                          "0", "0", "10", "4096", "20", "8192", "/opt/hx/bin/hxd -f x,y"});
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(manager.OnUpdateLog(RSRC_AGENT_PROCESS, "Process", items));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OnUpdateLog)->Arg(1)->Arg(10)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
