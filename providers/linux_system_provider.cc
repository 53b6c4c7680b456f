#include "providers/linux_system_provider.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {
const char kClassName[] = "CHxPerfProviderLinuxSystem";

const char kTopCommand[] = "top -bH -n 1 | head -3 | sed 1,2d | awk '{print $2 + $4 + $6}'";
const char kProcessorsCommand[] = "getconf _NPROCESSORS_ONLN";
const char kMemAvailableCommand[] = "grep -w MemAvailable /proc/meminfo|awk '{print $2}'";
const char kSwapUsedCommand[] = "vmstat -S K | sed 1,2d | awk '{print $3}'";
const char kFreeMemCommand[] = "vmstat -S K | sed 1,2d | awk '{print $4}'";
const char kProcessesCommand[] = "ps -A --no-headers | wc -l";
const char kSemaphoresCommand[] =
    "ipcs -s | sed 1,3d | awk '{total = total + $5}END{print total}'";
const char kThreadsCommand[] = "ps -AL --no-headers | wc -l";
}  // namespace

CHxPerfProviderLinuxSystem::CHxPerfProviderLinuxSystem(HxEnv* env)
    : CHxLinuxPerfProviderBase(RSRC_AGENT_SYSTEM, kClassName, "Linux System perf counters",
                               env) {}

int CHxPerfProviderLinuxSystem::QuerySysinfo(struct sysinfo* info) {
  if (sysinfo(info) != 0) return errno;
  return 0;
}

void CHxPerfProviderLinuxSystem::UpdatePerfCounters(ResourceAgentType type) {
  if (type != RSRC_AGENT_SYSTEM) return;

  struct sysinfo info = {};
  const int error = QuerySysinfo(&info);
  if (error != 0) {
    m_pLog->debugLvl(15, static_cast<uint64_t>(-1), "%s:[ERROR]Get sysinfo  failed %d",
                     "CHxPerfProviderLinuxSystem::UpdatePerfCounters", error);
    return;
  }

  std::string out;

  // Processor use: user + system + nice percentage of one top iteration,
  // spread over the online processors. A count read as 0 counts as 1.
  double cpuSum = 0.0;
  if (RunCommand(kTopCommand, &out)) cpuSum = hxprov::ParseLeadingDouble(out);
  if (!std::isfinite(cpuSum)) cpuSum = 0.0;  // "inf"/"nan" is no reading
  uint64_t processors = 1;
  if (RunCommand(kProcessorsCommand, &out)) processors = hxprov::ParseUnsigned64(out);
  if (processors == 0) processors = 1;
  const double cpuUsage = cpuSum / static_cast<double>(processors);

  // Physical memory in KB. The shift comes before the multiplication (the
  // fraction of a KB is dropped per unit); 64-bit so that no size wraps.
  const uint64_t physicalKB =
      static_cast<uint64_t>(info.mem_unit) * (static_cast<uint64_t>(info.totalram) >> 10);

  long double freePhysicalPercent = 0.0L;
  if (RunCommand(kMemAvailableCommand, &out)) {
    const uint64_t availableKB = hxprov::ParseUnsigned64(out);
    if (physicalKB != 0) {
      freePhysicalPercent = static_cast<long double>(availableKB) /
                            static_cast<long double>(physicalKB) * 100.0L;
    }
  } else if (info.totalram != 0) {
    freePhysicalPercent = static_cast<long double>(info.freeram) /
                          static_cast<long double>(info.totalram) * 100.0L;
  }

  uint64_t swapUsedKB = 0;
  if (RunCommand(kSwapUsedCommand, &out)) swapUsedKB = hxprov::ParseUnsigned64(out);
  uint64_t freeKB = 0;
  if (RunCommand(kFreeMemCommand, &out)) freeKB = hxprov::ParseUnsigned64(out);
  // Saturated: counts near 2^64 (an unreadable output) must not wrap into a
  // small total and a free share above 100 %.
  const uint64_t virtualKB = freeKB > UINT64_MAX - swapUsedKB ? UINT64_MAX : freeKB + swapUsedKB;
  long double freeVirtualPercent = 0.0L;
  if (virtualKB != 0) {
    freeVirtualPercent = static_cast<long double>(freeKB) * 100.0L /
                         static_cast<long double>(virtualKB);
  }

  uint64_t processes = 0;
  if (RunCommand(kProcessesCommand, &out)) processes = hxprov::ParseUnsigned64(out);
  uint64_t semaphores = 0;
  if (RunCommand(kSemaphoresCommand, &out)) semaphores = hxprov::ParseUnsigned64(out);
  uint64_t threads = 0;
  if (RunCommand(kThreadsCommand, &out)) threads = hxprov::ParseUnsigned64(out);

  _PerfLogItems items;
  items.rows.push_back({
      hxprov::FormatDouble(cpuUsage),
      hxprov::FormatU64(physicalKB),
      hxprov::FormatTruncated(freePhysicalPercent),
      hxprov::FormatU64(virtualKB),
      hxprov::FormatTruncated(freeVirtualPercent),
      "0",  // Events: no such counter on this system
      "0",  // Mutexes: no such counter on this system
      hxprov::FormatU64(processes),
      hxprov::FormatU64(semaphores),
      hxprov::FormatU64(threads),
  });
  Report(items);
}
