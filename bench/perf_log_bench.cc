// Cost of appending reported rows to a perf log: one OnUpdateLog call (open,
// optional rotation, one write per row, metrics text, close), by batch size.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// A private configuration store and log directory for the run.
class BenchInstance {
 public:
  BenchInstance() {
    char tmpl[] = "/tmp/hxbench.XXXXXX";
    root_ = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    const std::string focus = "Bench" + std::to_string(getpid());
    const std::string platform = root_ + "/registry/Halvex/" + focus + "/Platform";
    for (const std::string& d : {root_ + "/registry", root_ + "/registry/Halvex",
                                 root_ + "/registry/Halvex/" + focus, platform}) {
      mkdir(d.c_str(), 0777);
    }
    std::ofstream(platform + "/.properties") << "LogFilesDirectory " << root_ << "/Log\n"
                                             << "PhysicalMachine benchhost\n"
                                             << "DebugLevel 0\n";
    setenv("HXREG", (root_ + "/registry").c_str(), 1);
    setenv("HXFOCUS", focus.c_str(), 1);
    HXPI_Focus::setFocus(focus.c_str());
  }
  ~BenchInstance() {
    if (root_ != "/tmp") nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

 private:
  std::string root_;
};

void BM_OnUpdateLog(benchmark::State& state) {
  BenchInstance instance;
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
