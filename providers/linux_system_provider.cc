#include "providers/linux_system_provider.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {
const char kClassName[] = "CHxPerfProviderLinuxSystem";

// One reading of the processor times, and two readings one second apart.
const char kCpuTimesCommand[] = "grep '^cpu ' /proc/stat";
const char kCpuWindowCommand[] = "grep '^cpu ' /proc/stat; sleep 1; grep '^cpu ' /proc/stat";
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

bool CHxPerfProviderLinuxSystem::ParseCpuLine(const std::string& line, CpuTimes* times) {
  const std::vector<std::string> words = hxprov::SplitWords(line);
  if (words.size() < 5 || words[0] != "cpu") return false;
  // user nice system idle iowait irq softirq steal; later fields (guest
  // times) are already counted in user and nice.
  uint64_t field[8] = {};
  for (size_t i = 1; i < words.size() && i <= 8; ++i) {
    if (!hxprov::IsDigits(words[i]) || words[i].size() > 17) return false;
    field[i - 1] = hxprov::ParseUnsigned64(words[i]);
  }
  // At most 17 digits each (ten million years of ticks): no sum can wrap.
  times->busy = field[0] + field[1] + field[2] + field[5] + field[6] + field[7];
  times->total = times->busy + field[3] + field[4];
  return true;
}

double CHxPerfProviderLinuxSystem::MeasureCpuUsage() {
  std::string out;
  std::vector<std::string> lines;
  CpuTimes fresh;
  // A kept reading is usable when both counters moved forward since it.
  const bool fromKept = haveCpuTimes_ && RunCommand(kCpuTimesCommand, &out) &&
                        ParseCpuLine(out.substr(0, out.find('\n')), &fresh) &&
                        fresh.total > lastCpuTimes_.total &&
                        fresh.busy >= lastCpuTimes_.busy;
  CpuTimes before = lastCpuTimes_;
  if (!fromKept) {
    haveCpuTimes_ = false;
    if (!RunCommand(kCpuWindowCommand, &out)) return 0.0;
    lines = hxprov::SplitLines(out);
    if (lines.size() != 2 || !ParseCpuLine(lines[0], &before) ||
        !ParseCpuLine(lines[1], &fresh) || fresh.total <= before.total ||
        fresh.busy < before.busy) {
      return 0.0;
    }
  }
  lastCpuTimes_ = fresh;
  haveCpuTimes_ = true;
  const uint64_t busy = fresh.busy - before.busy;
  const uint64_t total = fresh.total - before.total;
  // The kernel's iowait count can go back, so busy time can outgrow total
  // time; a share above 100 is never reported.
  if (busy >= total) return 100.0;
  return static_cast<double>(busy) * 100.0 / static_cast<double>(total);
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

  const double cpuUsage = MeasureCpuUsage();
  std::string out;

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
