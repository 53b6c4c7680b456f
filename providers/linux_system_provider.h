// Machine-wide counters (agent type 7, object "System"): processor use,
// physical and swap memory, counts of processes, threads and semaphores.
// One row per update; nothing is kept between updates.
#pragma once

#include <sys/sysinfo.h>

#include "providers/linux_provider_base.h"

class HX_EXPORT CHxPerfProviderLinuxSystem : public CHxLinuxPerfProviderBase {
 public:
  explicit CHxPerfProviderLinuxSystem(HxEnv* env = HxEnv::Default());

  // Reports one row of ten values; reports nothing (and logs the error at
  // level 15) when the kernel's sysinfo fails. Monitor thread only.
  void UpdatePerfCounters(ResourceAgentType type) override;

 protected:
  // The kernel's sysinfo. 0 on success; otherwise the errno value.
  // Overridable so that the failure path can be exercised.
  virtual int QuerySysinfo(struct sysinfo* info);
};
