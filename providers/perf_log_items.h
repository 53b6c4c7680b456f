// The rows a perf provider reports through iCHxPerfUpdateCallback; the perf
// manager logs them and hands them on to a policy engine.
#pragma once

#include <string>
#include <vector>

// What a provider reports in one OnUpdateLog call. Each row should hold one
// value per column, in column order; values are already formatted text.
// A row with more values than columns is still logged in full, but its
// surplus values have no column name.
struct _PerfLogItems {
  std::string version;                         // column-layout version (part of the log key)
  std::vector<std::string> columns;            // column names: the header of a new file
  std::vector<std::vector<std::string>> rows;  // values, one vector per row
};
