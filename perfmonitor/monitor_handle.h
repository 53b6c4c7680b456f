// The process-wide resource monitor of the daemon: one handle that owns the
// perf manager and its providers, built and started by
// StartSystemresourceMonitorLog and stopped for good by
// StopSystemresourceMonitorLog.
//
// Lifecycle of a process:
//   Idle    (no handle, no stop yet)  start builds and runs the monitor;
//                                     GetGenericResourceAgent starts it on demand
//   Active  (handle)                  start returns true and changes nothing;
//                                     stop stops the thread, frees everything
//   Closed  (after the first stop)    start returns false, lookup returns null,
//                                     stop does nothing. Final for the process.
// A failed start frees what it built and leaves the process Idle.
//
// Locks: every start, stop and lookup (except a stop or lookup from the
// monitor thread, which runs policy callbacks under the manager's lock)
// holds g_criticalRsrcMonitorSection
// (re-entrant: a lookup starts the monitor while holding it). It is taken
// before the perf manager's own lock, never after it. Stop holds it while the
// monitor thread winds down (the rest of the current provider update: every
// shell command a provider runs has a time limit), so a concurrent start or
// lookup waits and then finds the Closed state.
#pragma once

#include <atomic>
#include <vector>

#include "perfmonitor/generic_resource_agent.h"
#include "perfmonitor/hx_event.h"
#include "platform/ev_debug.h"
#include "platform/hx_env.h"
#include "platform/hx_export.h"
#include "providers/perf_provider.h"

// Configuration values read by the start (section "Hxd"): "CollectStreamStats"
// non-zero adds the jobs provider; "HX_PERF_LOG_DISABLE" non-zero disables the
// monitor (the start fails).

// Held by pointer only (perfmonitor/perf_manager.h defines it).
class CHxPerfManager;

// The monitor of the process: the manager and the providers whose
// registration succeeded, in registration order. Owns all of them.
struct HX_EXPORT _RsrcMonitorHandle {
  CHxPerfManager* pPerfManager = nullptr;
  std::vector<iCHxPerfProvider*> providers;
};

extern "C" {

// Creates, initialises and starts the monitor with the production tick of
// 60 s. log may be null (messages then go to the process's default log).
// True when a monitor runs (also when it already did); false when the start
// failed or the process is Closed.
HX_EXPORT bool StartSystemresourceMonitorLog(EvDebug* log);

// Stops the monitor for good: returns once its thread has ended, then frees
// the manager and the providers (which release their table attachments).
// Every later start fails. Called on the monitor thread itself (from a policy
// callback), it takes no lock and only requests the stop: a thread can
// neither wait for nor free what it runs in, so the next call from another
// thread (the daemon's own stop) joins that thread and frees the monitor.
HX_EXPORT void StopSystemresourceMonitorLog();

// The running manager's policy-control interface; starts the monitor first
// when none exists. Null when it cannot be started or a stop has begun. On
// the monitor thread (a policy callback) it takes no lock and answers that
// thread's manager. The pointer is valid until StopSystemresourceMonitorLog.
HX_EXPORT GenericResourceAgent* GetGenericResourceAgent();

}  // extern "C"

// StartSystemresourceMonitorLog with a tick of tickMs milliseconds (every
// interval of minutes counts ticks, so tickMs 1000 serves a 1-minute interval
// every second) and with env as the clock and command seam of the manager and
// the providers (null: HxEnv::Default()). For demonstrations and tests; the
// daemon uses StartSystemresourceMonitorLog. Same lifecycle and results.
HX_EXPORT bool StartSystemresourceMonitorLogEx(EvDebug* log, unsigned long tickMs, HxEnv* env);

// Registers provider with the handle's manager and keeps it in the handle.
// 0; -1 for a null handle, manager or provider, or a refused registration (the
// provider is then deleted). Writes only when log is given.
HX_EXPORT int InsertAndRegisterProvider(EvDebug* log, _RsrcMonitorHandle* handle,
                                        iCHxPerfProvider* provider);

// Creates and registers the providers the configuration asks for: the jobs
// provider when "CollectStreamStats" is set, then, unless
// "HX_PERF_LOG_DISABLE" is set, system, network, disk and process. Providers
// run their commands and read the clock through env.
HX_EXPORT void AddProvidersToHandle(EvDebug* log, _RsrcMonitorHandle* handle);
HX_EXPORT void AddProvidersToHandle(EvDebug* log, _RsrcMonitorHandle* handle, HxEnv* env);

// Deletes the manager, then the providers in order, then the handle. Null is
// ignored. REQUIRES: the manager's thread is stopped or was never started.
HX_EXPORT void DestructHandle(_RsrcMonitorHandle* handle);

// Guards the globals below and every start, stop and lookup.
extern HX_EXPORT HxCriticalSection g_criticalRsrcMonitorSection;
// Set by the first stop and never cleared: the daemon is going down.
extern HX_EXPORT std::atomic<bool> g_StopSystemresourceMonitorLogCalled;
// The live handle or null.
extern HX_EXPORT _RsrcMonitorHandle* g_pRsrcMonitorHandle GUARDED_BY(g_criticalRsrcMonitorSection);
