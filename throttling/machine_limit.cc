// The machine limit of the outbound and inbound tables: "ComputerThroughputMBPH",
// or the "ThroughputSchedule" timetable when one is set and valid, written to
// the table's ComputerThrottleMBPH together with where it came from and when
// it changes next.
//
// Every process attached to a table keeps the settings it read last. The rate
// query compares the time with one cached instant (the next scheduled change,
// or the next look at the settings a few seconds on); past it, the first
// querying process writes the new limit and recomputes every share, and the
// shared next-change time tells the others that this change is done.
#include <climits>

#include "platform/hx_platform_info.h"
#include "throttling/table_lock.h"
#include "throttling/throttling_manager.h"

namespace {

const char kSection[] = "Hxd";
// How often a process looks whether the limit settings changed.
constexpr uint32_t kLimitSettingsRecheckSeconds = 3;

bool HasMachineLimit(unsigned int kind) {
  return kind == kTMKindOutbound || kind == kTMKindInbound;
}

}  // namespace

void CHxThrottlingManager::ConfigureComputerThroughput() { ConfigureLimits(false); }

void CHxThrottlingManager::ConfigureLimits(bool keepHandSet) try {
  if (!HasMachineLimit(TableKind) || Table == nullptr) return;
  ReadLimitSettings("ConfigureComputerThroughput()");
  ApplyConfiguredLimit(env->NowSeconds(), keepHandSet);

  HxPlatformInfo config;
  if (!Focus.empty()) config.setFocus(Focus.c_str());
  unsigned long lanFree = 0;
  if (config.getNumber(kSection, "ThrottleLanFreeSDT", &lanFree) != 0 && lanFree == 0) {
    Log.debugLvl(1, LogTag,
                 "ThrottleLanFreeSDT Reg key set found [disabling throttle for Lanfree-SDT]");
    ThrottleLanFree = false;
  }
} catch (...) {
  LogFault("ConfigureComputerThroughput()");
}

bool CHxThrottlingManager::ReadLimitSettings(const char* label) {
  HxPlatformInfo config;
  if (!Focus.empty()) config.setFocus(Focus.c_str());
  unsigned long mbph = 0;
  if (config.getNumber(kSection, "ComputerThroughputMBPH", &mbph) == 0) mbph = 0;
  // The table holds 32 bits; a larger setting means "as much as can be said".
  if (mbph > UINT_MAX) mbph = UINT_MAX;
  std::string text;
  if (config.getString(kSection, "ThroughputSchedule", &text) == 0) text.clear();
  const bool changed = !limitSettingsRead_ || mbph != configuredMbph_ || text != scheduleText_;
  if (!changed) return false;
  limitSettingsRead_ = true;
  configuredMbph_ = mbph;
  if (text != scheduleText_) {
    scheduleText_ = text;
    hx::ThroughputSchedule parsed;
    std::string error;
    if (!parsed.Parse(text, &error)) {
      // Never half-applied: the configured limit holds as if there were no
      // schedule. Said once per text read.
      Log.debugLvl(1, LogTag,
                   "%s: [ERROR] ThroughputSchedule \"%s\" not used: %s; "
                   "ComputerThroughputMBPH applies",
                   label, text.c_str(), error.c_str());
      parsed = hx::ThroughputSchedule();
    }
    schedule_ = parsed;
  }
  return true;
}

uint32_t CHxThrottlingManager::ConfiguredLimitAt(uint32_t now, uint32_t* nextChange) const {
  *nextChange = 0;
  if (schedule_.empty()) return static_cast<uint32_t>(configuredMbph_);
  int64_t next = 0;
  const hx::ScheduleLimits limits = schedule_.At(now, &next);
  if (next > 0 && next <= static_cast<int64_t>(UINT32_MAX)) *nextChange = static_cast<uint32_t>(next);
  return TableKind == kTMKindInbound ? limits.in : limits.out;
}

