// The policy-control interface through which a policy engine drives the
// resource monitor. Slot order is binding. The engine never deletes the object
// through this interface.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/hx_export.h"
#include "platform/ua_file.h"
#include "providers/resource_agent_type.h"

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

class HX_EXPORT GenericResourceAgent {
 public:
  // 1. Adopts the policies and the row callback and switches the intervals to
  //    the policies. Always succeeds.
  virtual CUaError SM_Init(std::set<GenericResourcePolicyDetails>& policies,
                           PolicyDataCallback callback) = 0;
  // 2. Replaces the policies (intervals follow them only after SM_Init).
  virtual void SM_SetPolicyDetails(std::set<GenericResourcePolicyDetails>& policies) = 0;
  // 3. Stops the monitor (returns once its thread has ended; called from the
  //    row callback, it requests the stop and returns) and drops the
  //    callback. Always succeeds.
  virtual CUaError SM_Stop() = 0;
  // 4. Forwards a property to every provider entry of type.
  virtual void SM_SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                               std::vector<std::string>& values) = 0;

 protected:
  ~GenericResourceAgent() = default;
};
