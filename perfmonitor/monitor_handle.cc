#include "perfmonitor/monitor_handle.h"

#include <new>
#include <string>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "providers/tarnell_jobs_provider.h"

HxCriticalSection g_criticalRsrcMonitorSection;
std::atomic<bool> g_StopSystemresourceMonitorLogCalled{false};
_RsrcMonitorHandle* g_pRsrcMonitorHandle = nullptr;

namespace {

constexpr unsigned long kProductionTickMs = 60000;

// Creates a T, or null when it cannot be had (allocation failure, or a
// platform-object wrapper that throws its out-of-memory text).
template <typename T, typename... Args>
T* Create(Args... args) {
  try {
    return new (std::nothrow) T(args...);
  } catch (...) {
    return nullptr;
  }
}

// Frees the half-built handle of a failed start and leaves the process Idle.
void AbandonStart() REQUIRES(g_criticalRsrcMonitorSection) {
  DestructHandle(g_pRsrcMonitorHandle);
  g_pRsrcMonitorHandle = nullptr;
}

bool StartLocked(EvDebug* log, unsigned long tickMs, HxEnv* env)
    REQUIRES(g_criticalRsrcMonitorSection) {
  EvDebug localLog(nullptr);
  EvDebug* out = log != nullptr ? log : &localLog;

  if (g_StopSystemresourceMonitorLogCalled.load()) {
    out->debugLvl(-1, -1,
                  "StopSystemresourceMonitorLog has run, hxd is going down, not starting "
                  "SystemresourceMonitorLog");
    return false;
  }
  if (g_pRsrcMonitorHandle != nullptr) {
    out->debugLvl(-1, -1, "[System Resource Monitor] a valid Handle is already active. ...");
    return true;
  }
  g_pRsrcMonitorHandle = Create<_RsrcMonitorHandle>();
  if (g_pRsrcMonitorHandle == nullptr) {
    out->debugLvl(-1, -1, "[System Resource Monitor] Create Handle failed. ...");
    return false;
  }
  g_pRsrcMonitorHandle->pPerfManager = Create<CHxPerfManager>(env, tickMs);
  if (g_pRsrcMonitorHandle->pPerfManager == nullptr) {
    out->debugLvl(-1, -1, "[System Resource Monitor] Create PerfManager-object failed. ...");
    AbandonStart();
    return false;
  }
  if (g_pRsrcMonitorHandle->pPerfManager->Initialize(log) != 0) {
    out->debugLvl(-1, -1, "[System Resource Monitor] PerfManager-Initialization failed. ...");
    AbandonStart();
    return false;
  }
  AddProvidersToHandle(log, g_pRsrcMonitorHandle, env);
  if (g_pRsrcMonitorHandle->providers.empty()) {
    out->debugLvl(-1, -1,
                  "[System Resource Monitor is not running] No Provider have been registered. ...");
    AbandonStart();
    return false;
  }
  if (g_pRsrcMonitorHandle->pPerfManager->Run() != 0) {
    out->debugLvl(-1, -1, "[System Resource Monitor can not be started] ");
    AbandonStart();
    return false;
  }
  return true;
}

}  // namespace

bool StartSystemresourceMonitorLogEx(EvDebug* log, unsigned long tickMs, HxEnv* env) {
  if (env == nullptr) env = HxEnv::Default();
  if (tickMs == 0) tickMs = 1;
  HxCriticalSectionGuard guard(g_criticalRsrcMonitorSection);
  return StartLocked(log, tickMs, env);
}

extern "C" bool StartSystemresourceMonitorLog(EvDebug* log) {
  return StartSystemresourceMonitorLogEx(log, kProductionTickMs, HxEnv::Default());
}

extern "C" void StopSystemresourceMonitorLog() {
  if (CHxPerfManager* own = CHxPerfManager::CurrentMonitor()) {
    // Called from the monitor thread (a policy callback, which runs with the
    // manager's lock held, so the monitor lock must not be taken here). The
    // thread can neither wait for its own end nor free the manager it runs
    // in: the stop is requested and the process is going down; the daemon's
    // own stop later joins the thread and frees the monitor.
    g_StopSystemresourceMonitorLogCalled.store(true);
    own->Stop();
    return;
  }
  HxCriticalSectionGuard guard(g_criticalRsrcMonitorSection);
  g_StopSystemresourceMonitorLogCalled.store(true);
  if (g_pRsrcMonitorHandle == nullptr) return;
  // Stop returns once the monitor thread has ended; only then may the
  // providers it calls be freed.
  if (g_pRsrcMonitorHandle->pPerfManager != nullptr) g_pRsrcMonitorHandle->pPerfManager->Stop();
  DestructHandle(g_pRsrcMonitorHandle);
  g_pRsrcMonitorHandle = nullptr;
}

