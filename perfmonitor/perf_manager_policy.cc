// The policy-control interface of the perf manager: a policy engine takes
// over the intervals, receives every collected row and stops the monitor.
#include "perfmonitor/perf_manager.h"

namespace {

const char kSMInit[] = "CHxPerfManager::SM_Init";
const char kSMSetPolicyDetails[] = "CHxPerfManager::SM_SetPolicyDetails";
const char kSMStop[] = "CHxPerfManager::SM_Stop";

}  // namespace

CUaError CHxPerfManager::SM_Init(std::set<GenericResourcePolicyDetails>& policies,
                                 PolicyDataCallback callback) {
  m_pLog->debugLvl(1, -1, "%s:Log-Monitoring  initialization...[%p]", kSMInit,
                   reinterpret_cast<void*>(callback));
  {
    HxCriticalSectionGuard guard(m_lock);
    m_policies = policies;
    m_pfnPolicyCallback = callback;
    m_bPolicyMode = true;
  }
  // Applies every record at once (nothing happens once a stop is requested).
  ConfigIntervalMinutes();
  return CUaError();
}

void CHxPerfManager::SM_SetPolicyDetails(std::set<GenericResourcePolicyDetails>& policies) {
  if (m_bStopRequested) return;
  m_pLog->debugLvl(1, -1, "%s: SM_SetPolicyDetails  called...", kSMSetPolicyDetails);
  {
    HxCriticalSectionGuard guard(m_lock);
    m_policies = policies;
  }
  // Before SM_Init the providers still decide the intervals.
  ConfigIntervalMinutes();
}

CUaError CHxPerfManager::SM_Stop() {
  m_pLog->debugLvl(1, -1, "%s: Log monitoring stop called...", kSMStop);
  Stop();  // returns once the monitor thread has ended: no row arrives after this
  HxCriticalSectionGuard guard(m_lock);
  m_pfnPolicyCallback = nullptr;
  return CUaError();
}

void CHxPerfManager::SM_SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                                     std::vector<std::string>& values) {
  if (m_bStopRequested) return;
  HxCriticalSectionGuard guard(m_lock);
  for (_PerfAgentInfo& a : m_agents) {
    if (a.agentType == type) a.pProvider->SetAgentProp(type, property, values);
  }
}
