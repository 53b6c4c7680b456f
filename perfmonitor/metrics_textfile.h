// The monitor's metrics textfile: the latest rows of every perf-log object
// as gauges, and the atomic replacement of the file that holds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hx_export.h"
#include "providers/perf_log_items.h"

namespace hxmetrics {

// The rows one object reported in its latest update (one batch per report).
struct ObjectRows {
  std::string object;
  uint32_t timeSeconds = 0;             // when the rows were reported
  std::vector<_PerfLogItems> batches;
};

// Whether a provider's agent type produced rows when it was last served.
struct ProviderUp {
  std::string provider;
  int agentType = 0;
  bool up = false;
};

// The exposition text for instance: per object, one gauge family per column
// holding numbers (labelled "instance" plus the row's identity labels), then
// "<prefix>_timestamp_seconds"; last "halvex_monitor_provider_up". Values
// that are not plain numbers are left out; of rows with the same identity the
// last one wins; values past a batch's columns have no name and are left out.
HX_EXPORT std::string RenderMonitorMetrics(const std::string& instance,
                                           const std::vector<ObjectRows>& objects,
                                           const std::vector<ProviderUp>& providers);

// "halvex_<instance>.prom", characters other than [A-Za-z0-9_.-] of the
// instance replaced by '_' (the name never leaves the directory).
HX_EXPORT std::string TextfileName(const std::string& instance);

// Replaces dir/name by content so that a reader sees the old or the new file
// whole, never a part: a new file of a unique hidden name in dir (O_EXCL,
// O_NOFOLLOW, mode 0644) is written, fsynced and renamed over name (after a
// crash either file may be found, each whole). On failure the temporary file
// is removed, the old file is untouched and false returns with *error set.
HX_EXPORT bool ReplaceFileAtomically(const std::string& dir, const std::string& name,
                                     const std::string& content, std::string* error);

}  // namespace hxmetrics
