#include "providers/linux_tcp_provider.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/hx_process.h"

namespace {
const char kClassName[] = "CHxPerfProviderLinuxTCP";

// The bracket expression holds a blank and a real tab character.
const char kIpCommand[] = "ip -s link | sed 's/^[ \t]*//' | grep ^[0-9]";

// A header line starts with the interface index immediately followed by a
// colon ("4: eth0: <...>"); a number line starts with a digit run followed by
// a blank ("46210549    1532 ...").
bool IsHeaderLine(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  return i > 0 && i < line.size() && line[i] == ':';
}

// The first two numbers of a statistics line; false when the line does not
// start with two digit runs.
bool ReadTwoCounters(const std::string& line, uint64_t* first, uint64_t* second) {
  const std::vector<std::string> words = hxprov::SplitWords(line);
  if (words.size() < 2 || !hxprov::IsDigits(words[0]) || !hxprov::IsDigits(words[1])) {
    return false;
  }
  *first = hxprov::ParseUnsigned64(words[0]);
  *second = hxprov::ParseUnsigned64(words[1]);
  return true;
}
}  // namespace

CHxPerfProviderLinuxTCP::CHxPerfProviderLinuxTCP(HxEnv* env)
    : CHxLinuxPerfProviderBase(RSRC_AGENT_TCPIP, kClassName, "Linux System perf counters TCP/IP",
                               env) {}

uint64_t CHxPerfProviderLinuxTCP::CounterDelta(uint64_t previous, uint64_t current) {
  if (current >= previous) return current - previous;
  if (previous <= UINT32_MAX) return static_cast<uint32_t>(current - previous);
  return current;
}

bool CHxPerfProviderLinuxTCP::GetNetStatisticMap(StatsMap& stats) {
  std::string out;
  if (!RunCommand(kIpCommand, &out)) return false;
  const std::vector<std::string> lines = hxprov::SplitLines(out);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!IsHeaderLine(lines[i])) continue;
    // "<index>:" then the name word, which carries one trailing colon.
    const std::vector<std::string> words = hxprov::SplitWords(lines[i]);
    if (words.size() < 2) continue;
    std::string name = words[1];
    if (name.back() == ':') name.pop_back();
    if (name.empty()) continue;

    cumulative c;
    if (i + 2 >= lines.size() || IsHeaderLine(lines[i + 1]) || IsHeaderLine(lines[i + 2]) ||
        !ReadTwoCounters(lines[i + 1], &c.rxBytes, &c.rxPackets) ||
        !ReadTwoCounters(lines[i + 2], &c.txBytes, &c.txPackets)) {
      continue;  // unreadable statistics: better no entry than a wrong one
    }
    stats[name] = c;
    i += 2;
  }
  return true;
}

void CHxPerfProviderLinuxTCP::UpdatePerfCounters(ResourceAgentType type) {
  if (type != RSRC_AGENT_TCPIP) return;

  const uint32_t now = env()->NowSeconds();
  StatsMap fresh;
  if (!GetNetStatisticMap(fresh)) return;

  if (m_lastSampleTime == 0) {
    m_lastSampleTime = now;
    m_lastStats.swap(fresh);
    return;
  }

  if (now == m_lastSampleTime) return;  // no time passed: keep the sample, no rate yet
  if (now < m_lastSampleTime) {
    // The clock was set back: no interval can be measured against the kept
    // sample, but the fresh one is a sound base for the next update (waiting
    // for the clock to pass the old time would silence the rows for as long
    // as the step was).
    m_lastSampleTime = now;
    m_lastStats.swap(fresh);
    return;
  }
  const uint64_t elapsed = static_cast<uint64_t>(now) - m_lastSampleTime;

  for (const auto& entry : m_lastStats) {
    const std::string& name = entry.first;
    auto it = fresh.find(name);
    if (it == fresh.end()) continue;  // the interface disappeared
    if (name.size() >= 2 && name[0] == 'l' && name[1] == 'o') continue;

    const cumulative& before = entry.second;
    const cumulative& after = it->second;
    std::string out;
    uint32_t speed = 0;
    if (RunCommand("awk '{print $1}' /sys/class/net/" + HxShellQuote(name) + "/speed", &out)) {
      speed = hxprov::ParseUnsigned32(out);
    }

    _PerfLogItems items;
    items.rows.push_back({
        name,
        hxprov::FormatU64(CounterDelta(before.rxBytes, after.rxBytes) / elapsed),
        hxprov::FormatU64(CounterDelta(before.txBytes, after.txBytes) / elapsed),
        hxprov::FormatU64(speed),
        hxprov::FormatU64(CounterDelta(before.rxPackets, after.rxPackets) / elapsed),
        hxprov::FormatU64(CounterDelta(before.txPackets, after.txPackets) / elapsed),
        "",
        "",
        "",
        "",
    });
    Report(items);
  }

  m_lastSampleTime = now;
  m_lastStats.swap(fresh);
}