bool CHxThrottlingManager::ApplyConfiguredLimit(uint32_t now, bool keepHandSet) {
  _TMThrottleTable& t = *Table;
  uint32_t next = 0;
  const uint32_t mbph = ConfiguredLimitAt(now, &next);
  const uint32_t source = schedule_.empty() ? kTMLimitFromConfiguration : kTMLimitFromSchedule;
  if (keepHandSet && TMLimitSource(t) == kTMLimitSetByHand) {
    // An operator's limit lasts until the next scheduled change.
    const uint32_t pending = TMNextLimitChange(t);
    if (pending == 0 || static_cast<int32_t>(now - pending) < 0) {
      ScheduleNextLimitCheck(now);
      return false;
    }
  }
  if (source == kTMLimitFromConfiguration && mbph != 0) {
    Log.debugLvl(1, LogTag, "ComputerThroughput Reg key set found [%lu MBPH]",
                 static_cast<unsigned long>(mbph));
  }
  const bool changed = t.ComputerThrottleMBPH != mbph;
  if (source == kTMLimitFromSchedule && (changed || TMLimitSource(t) != source)) {
    Log.debugLvl(1, LogTag, "%s: machine limit [%u MBPH] from ThroughputSchedule, next change at [%u]",
                 "ConfigureComputerThroughput()", mbph, next);
  }
  t.ComputerThrottleMBPH = mbph;
  TMSetLimitSource(t, source, next);
  ScheduleNextLimitCheck(now);
  return changed;
}

void CHxThrottlingManager::ScheduleNextLimitCheck(uint32_t now) {
  limitCheckFrom_ = now;
  limitCheckSpan_ = kLimitSettingsRecheckSeconds;
  if (!HasMachineLimit(TableKind) || Table == nullptr) {
    limitCheckSpan_ = UINT32_MAX;
    return;
  }
  const uint32_t next = TMNextLimitChange(*Table);
  const uint32_t until = next - now;
  if (next != 0 && static_cast<int32_t>(until) > 0 && until < limitCheckSpan_) {
    limitCheckSpan_ = until;
  }
}

void CHxThrottlingManager::RefreshMachineLimit(uint32_t now) try {
  if (!HasMachineLimit(TableKind)) {
    ScheduleNextLimitCheck(now);
    return;
  }
  _TMThrottleTable& t = *Table;
  bool due = ReadLimitSettings("GetThroughputRate()");
  const uint32_t source = TMLimitSource(t);
  const uint32_t next = TMNextLimitChange(t);
  if (!schedule_.empty()) {
    // A change that came due, or a table still following the configuration.
    due = due || (next != 0 && static_cast<int32_t>(now - next) >= 0) ||
          source == kTMLimitFromConfiguration;
  } else {
    due = due || source == kTMLimitFromSchedule;
  }
  if (due && ApplyConfiguredLimit(now, false)) {
    RecomputeThroughputs();
  } else {
    ScheduleNextLimitCheck(now);
  }
} catch (...) {
  ScheduleNextLimitCheck(now);
  LogFault("GetThroughputRate()");
}

int CHxThrottlingManager::GetMachineLimitInfo(_TMMachineLimitInfo& info) try {
  TableLock lock(*this);
  if (!lock.held()) return -1;
  const uint32_t now = env->NowSeconds();
  ReadLimitSettings("GetMachineLimitInfo()");
  info = _TMMachineLimitInfo();
  info.LimitMBPH = Table->ComputerThrottleMBPH;
  info.Source = TMLimitSource(*Table);
  uint32_t next = 0;
  info.ConfiguredMBPH = HasMachineLimit(TableKind) ? ConfiguredLimitAt(now, &next) : 0;
  if (!schedule_.empty()) {
    int64_t when = 0;
    hx::ScheduleLimits then;
    if (schedule_.NextChange(now, &when, &then) && when <= static_cast<int64_t>(UINT32_MAX)) {
      info.NextChangeTime = static_cast<uint32_t>(when);
      info.NextLimitMBPH = TableKind == kTMKindInbound ? then.in : then.out;
    }
  }
  return 0;
} catch (...) {
  LogFault("GetMachineLimitInfo()");
  return -1;
}
