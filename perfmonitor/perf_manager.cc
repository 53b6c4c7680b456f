#include "perfmonitor/perf_manager.h"

#include <algorithm>

#include "platform/hx_platform_info.h"
#include "platform/sync_point.h"
#include "platform/ua_sleep.h"

namespace {

const char kInitialize[] = "CHxPerfManager::Initialize";
const char kRegister[] = "CHxPerfManager::RegisterPerfProvider";
const char kRun[] = "CHxPerfManager::Run";
const char kStop[] = "CHxPerfManager::Stop";
const char kThread[] = "CHxPerfManager::PeriodicMonitorThread";
const char kConfig[] = "CHxPerfManager::ConfigIntervalMinutes";

const uint32_t kMaxConfigured = 1024;
const unsigned long kStopPollMs = 2000;
const int kPollsPerWarning = 60;  // one warning per 60 polls (2 minutes at 2 s)
const int kTicksPerConfigRefresh = 30;

// Interval of an entry, read by the monitor thread while other threads may
// store a new value (under m_lock).
uint32_t LoadInterval(const _PerfAgentInfo& a) {
  return __atomic_load_n(&a.intervalMinutes, __ATOMIC_RELAXED);
}
void StoreInterval(_PerfAgentInfo& a, uint32_t minutes) {
  __atomic_store_n(&a.intervalMinutes, minutes, __ATOMIC_RELAXED);
}

// The manager whose monitor thread the calling thread is, or null.
thread_local CHxPerfManager* t_monitorOf = nullptr;

}  // namespace

CHxPerfManager::CHxPerfManager(HxEnv* env, unsigned long tickMs)
    : m_maxLogSizeMB(10),
      m_maxLogCount(10),
      m_pLog(&m_ownLog),
      m_ownLog(nullptr),
      m_bInitialized(false),
      m_bRunning(false),
      m_bStopRequested(false),
      m_bPolicyMode(false),
      m_stopEvent(true),
      m_pfnPolicyCallback(nullptr),
      env_(env != nullptr ? env : HxEnv::Default()),
      tickMs_(tickMs),
      metrics_(this, env_),
      threadJoinable_(false) {}

CHxPerfManager::~CHxPerfManager() {
  // A thread left running would use the members destroyed below.
  bool joinable;
  {
    hx::MutexLock g(&joinMutex_);
    joinable = threadJoinable_;
  }
  if (joinable) Stop();
  // A GenericResourceAgent call running on another thread (SM_Stop, waiting
  // in Stop beside the owner's stop) still uses the members.
  hx::MutexLock calls(&callsMutex_);
  while (activeCalls_ != 0) callsDone_.Wait(&callsMutex_);
}

bool CHxPerfManager::OnMonitorThread() const { return t_monitorOf == this; }

CHxPerfManager* CHxPerfManager::CurrentMonitor() { return t_monitorOf; }

