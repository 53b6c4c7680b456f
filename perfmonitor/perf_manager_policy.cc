// The policy-control interface of the perf manager: a policy engine takes
// over the intervals, receives every collected row and stops the monitor.
#include "perfmonitor/perf_manager.h"
#include "platform/sync_point.h"

namespace {

const char kSMInit[] = "CHxPerfManager::SM_Init";
const char kSMSetPolicyDetails[] = "CHxPerfManager::SM_SetPolicyDetails";
const char kSMStop[] = "CHxPerfManager::SM_Stop";

}  // namespace

// Counts one GenericResourceAgent call for its duration, so that the
// manager's destruction waits for it. The count is dropped, and the waiter
// woken, under the mutex: the waiter cannot free the manager in between.
class CHxPerfManager::InterfaceCall {
 public:
  explicit InterfaceCall(CHxPerfManager& m) : m_(m) {
    {
      hx::MutexLock g(&m_.callsMutex_);
      ++m_.activeCalls_;
    }
    HX_SYNC_POINT("CHxPerfManager::InterfaceCall:Counted");
  }
  ~InterfaceCall() {
    hx::MutexLock g(&m_.callsMutex_);
    if (--m_.activeCalls_ == 0) m_.callsDone_.SignalAll();
  }
  InterfaceCall(const InterfaceCall&) = delete;
  InterfaceCall& operator=(const InterfaceCall&) = delete;

 private:
  CHxPerfManager& m_;
};

CUaError CHxPerfManager::SM_Init(std::set<GenericResourcePolicyDetails>& policies,
                                 PolicyDataCallback callback) {
  InterfaceCall call(*this);
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
  InterfaceCall call(*this);
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
  InterfaceCall call(*this);
  m_pLog->debugLvl(1, -1, "%s: Log monitoring stop called...", kSMStop);
  // Returns once the monitor thread has ended, so no row arrives after this;
  // on the monitor thread itself (the engine's callback) it only requests the
  // stop, and the row being handed over is the last one.
  Stop();
  HxCriticalSectionGuard guard(m_lock);
  m_pfnPolicyCallback = nullptr;
  return CUaError();
}

void CHxPerfManager::SM_SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                                     std::vector<std::string>& values) {
  InterfaceCall call(*this);
  if (m_bStopRequested) return;
  HxCriticalSectionGuard guard(m_lock);
  for (_PerfAgentInfo& a : m_agents) {
    if (a.agentType == type) a.pProvider->SetAgentProp(type, property, values);
  }
}
