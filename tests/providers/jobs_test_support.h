// Helpers for the jobs provider tests: a callback that records every report.
#pragma once

#include <string>
#include <vector>

#include "perfmonitor/perf_log_items.h"
#include "providers/perf_provider.h"

namespace jobstest {

class RecordingCallback : public iCHxPerfUpdateCallback {
 public:
  struct Call {
    ResourceAgentType type;
    std::string object;
    _PerfLogItems items;
  };
  std::vector<Call> calls;

  int OnUpdateLog(ResourceAgentType type, const char* objectName, _PerfLogItems& items) override {
    calls.push_back({type, objectName, items});
    return 0;
  }
};

// Value of column name in row of items ("<missing>" when there is no such column).
inline std::string Value(const _PerfLogItems& items, size_t row, const std::string& name) {
  for (size_t i = 0; i < items.columns.size(); ++i) {
    if (items.columns[i] == name && row < items.rows.size() && i < items.rows[row].size()) {
      return items.rows[row][i];
    }
  }
  return "<missing>";
}

}  // namespace jobstest
