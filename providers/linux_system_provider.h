// Machine-wide counters (agent type 7, object "System"): processor use,
// physical and swap memory, counts of processes, threads and semaphores.
// One row per update. Processor use is measured between two readings of the
// kernel's cumulative processor times, so the last reading is kept.
#pragma once

#include <sys/sysinfo.h>

#include <cstdint>
#include <string>

#include "providers/linux_provider_base.h"

class HX_EXPORT CHxPerfProviderLinuxSystem : public CHxLinuxPerfProviderBase {
 public:
  explicit CHxPerfProviderLinuxSystem(HxEnv* env = HxEnv::Default());

  // Reports one row of ten values; reports nothing (and logs the error at
  // level 15) when the kernel's sysinfo fails. Monitor thread only.
  // CPU-Usage is the busy share (0-100) of all processors' time since the
  // previous update; without a usable previous reading (first update,
  // counters that did not advance or went back) it is measured over a
  // one-second window instead. 0 when the times cannot be read.
  void UpdatePerfCounters(ResourceAgentType type) override;

  // Cumulative processor times of the "cpu" line of /proc/stat, in ticks:
  // busy = user + nice + system + irq + softirq + steal, total = busy +
  // idle + iowait (guest time is already part of user time).
  struct CpuTimes {
    uint64_t busy = 0;
    uint64_t total = 0;
  };
  // Reads one "cpu" line ("cpu  user nice system idle [iowait ...]"); false
  // for any other line, fewer than four counters or a counter that is not a
  // plain decimal number of at most 17 digits.
  static bool ParseCpuLine(const std::string& line, CpuTimes* times);

 protected:
  // The kernel's sysinfo. 0 on success; otherwise the errno value.
  // Overridable so that the failure path can be exercised.
  virtual int QuerySysinfo(struct sysinfo* info);

 private:
  // Busy percentage since the kept reading, keeping the fresh one.
  double MeasureCpuUsage();

  bool haveCpuTimes_ = false;  // lastCpuTimes_ holds a reading
  CpuTimes lastCpuTimes_;
};
