// Object name, column-layout version and column names of each agent type's
// perf log (the jobs agent types supply their own).
#pragma once

#include <string>
#include <vector>

#include "platform/hx_export.h"
#include "providers/resource_agent_type.h"

class HX_EXPORT CPerfHeaderInfo {
 public:
  // Clears columns, then, when type has an entry, sets objectName and version
  // and appends the columns in order and returns true. Otherwise returns
  // false with objectName and version untouched and columns empty.
  static bool GetPerfHeader(ResourceAgentType type, std::string& objectName,
                            std::string& version, std::vector<std::string>& columns);
};