int CHxPerfManager::Initialize(EvDebug* log) {
  if (m_bStopRequested) return -1;
  HxCriticalSectionGuard guard(m_lock);
  m_pLog = log != nullptr ? log : &m_ownLog;

  HxPlatformInfo info;
  unsigned long value = 0;
  if (info.getNumber("Hxd", "HX_PERF_LOG_DISABLE", &value) != 0 && value != 0) {
    m_pLog->debugLvl(-1, -1, "%s:System Resource Monitor is disabled", kInitialize);
    return -1;
  }

  HXPI_EventManager events(0, 1);
  events.setFocus(HXPI_Focus::getFocus());
  const char* dir = events.getLogFilesDirectory();
  if (dir == nullptr) {
    m_pLog->debugLvl(-1, -1,
                     "%s: [ERROR] System Resource Monitor - getLogFilesDirectory failed [%s] ",
                     kInitialize, events.getLastErrorMsg());
    return -1;
  }
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += "/";
  path += "ResourceMonitor";

  if (!CUaPath::Exists(path.c_str())) {
    CUaError err = CUaDirectory::Create(path.c_str(), true);
    if (err.IsError()) {
      m_pLog->debugLvl(-1, -1,
                       "%s: [ERROR]System Resource Monitor - Unable to create Perf-Log folder [%s] ",
                       kInitialize, path.c_str());
      m_pLog->debugLvl(-1, -1, "%s: [ERROR][%s] ", kInitialize, err.AsString().c_str());
      return -1;
    }
  }

  uint32_t sizeMB = 10;
  value = 0;
  if (info.getNumber("Hxd", "HX_PERF_LOG_SIZEMB", &value) != 0) {
    m_pLog->debugLvl(1, -1, "%s: System Resource Monitor reg-key HX_PERF_LOG_SIZEMB found set (%u MB) )",
                     kInitialize, static_cast<unsigned>(value));
    if (value > kMaxConfigured) {
      value = kMaxConfigured;
      m_pLog->debugLvl(1, -1,
                       "%s: System Resource Monitor Adjusting Max Perf Log file size to (%u MB) )",
                       kInitialize, static_cast<unsigned>(value));
    } else if (value == 0) {
      value = 1;
      m_pLog->debugLvl(1, -1,
                       "%s: System Resource Monitor Adjusting Max Perf Log file size to (%u MB) )",
                       kInitialize, static_cast<unsigned>(value));
    }
    sizeMB = static_cast<uint32_t>(value);
  }

  uint32_t count = 10;
  value = 0;
  if (info.getNumber("Hxd", "HX_PERF_LOG_COUNT", &value) != 0) {
    m_pLog->debugLvl(1, -1, "%s: System Resource Monitor reg-key HX_PERF_LOG_COUNT found set (%u)",
                     kInitialize, static_cast<unsigned>(value));
    if (value > kMaxConfigured) {
      value = kMaxConfigured;
      m_pLog->debugLvl(1, -1, "%s: System Resource Monitor Adjusting Max Perf log file count to (%u)",
                       kInitialize, static_cast<unsigned>(value));
    } else if (value == 0) {
      value = 1;
      m_pLog->debugLvl(1, -1, "%s: System Resource Monitor Adjusting Max Per log file count to (%u)",
                       kInitialize, static_cast<unsigned>(value));
    }
    count = static_cast<uint32_t>(value);
  }

  m_logDirectory = path;
  m_maxLogSizeMB = sizeMB;
  m_maxLogCount = count;
  m_bInitialized = true;
  metrics_.Configure(HXPI_Focus::getFocus(), m_pLog);
  m_pLog->debugLvl(1, -1,
                   "%s: System Resource Monitor Initialization succeeded ( LogFilesDirectory [%s]  "
                   "[Max-log-File size -  %u MB] [Max-Log-File Count - %u]",
                   kInitialize, m_logDirectory.c_str(), static_cast<unsigned>(m_maxLogSizeMB),
                   static_cast<unsigned>(m_maxLogCount));
  return 0;
}

int CHxPerfManager::RegisterPerfProvider(iCHxPerfProvider* provider) {
  if (m_bStopRequested) return -1;
  HxCriticalSectionGuard guard(m_lock);
  if (!m_bInitialized) {
    m_pLog->debugLvl(1, -1, "%s: [ERROR]System Resource Monitor is Not Initialized", kRegister);
    return -1;
  }
  if (provider == nullptr) {
    m_pLog->debugLvl(1, -1, "%s: [ERROR] System Resource Monitor Invalid subscriber request...",
                     kRegister);
    return -1;
  }
  std::string name;
  provider->GetPerfProviderName(name);
  if (m_bRunning) {
    m_pLog->debugLvl(1, -1,
                     "%s: [ERROR] System Resource Monitor found running state. Provider [%s] "
                     "initialization can not be registered...",
                     kRegister, name.c_str());
    return -1;
  }
  std::vector<ResourceAgentType> types;
  provider->GetSupprotedAgentTypes(types);
  if (types.empty()) {
    m_pLog->debugLvl(1, -1,
                     "%s: [ERROR] System Resource Monitor registration request with 0 agent types. "
                     "Provider [%s] initialization can not be registered...",
                     kRegister, name.c_str());
    return -1;
  }
  for (ResourceAgentType type : types) {
    _PerfAgentInfo entry;
    entry.agentType = type;
    entry.pProvider = provider;
    entry.bInitDone = false;
    entry.bInitOk = false;
    entry.elapsedMinutes = 0;
    entry.intervalMinutes = provider->GetUpdateIntervalMinutes(type);
    m_agents.push_back(entry);
    if (entry.intervalMinutes == 0) {
      m_pLog->debugLvl(1, -1, "%s:System Resource Monitor provider [%s] has been disabled",
                       kRegister, name.c_str());
    } else {
      m_pLog->debugLvl(1, -1,
                       "%s:System Resource Monitor provider [%s] has been registered[Agent type - "
                       "%u] [time interval = %d minutes]...",
                       kRegister, name.c_str(), static_cast<unsigned>(type),
                       static_cast<int>(entry.intervalMinutes));
    }
  }
  return 0;
}

