// CHxPerfManager: the resource monitor. Owns a list of agent entries (one per
// provider and agent type), a monitor thread that ticks once per tick length
// (60 s in production) and serves each entry at its interval, and the CSV
// perf-log files the providers' rows are appended to. It is also the
// providers' update callback and a policy engine's GenericResourceAgent.
//
// Threads: callers use Initialize, RegisterPerfProvider, Run, Stop and the
// policy operations; the monitor thread runs UpdateTimerAndPerfLogs, the
// providers, OnUpdateLog and the file work. m_lock guards the entry list, the
// policy set and the callback. No thread outlives the manager: Stop (also
// called by the destructor when needed) joins the monitor thread, and the
// destructor waits for GenericResourceAgent calls still running on other
// threads (a policy engine's SM_Stop racing the monitor's release).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "perfmonitor/generic_resource_agent.h"
#include "perfmonitor/hx_event.h"
#include "perfmonitor/metrics_tick.h"
#include "platform/ev_debug.h"
#include "platform/hx_env.h"
#include "platform/hx_mutex.h"
#include "platform/hx_export.h"
#include "platform/hx_thread.h"
#include "platform/ua_file.h"
#include "providers/perf_log_items.h"
#include "providers/perf_provider.h"

// One entry per provider and agent type; entries are never removed.
// intervalMinutes may be changed by other threads (configuration refresh,
// policies) while the monitor thread runs: it is only written through
// SetItervalMinutes / ConfigIntervalMinutes and read with atomic loads.
struct _PerfAgentInfo {
  ResourceAgentType agentType;
  iCHxPerfProvider* pProvider = nullptr;  // not owned
  bool bInitDone = false;                 // provider Initialize called for this entry
  bool bInitOk = false;                   // ... and succeeded: served and uninitialised
  uint32_t intervalMinutes = 15;          // 0 = disabled
  int32_t elapsedMinutes = 0;             // ticks since last served
};

class CHxPerfManagerTestPeer;
struct PerfLogOpenFiles;

class HX_EXPORT CHxPerfManager : public iCHxPerfUpdateCallback, public GenericResourceAgent {
 public:
  // env: clock and command seam. tickMs: length of one monitor tick (every
  // interval is counted in ticks); the Stop poll is min(2000 ms, tickMs).
  explicit CHxPerfManager(HxEnv* env = HxEnv::Default(), unsigned long tickMs = 60000);
  // Stops and joins the monitor thread if it still runs, then waits until no
  // GenericResourceAgent call is running. REQUIRES: not called on the
  // monitor thread.
  ~CHxPerfManager();
  CHxPerfManager(const CHxPerfManager&) = delete;
  CHxPerfManager& operator=(const CHxPerfManager&) = delete;

  // Reads the configuration and prepares the perf-log directory. 0 / -1.
  int Initialize(EvDebug* log);
  // Adds one entry per agent type of provider (not owned). Refused (-1) before
  // Initialize, while running and after a stop request.
  int RegisterPerfProvider(iCHxPerfProvider* provider);
  // Starts the monitor thread. 0 also when there is nothing to run or it
  // already runs; -1 after a stop request or when the thread cannot start.
  int Run();
  // Requests the stop and returns once the monitor thread has ended (joined).
  // Called on the monitor thread itself (a policy callback, a provider), it
  // only requests the stop and returns: the thread ends when the current
  // update returns, and a later Stop from another thread joins it.
  // Always 0. REQUIRES: the caller does not hold m_lock (except on the
  // monitor thread, where the lock is re-entrant).
  int Stop();
  // True when the caller runs on this manager's monitor thread.
  bool OnMonitorThread() const;
  // The manager whose monitor thread the caller runs on, or null.
  static CHxPerfManager* CurrentMonitor();
  // Refreshes every entry's interval (from the policies in policy mode, else
  // from the providers). Takes m_lock; does nothing once a stop is requested.
  void ConfigIntervalMinutes();
  // Sets the interval of the first entry of type. REQUIRES: m_lock held (or
  // the monitor thread not running).
  void SetItervalMinutes(ResourceAgentType type, unsigned int minutes);
  // One tick: serves every due entry. Monitor thread only (or a test driving
  // ticks while no thread runs). Always 0.
  int UpdateTimerAndPerfLogs();
  static void* PeriodicMonitorThreadStatic(void* manager);
  void PeriodicMonitorThread();

