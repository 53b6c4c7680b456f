// hxctl monitor --once: run every perf provider of an instance once, append
// their rows to the CSV perf logs and print them.
#include <cstdio>
#include <string>
#include <vector>

#include "perfmonitor/monitor_handle.h"
#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"
#include "tools/commands.h"
#include "tools/instance.h"

namespace hxctl {
namespace {

// Passes every batch to the perf manager (which writes the CSV files) and
// prints it the way it lands in the file, without the date and time columns.
class PrintingCallback : public iCHxPerfUpdateCallback {
 public:
  explicit PrintingCallback(CHxPerfManager* manager) : manager_(manager) {}
  int OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                  _PerfLogItems& items) override {
    int r = manager_->OnUpdateLog(agentType, objectName, items);
    printf("[%s-%s] %u row(s)%s\n", objectName, items.version.c_str(),
           static_cast<unsigned>(items.rows.size()), r == 0 ? "" : " -- NOT WRITTEN to the perf log");
    printf("  %s\n", Join(items.columns).c_str());
    for (const auto& row : items.rows) printf("  %s\n", Join(row).c_str());
    ++batches_;
    rows_ += items.rows.size();
    if (r != 0) ++failed_;
    return r;
  }
  unsigned batches() const { return batches_; }
  size_t rows() const { return rows_; }
  unsigned failed() const { return failed_; }

 private:
  static std::string Join(const std::vector<std::string>& values) {
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) out += ",";
      out += values[i].find(',') == std::string::npos ? values[i] : "\"" + values[i] + "\"";
    }
    return out;
  }
  CHxPerfManager* manager_;
  unsigned batches_ = 0;
  size_t rows_ = 0;
  unsigned failed_ = 0;
};

}  // namespace

int RunMonitor(const ParsedArgs& args) {
  if (!args.Has("once")) {
    return Fail("monitor", kExitUsage,
                "--once is required (the continuous monitor runs inside the daemon)\n"
                "run 'hxctl monitor --help' for usage");
  }
  ApplyRegistry(args.Value("registry"));
  std::string focus = ApplyFocus(args.Value("focus"));
  std::string error;
  if (!InstanceExists(focus, &error)) return Fail("monitor", kExitNotFound, error);

  _RsrcMonitorHandle* handle = new _RsrcMonitorHandle;
  handle->pPerfManager = new CHxPerfManager();
  if (handle->pPerfManager->Initialize(nullptr) != 0) {
    DestructHandle(handle);
    return Fail("monitor", kExitFailure,
                "the resource monitor cannot start for instance '" + focus +
                    "' (disabled by \"Hxd\" HX_PERF_LOG_DISABLE, or no usable log directory; "
                    "details in " + EvDebug::LogFilePath() + ")");
  }
  AddProvidersToHandle(nullptr, handle);
  if (handle->providers.empty()) {
    DestructHandle(handle);
    return Fail("monitor", kExitFailure, "no perf provider is configured for instance '" + focus + "'");
  }

  PrintingCallback printer(handle->pPerfManager);
  for (iCHxPerfProvider* provider : handle->providers) {
    std::string name;
    provider->GetPerfProviderName(name);
    std::vector<ResourceAgentType> types;
    provider->GetSupprotedAgentTypes(types);
    if (provider->Initialize(nullptr, &printer) != 0) {
      printf("provider %s: cannot initialise (see %s)\n", name.c_str(), EvDebug::LogFilePath().c_str());
      continue;
    }
    for (ResourceAgentType type : types) {
      if (provider->GetUpdateIntervalMinutes(type) == 0) {
        printf("provider %s, agent type %d: disabled by configuration, skipped\n", name.c_str(),
               static_cast<int>(type));
        continue;
      }
      provider->UpdatePerfCounters(type);
    }
    provider->Uninitialize();
  }
  DestructHandle(handle);

  HXPI_EventManager events(0, 1);
  events.setFocus(focus.c_str());
  const char* logDir = events.getLogFilesDirectory();
  printf("%u batch(es), %u row(s); perf logs in %s/ResourceMonitor\n", printer.batches(),
         static_cast<unsigned>(printer.rows()), logDir ? logDir : "(unknown)");
  if (printer.failed() != 0) {
    return Fail("monitor", kExitFailure,
                std::to_string(printer.failed()) + " batch(es) could not be written to the perf logs");
  }
  return kExitOk;
}

}  // namespace hxctl
