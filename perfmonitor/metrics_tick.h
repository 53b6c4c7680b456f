// CHxPerfMetricsTick: the monitor's metrics textfile, kept per tick. It stands
// between the providers and the manager's OnUpdateLog: every report is passed
// on unchanged and, while a directory is configured ("Hxd"
// PerfMetricsTextfileDirectory), its rows are kept. At the end of each tick
// that served a provider, the latest rows of every object (an object not
// updated in this tick keeps its earlier rows and their time) are written to
// <dir>/halvex_<instance>.prom, replacing the file atomically.
//
// Threads: the monitor thread only (providers report from UpdatePerfCounters
// on it, and EndTick runs at the end of its tick).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "perfmonitor/metrics_textfile.h"
#include "platform/ev_debug.h"
#include "platform/hx_env.h"
#include "platform/hx_export.h"
#include "providers/perf_provider.h"

struct _PerfAgentInfo;

class HX_EXPORT CHxPerfMetricsTick : public iCHxPerfUpdateCallback {
 public:
  // Reports are passed on to target (not owned); env gives the row times.
  CHxPerfMetricsTick(iCHxPerfUpdateCallback* target, HxEnv* env);
  ~CHxPerfMetricsTick() = default;

  // Reads the directory of instance from the configuration; empty or absent
  // turns the textfile off.
  void Configure(const std::string& instance, EvDebug* log);
  bool enabled() const { return !directory_.empty(); }
  const std::string& path() const { return path_; }

  // Passes the report on, keeps its rows when enabled; returns target's result.
  int OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                  _PerfLogItems& items) override;

  // After an entry was served: it is up when the reports since the previous
  // entry (its provider's, for its agent type) held rows.
  void EntryServed(const _PerfAgentInfo& entry);
  // After a tick: the objects reported replace their earlier rows and, when
  // anything was served or reported, the file is written. A failure is
  // logged once until a write succeeds again.
  void EndTick();

 private:
  struct UpKey {
    std::string provider;
    int agentType;
    bool operator<(const UpKey& o) const {
      return agentType != o.agentType ? agentType < o.agentType : provider < o.provider;
    }
  };

  iCHxPerfUpdateCallback* target_;
  HxEnv* env_;
  EvDebug* log_ = nullptr;
  std::string instance_, directory_, path_;
  std::map<std::string, hxmetrics::ObjectRows> latest_;   // by object name
  std::map<std::string, hxmetrics::ObjectRows> pending_;  // reported in this tick
  size_t rowsSinceEntry_ = 0;
  bool served_ = false;                                    // in this tick
  std::map<UpKey, bool> up_;
  bool lastWriteFailed_ = false;
};
