// Counters of watched processes (agent type 3, object "Process"): the
// platform's own processes (runtime properties file), processes matched by
// name (pgrep) and by executable path prefix. One report per watched id.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hx_mutex.h"
#include "providers/linux_provider_base.h"

class HX_EXPORT CHxPerfProviderLinuxProcess : public CHxLinuxPerfProviderBase {
 public:
  explicit CHxPerfProviderLinuxProcess(HxEnv* env = HxEnv::Default());

  // The common steps, then the names of "EventManager"/"sMonitorProcessNames"
  // become the name list (logged with their count). 0 unless the callback is
  // null.
  int32_t Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) override;

  // Type 3 only: property 1 replaces the process names, property 2 the
  // executable path prefixes; anything else is ignored. Any thread: takes
  // m_lock, so an update sees either the old or the new list, never a mix.
  void SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                    std::vector<std::string>& values) override;

  // Reports one row per gathered id, in gathering order (an id gathered twice
  // gives two rows); an id whose process is gone by then gives none.
  // Monitor thread only; holds m_lock only while copying the lists.
  void UpdatePerfCounters(ResourceAgentType type) override;

 private:
  // The ids to report, as whitespace-separated text.
  std::string GatherIds();
  // Reports the row of one id; false when the process could not be read.
  bool ReportProcess(long id);

  hx::Mutex m_lock;
  std::vector<std::string> m_processNames GUARDED_BY(m_lock);
  std::vector<std::string> m_processPaths GUARDED_BY(m_lock);
  bool m_bNamesChanged GUARDED_BY(m_lock) = false;
  std::string m_pgrepCommand GUARDED_BY(m_lock);
};
