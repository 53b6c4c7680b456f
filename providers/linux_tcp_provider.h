// Per-interface network throughput (agent type 8, object "Tcpip"): the
// average byte and packet rates between two updates, and the link speed.
// Keeps the previous sample; the first sample reports nothing.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "providers/linux_provider_base.h"

class HX_EXPORT CHxPerfProviderLinuxTCP : public CHxLinuxPerfProviderBase {
 public:
  // Cumulative counters of one interface at one moment (64-bit: byte
  // counters pass 4 GiB within seconds on fast links).
  struct cumulative {
    uint64_t rxBytes = 0;
    uint64_t rxPackets = 0;
    uint64_t txBytes = 0;
    uint64_t txPackets = 0;
  };
  typedef std::map<std::string, cumulative> StatsMap;

  explicit CHxPerfProviderLinuxTCP(HxEnv* env = HxEnv::Default());

  // Fills stats from "ip -s link": one entry per interface whose header line
  // is followed by its receive and transmit number lines (an interface
  // without both is left out). True when the command ran, even with no
  // interface; false when it failed.
  bool GetNetStatisticMap(StatsMap& stats);

  // One row per interface present in both the kept and the fresh sample,
  // except names beginning "lo". When ip fails, or no time has passed since
  // the kept sample (two updates in one second), reports nothing and keeps
  // the earlier sample. When the clock went back behind the kept sample,
  // reports nothing and keeps the fresh sample instead. Monitor thread only.
  void UpdatePerfCounters(ResourceAgentType type) override;

  // Bytes or packets counted between two samples of one counter. A counter
  // below the previous one that was itself below 2^32 wrapped at 32 bits
  // (the kernel's 32-bit counters); one that fell from above 2^32 was reset,
  // and counts from zero.
  static uint64_t CounterDelta(uint64_t previous, uint64_t current);

 private:
  uint32_t m_lastSampleTime = 0;  // 0 = no sample kept yet
  StatsMap m_lastStats;
};