  // iCHxPerfUpdateCallback: appends the rows to the log of objectName and
  // items.version, passes them to the metrics sink and the policy callback.
  // 0 = written, 1 = not initialised or the file could not be opened.
  int OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                  _PerfLogItems& items) override;

  // GenericResourceAgent (policy control).
  CUaError SM_Init(std::set<GenericResourcePolicyDetails>& policies,
                   PolicyDataCallback callback) override;
  void SM_SetPolicyDetails(std::set<GenericResourcePolicyDetails>& policies) override;
  CUaError SM_Stop() override;
  void SM_SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                       std::vector<std::string>& values) override;

  // Perf-log files (monitor thread only).
  // Sets path to the file of generation index of key (0 = current file),
  // adopting a file of the legacy name (machine name instead of identifier).
  void GetLogFileName(int index, const char* key, std::string& path);
  // Opens the current file of key for appending, rotating it when it exceeds
  // m_maxLogSizeMB, creating it with its header line when new. Existing rows
  // are never overwritten. True when file is open.
  bool OpenLogfile(CUaFile& file, const char* key, std::vector<std::string>& columns);
  // Renames generation i-1 to i for i = upTo .. 1. Always true.
  bool MoveUpAllLogFiles(int upTo, const char* key);
  // Deletes files of the log directory last modified more than three days
  // before now (files dated in the future are kept).
  void CheckAndCleanLogFiles();
  // First policy record of type, in set order.
  bool GetPolicyID(ResourceAgentType type, unsigned long& policyId1, unsigned long& policyId2)
      REQUIRES(m_lock);

 private:
  friend class CHxPerfManagerTestPeer;

  // Machine identifier of the log file names: CRC-64 of the physical machine
  // name, in decimal.
  std::string MachineIdentifier(std::string* machineName);
  // The current file of key, open for appending: the one kept from an earlier
  // batch while it still has the current name, is still the file at that
  // name and is within the size limit; else opened (rotated, created) by
  // OpenLogfile. Null when OpenLogfile fails. Monitor thread only.
  CUaFile* CurrentLogFile(const std::string& key, std::vector<std::string>& columns);

  // The m_ names are those the platform's documentation gives this class
  // (m_bRunning, m_lock, m_agents, ...): keep them letter for letter. Members
  // this project added take the trailing underscore.
  uint32_t m_maxLogSizeMB;
  uint32_t m_maxLogCount;
  EvDebug* m_pLog;
  EvDebug m_ownLog;
  std::string m_logDirectory;
  bool m_bInitialized;
  std::atomic<bool> m_bRunning;
  std::atomic<bool> m_bStopRequested;
  std::atomic<bool> m_bPolicyMode;
  HxThread m_thread;
  HxEvent m_stopEvent;
  std::vector<_PerfAgentInfo> m_agents;
  std::atomic<PolicyDataCallback> m_pfnPolicyCallback;
  HxCriticalSection m_lock;
  std::set<GenericResourcePolicyDetails> m_policies GUARDED_BY(m_lock);

  HxEnv* env_;
  unsigned long tickMs_;
  std::shared_ptr<PerfLogOpenFiles> openLogs_;  // monitor thread only
  // Providers report through it; it passes every report on to OnUpdateLog.
  CHxPerfMetricsTick metrics_;
  hx::Mutex joinMutex_;  // serialises joining the thread between stoppers
  // Set by Run before the thread starts.
  bool threadJoinable_ GUARDED_BY(joinMutex_);

  // GenericResourceAgent calls in progress; the destructor waits for zero.
  class InterfaceCall;
  hx::Mutex callsMutex_;
  hx::CondVar callsDone_;
  int activeCalls_ GUARDED_BY(callsMutex_) = 0;
};