int CHxPerfManager::Run() {
  ConfigIntervalMinutes();
  if (m_bStopRequested) return -1;
  HxCriticalSectionGuard guard(m_lock);
  // Stop sets the flag before it takes m_lock: seen here under the lock, the
  // stop has either already run (and must win) or will find the thread.
  if (m_bStopRequested) return -1;
  if (m_agents.empty()) {
    m_pLog->debugLvl(1, -1, "%s: No providers have been registered. Exiting System Resource Monitor now....",
                     kRun);
    return 0;
  }
  if (m_bRunning) {
    m_pLog->debugLvl(1, -1, "%s: System Resource Monitor found running state....", kRun);
    return 0;
  }
  hx::MutexLock join(&joinMutex_);
  if (threadJoinable_) {
    // A thread that ended by itself cannot exist (it ends only on a stop
    // request), but never start a second one over an unjoined thread.
    return -1;
  }
  // m_bRunning is set before the thread starts so that the thread's final
  // clear can never be overtaken by this store.
  m_bRunning = true;
  if (m_thread.createThread(PeriodicMonitorThreadStatic, this) != 0) {
    m_bRunning = false;
    m_pLog->debugLvl(1, -1, "%s: Failed to create System Resource Monitor periodic tasks thread",
                     kRun);
    return -1;
  }
  threadJoinable_ = true;
  m_pLog->debugLvl(1, -1, "%s:System Resource Monitor has been started....", kRun);
  return 0;
}

int CHxPerfManager::Stop() {
  m_bStopRequested = true;
  HX_SYNC_POINT("CHxPerfManager::Stop:Requested");
  if (OnMonitorThread()) {
    // Waiting here would wait for this very thread. The request suffices:
    // the current tick serves no further entry and the loop ends after it.
    m_pLog->debugLvl(1, -1, "%s: Stopping System Resource Monitor....", kStop);
    m_stopEvent.set();
    return 0;
  }
  bool wasRunning;
  {
    HxCriticalSectionGuard guard(m_lock);
    wasRunning = m_bRunning;
    if (!wasRunning) {
      m_pLog->debugLvl(1, -1, "%s: System Resource Monitor found Stopped state....", kStop);
    } else {
      m_pLog->debugLvl(1, -1, "%s: Stopping System Resource Monitor....", kStop);
      m_stopEvent.set();
    }
  }
  // The wait runs without m_lock: the monitor thread may be about to take it
  // (it tested the stop flag just before it was set) and must be able to
  // finish its tick.
  const unsigned long pollMs = std::max<unsigned long>(1, std::min(kStopPollMs, tickMs_));
  int polls = 0;
  while (m_bRunning) {
    UASLEEP_InTeRnAl(pollMs, __FILE__, __LINE__);
    if (!m_bRunning) break;
    if (++polls % kPollsPerWarning == 0) {
      m_pLog->debugLvl(1, -1, "%s: System Resource Monitor Thread did not exit on it's own", kStop);
    }
  }
  HX_SYNC_POINT("CHxPerfManager::Stop:Join");
  {
    hx::MutexLock join(&joinMutex_);
    if (threadJoinable_) {
      m_thread.join();
      threadJoinable_ = false;
    }
  }
  if (wasRunning) m_pLog->debugLvl(1, -1, "%s:System Resource Monitor has been stopped....", kStop);
  return 0;
}