extern "C" GenericResourceAgent* GetGenericResourceAgent() {
  if (CHxPerfManager* own = CHxPerfManager::CurrentMonitor()) {
    // On the monitor thread (a policy callback holding the manager's lock,
    // which ranks below the monitor lock) the monitor is the running one.
    return g_StopSystemresourceMonitorLogCalled.load() ? nullptr : own;
  }
  HxCriticalSectionGuard guard(g_criticalRsrcMonitorSection);
  if (g_StopSystemresourceMonitorLogCalled.load()) return nullptr;  // going down
  if (g_pRsrcMonitorHandle == nullptr && !StartLocked(nullptr, kProductionTickMs, HxEnv::Default())) {
    return nullptr;
  }
  if (g_pRsrcMonitorHandle == nullptr || g_pRsrcMonitorHandle->pPerfManager == nullptr) {
    return nullptr;
  }
  return g_pRsrcMonitorHandle->pPerfManager;
}

int InsertAndRegisterProvider(EvDebug* log, _RsrcMonitorHandle* handle,
                              iCHxPerfProvider* provider) {
  if (handle == nullptr) {
    if (log != nullptr) {
      log->debugLvl(-1, -1,
                    "[System Resource Monitor] Try to Registering Invalid Handle. Attempt has "
                    "been Failed...");
    }
    return -1;
  }
  if (handle->pPerfManager == nullptr) {
    if (log != nullptr) {
      log->debugLvl(-1, -1,
                    "[System Resource Monitor] Try to Registering Invalid HXPerfManager object. "
                    "Attempt has been Failed...");
    }
    return -1;
  }
  if (provider == nullptr) {
    if (log != nullptr) {
      log->debugLvl(-1, -1,
                    "[System Resource Monitor] Try to Registering Invalid Provider. Attempt has "
                    "been Failed...");
    }
    return -1;
  }
  std::string name;
  provider->GetPerfProviderName(name);
  if (handle->pPerfManager->RegisterPerfProvider(provider) != 0) {
    if (log != nullptr) {
      log->debugLvl(-1, -1, "[System Resource Monitor] Registering [%s]Provider has been Failed...",
                    name.c_str());
    }
    delete provider;
    return -1;
  }
  if (log != nullptr) {
    log->debugLvl(-1, -1, "[System Resource Monitor] Registering [%s]Provider has been Succeeded...",
                  name.c_str());
  }
  handle->providers.push_back(provider);
  return 0;
}

void AddProvidersToHandle(EvDebug* log, _RsrcMonitorHandle* handle) {
  AddProvidersToHandle(log, handle, HxEnv::Default());
}

void AddProvidersToHandle(EvDebug* log, _RsrcMonitorHandle* handle, HxEnv* env) {
  if (env == nullptr) env = HxEnv::Default();
  HxPlatformInfo info;
  info.setFocus(HXPI_Focus::getFocus());

  unsigned long collectStreamStats = 0;
  if (info.getNumber("Hxd", "CollectStreamStats", &collectStreamStats) != 0 &&
      collectStreamStats != 0) {
    InsertAndRegisterProvider(log, handle, Create<CHxPerfProviderTarnellJobs>(env));
  }

  unsigned long disabled = 0;
  if (info.getNumber("Hxd", "HX_PERF_LOG_DISABLE", &disabled) != 0 && disabled != 0) {
    if (log != nullptr) {
      log->debugLvl(-1, -1, "%s:System Resource Monitor is disabled for linux",
                    "AddProvidersToHandle");
    }
    return;
  }
  InsertAndRegisterProvider(log, handle, Create<CHxPerfProviderLinuxSystem>(env));
  InsertAndRegisterProvider(log, handle, Create<CHxPerfProviderLinuxTCP>(env));
  InsertAndRegisterProvider(log, handle, Create<CHxPerfProviderLinuxDisk>(env));
  InsertAndRegisterProvider(log, handle, Create<CHxPerfProviderLinuxProcess>(env));
}

void DestructHandle(_RsrcMonitorHandle* handle) {
  if (handle == nullptr) return;
  // The handle's manager is always created by the start as a CHxPerfManager
  // itself, never a derived type, so deleting through its own type is exact.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
  delete handle->pPerfManager;
#pragma GCC diagnostic pop
  handle->pPerfManager = nullptr;
  for (iCHxPerfProvider* provider : handle->providers) delete provider;
  handle->providers.clear();
  delete handle;
}
