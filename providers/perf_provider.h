// The perf provider interface and the callback through which providers report.
// The slot order of both interfaces is binding: do not reorder, insert or
// remove virtual operations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev_debug.h"
#include "platform/hx_export.h"
#include "providers/perf_log_items.h"
#include "providers/resource_agent_type.h"

// Configuration value (section "Hxd") holding the update interval, in minutes,
// of the operating-system providers; absent means 15, 0 disables them.
#define UPDATE_INTERVAL_REGKEY "SysRsrcMonMinutes"

// Implemented by the perf manager. Providers call OnUpdateLog synchronously
// from UpdatePerfCounters, on the monitor thread; the result is informative
// only (0 = written, 1 = dropped). Not deleted through this interface.
class HX_EXPORT iCHxPerfUpdateCallback {
 public:
  virtual int OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                          _PerfLogItems& items) = 0;

 protected:
  ~iCHxPerfUpdateCallback() = default;
};

// A source of counters for one or more agent types. The manager calls
// Initialize (once per agent type, lazily), UpdatePerfCounters and
// Uninitialize on its monitor thread only; SetAgentProp comes from a policy
// caller's thread, so a provider that honours it must guard its own state.
class HX_EXPORT iCHxPerfProvider {
 public:
  // 1. Owners delete providers through this interface.
  virtual ~iCHxPerfProvider() {}
  // 2. Sets name to the provider's display name.
  virtual void GetPerfProviderName(std::string& name) = 0;
  // 3. Clears types, then appends every agent type served.
  virtual void GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) = 0;
  // 4. 0 on success (also when already initialised), -1 on failure (null callback).
  virtual int32_t Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) = 0;
  // 5. Always 0.
  virtual int32_t Uninitialize() = 0;
  // 6. Minutes between updates of type; 0 = type not collected.
  virtual uint32_t GetUpdateIntervalMinutes(ResourceAgentType type) = 0;
  // 7. Gathers one set of counters for type and reports them through the
  //    callback before returning; does nothing for a type not served.
  virtual void UpdatePerfCounters(ResourceAgentType type) = 0;
  // 8. Hands a policy property to the provider; ignored by most providers.
  virtual void SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                            std::vector<std::string>& values) = 0;
};
