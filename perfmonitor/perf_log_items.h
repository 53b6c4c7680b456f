// Records shared by the perf manager, the perf providers and a policy engine.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "providers/resource_agent_type.h"

// What a provider reports in one OnUpdateLog call. Each row should hold one
// value per column, in column order; values are already formatted text.
// A row with more values than columns is still logged in full, but its
// surplus values have no column name.
struct _PerfLogItems {
  std::string version;                         // column-layout version (part of the log key)
  std::vector<std::string> columns;            // column names: the header of a new file
  std::vector<std::vector<std::string>> rows;  // values, one vector per row
};

// One policy record of a policy engine. The monitor copies and walks ordered
// sets of these; it never inserts into one.
struct GenericResourcePolicyDetails {
  std::string policyName;        // carried along, not read by the monitor
  ResourceAgentType agentType = RSRC_AGENT_NONE;
  unsigned long policyId1 = 0;   // handed to the PolicyDataCallback
  unsigned long policyId2 = 0;   // handed to the PolicyDataCallback
  uint32_t freqMinutes = 0;      // update interval of agentType; 0 disables it
  int32_t reserved = 0;          // carried along, not read by the monitor

  // Strict weak ordering over every field, so two records that differ in any
  // field are both kept by a set. Records of one agent type sit together,
  // ordered by their identifiers.
  bool operator<(const GenericResourcePolicyDetails& o) const {
    return std::tie(agentType, policyId1, policyId2, freqMinutes, policyName, reserved) <
           std::tie(o.agentType, o.policyId1, o.policyId2, o.freqMinutes, o.policyName,
                    o.reserved);
  }
};

// Receives every collected row while a policy engine is attached: values[0] is
// the policy timestamp written with "%d", then the row's values in column
// order. The result is not examined.
typedef bool (*PolicyDataCallback)(unsigned long policyId1, unsigned long policyId2,
                                   std::vector<std::string>& values);
