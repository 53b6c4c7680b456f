// The policy-control interface through which a policy engine drives the
// resource monitor. Slot order is binding. The engine never deletes the object
// through this interface.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "perfmonitor/perf_log_items.h"
#include "platform/hx_export.h"
#include "platform/ua_file.h"
#include "providers/resource_agent_type.h"

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