void CHxPerfManager::ConfigIntervalMinutes() {
  if (m_bStopRequested) return;
  HxCriticalSectionGuard guard(m_lock);
  if (m_bPolicyMode) {
    for (const GenericResourcePolicyDetails& p : m_policies) {
      m_pLog->debugLvl(10, -1, "%s: Set by Policy [Agent - %u] [Freq-Minutes - %u]", kConfig,
                       static_cast<unsigned>(p.agentType), static_cast<unsigned>(p.freqMinutes));
      SetItervalMinutes(p.agentType, p.freqMinutes);
    }
    return;
  }
  for (_PerfAgentInfo& a : m_agents) {
    const uint32_t minutes = a.pProvider->GetUpdateIntervalMinutes(a.agentType);
    const uint32_t old = LoadInterval(a);
    if (minutes == old) continue;
    std::string name;
    a.pProvider->GetPerfProviderName(name);
    if (minutes == 0) {
      m_pLog->debugLvl(-1, -1, "%s: System Resource Monitor %s is disabled ", kConfig, name.c_str());
    } else {
      m_pLog->debugLvl(-1, -1,
                       "%s: System Resource Monitor %s Interval Minutes has been changed from %d to %d ",
                       kConfig, name.c_str(), static_cast<int>(old), static_cast<int>(minutes));
    }
    m_pLog->debugLvl(10, -1, "%s: Set by Reg-key [Agent - %u] [Freq-Minutes - %u]", kConfig,
                     static_cast<unsigned>(a.agentType), static_cast<unsigned>(minutes));
    StoreInterval(a, minutes);
  }
}

void CHxPerfManager::SetItervalMinutes(ResourceAgentType type, unsigned int minutes) {
  for (_PerfAgentInfo& a : m_agents) {
    if (a.agentType == type) {
      StoreInterval(a, minutes);
      return;
    }
  }
}

int CHxPerfManager::UpdateTimerAndPerfLogs() {
  for (_PerfAgentInfo& a : m_agents) {
    if (m_bStopRequested) break;  // a stopper waits for this tick to end
    const uint32_t interval = LoadInterval(a);
    if (interval == 0) continue;
    ++a.elapsedMinutes;
    if (static_cast<int64_t>(a.elapsedMinutes) < static_cast<int64_t>(interval)) continue;
    if (!a.bInitDone) {
      if (a.pProvider->Initialize(m_pLog, &metrics_) == 0) {
        a.bInitOk = true;
      } else {
        a.bInitOk = false;
        std::string name;
        a.pProvider->GetPerfProviderName(name);
        m_pLog->debugLvl(1, -1,
                         "%s: [ERROR] System Resource Monitor provider [%s] initialization failied...",
                         "CHxPerfManager::UpdateTimerAndPerfLogs", name.c_str());
      }
      a.bInitDone = true;
    }
    if (a.bInitOk) a.pProvider->UpdatePerfCounters(a.agentType);
    metrics_.EntryServed(a);
    a.elapsedMinutes = 0;
  }
  metrics_.EndTick();
  return 0;
}

void* CHxPerfManager::PeriodicMonitorThreadStatic(void* manager) {
  if (manager != nullptr) static_cast<CHxPerfManager*>(manager)->PeriodicMonitorThread();
  return nullptr;
}

void CHxPerfManager::PeriodicMonitorThread() {
  t_monitorOf = this;
  m_pLog->debugLvl(1, -1, "%s: System Resource Monitor Thread Started....", kThread);
  int ticks = 0;
  while (!m_bStopRequested) {
    HX_SYNC_POINT("CHxPerfManager::PeriodicMonitorThread:Waiting");
    m_stopEvent.wait(tickMs_);
    if (m_bStopRequested) break;
    UpdateTimerAndPerfLogs();
    if (++ticks >= kTicksPerConfigRefresh) {
      ConfigIntervalMinutes();
      ticks = 0;
    }
  }
  for (_PerfAgentInfo& a : m_agents) {
    if (a.bInitOk) a.pProvider->Uninitialize();
  }
  m_pLog->debugLvl(1, -1, "%s: System Resource Monitor Thread has been Stopped....", kThread);
  t_monitorOf = nullptr;
  m_bRunning = false;
}
