// Cost of the monitor's metrics textfile for one tick of 500 process rows
// (reported one row per report, as the process provider does): rendering
// alone, and rendering plus the atomic replacement (temporary file, fsync,
// rename). Goal: the whole write under 5 ms.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_instance.h"
#include "perfmonitor/metrics_textfile.h"

namespace {

std::vector<hxmetrics::ObjectRows> Tick(int64_t rows) {
  hxmetrics::ObjectRows process;
  process.object = "Process";
  process.timeSeconds = 1700000000;
  for (int64_t r = 0; r < rows; ++r) {
    _PerfLogItems items;
    items.version = "1.2";
    items.columns = {"CPU-Usage",   "Name",      "Process-Id", "ThreadCount", "HandleCCount",
                     "MemoryBytes", "NonPagedPoolMemoryKB", "PagedPoolMemoryKB", "WriteCount",
                     "WriteSize",   "ReadCount", "ReadSize",   "Arguments"};
    items.rows.push_back({"1.250000", "hxd", std::to_string(1000 + r), "12", "48", "104857600", "",
                          "", "10", "4096", "20", "8192", "/opt/hx/bin/hxd -f x,y"});
    process.batches.push_back(items);
  }
  hxmetrics::ObjectRows system;
  system.object = "System";
  system.timeSeconds = 1700000000;
  system.batches.resize(1);
  system.batches[0].columns = {"CPU-Usage", "PhysicalMemoryKB", "Processes", "Threads"};
  system.batches[0].rows = {{"12.5", "16384000", "321", "1234"}};
  return {process, system};
}

const std::vector<hxmetrics::ProviderUp> kUp = {{"Process", 3, true}, {"System", 7, true}};

void BM_RenderTextfile(benchmark::State& state) {
  const std::vector<hxmetrics::ObjectRows> tick = Tick(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(hxmetrics::RenderMonitorMetrics("Instance001", tick, kUp));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RenderTextfile)->Arg(500)->Unit(benchmark::kMillisecond);

void BM_WriteTextfile(benchmark::State& state) {
  hxbench::BenchInstance instance(0);
  const std::vector<hxmetrics::ObjectRows> tick = Tick(state.range(0));
  const std::string dir = instance.logDir();
  std::string error;
  for (auto _ : state) {
    const std::string text = hxmetrics::RenderMonitorMetrics("Instance001", tick, kUp);
    if (!hxmetrics::ReplaceFileAtomically(dir, "halvex_Instance001.prom", text, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteTextfile)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
