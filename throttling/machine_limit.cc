// The machine limit of the outbound and inbound tables: "ComputerThroughputMBPH",
// or the "ThroughputSchedule" timetable when one is set and valid, capped by
// the machine's fleet share ("HxFleet" "Share") when one is set and valid,
// written to the table's ComputerThrottleMBPH together with where it came
// from and when it changes next (a schedule boundary or a fleet deadline).
//
// Every process attached to a table keeps the settings it read last. The rate
// query compares the time with one cached instant (the next scheduled change,
// or the next look at the settings a few seconds on); past it, the first
// querying process writes the new limit and recomputes every share, and the
// shared next-change time tells the others that this change is done.
#include <climits>
#include <vector>

#include "platform/hx_platform_info.h"
#include "throttling/table_kinds.h"
#include "throttling/table_lock.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

const char kSection[] = "Hxd";
const char kFleetSection[] = "HxFleet";
// How often a process looks whether the limit settings changed.
constexpr uint32_t kLimitSettingsRecheckSeconds = 3;

}  // namespace

void CHxThrottlingManager::ConfigureComputerThroughput() { ConfigureLimits(false); }

void CHxThrottlingManager::ConfigureLimits(bool keepHandSet) try {
  if (!hx::TableKindHasMachineLimit(TableKind) || Table == nullptr) return;
  ReadLimitSettings("ConfigureComputerThroughput()");
  ApplyConfiguredLimit(env_->NowSeconds(), keepHandSet);

  HxPlatformInfo config;
  if (!focus_.empty()) config.setFocus(focus_.c_str());
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
  if (!focus_.empty()) config.setFocus(focus_.c_str());
  unsigned long mbph = 0;
  if (config.getNumber(kSection, "ComputerThroughputMBPH", &mbph) == 0) mbph = 0;
  // The table holds 32 bits; a larger setting means "as much as can be said".
  if (mbph > UINT_MAX) mbph = UINT_MAX;
  std::string text;
  if (config.getString(kSection, "ThroughputSchedule", &text) == 0) text.clear();
  std::string fleetText;
  if (config.getString(kFleetSection, "Share", &fleetText) == 0) fleetText.clear();
  const bool changed = !limitSettingsRead_ || mbph != configuredMbph_ || text != scheduleText_ ||
                       fleetText != fleetText_;
  if (!changed) return false;
  limitSettingsRead_ = true;
  configuredMbph_ = mbph;
  if (fleetText != fleetText_) {
    fleetText_ = fleetText;
    std::string error;
    fleetValid_ = !fleetText.empty() && hx::ParseFleetShare(fleetText, &fleet_, &error);
    if (!fleetText.empty() && !fleetValid_) {
      Log.debugLvl(1, LogTag, "%s: [ERROR] HxFleet Share \"%s\" not used: %s", label,
                   fleetText.c_str(), error.c_str());
    }
  }
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

uint32_t CHxThrottlingManager::ConfiguredLimitAt(uint32_t now, uint32_t* nextChange,
                                                 uint32_t* source) const {
  *nextChange = 0;
  uint32_t limit = static_cast<uint32_t>(configuredMbph_);
  uint32_t from = kTMLimitFromConfiguration;
  if (!schedule_.empty()) {
    int64_t next = 0;
    const hx::ScheduleLimits limits = schedule_.At(now, &next);
    if (next > 0 && next <= static_cast<int64_t>(UINT32_MAX)) *nextChange = static_cast<uint32_t>(next);
    limit = TableKind == kTMKindInbound ? limits.in : limits.out;
    from = kTMLimitFromSchedule;
  }
  if (fleetValid_) {
    uint32_t next = 0;
    const uint32_t share = hx::FleetLimitAt(fleet_, now, &next);
    if (limit == 0 || share < limit) {
      limit = share;
      from = kTMLimitFromFleet;
    }
    // The earlier of the two changes (times as serial numbers).
    if (next != 0 && (*nextChange == 0 || static_cast<int32_t>(next - *nextChange) < 0)) {
      *nextChange = next;
    }
  }
  if (source != nullptr) *source = from;
  return limit;
}

bool CHxThrottlingManager::ApplyConfiguredLimit(uint32_t now, bool keepHandSet) {
  _TMThrottleTable& t = *Table;
  uint32_t next = 0, source = 0;
  const uint32_t mbph = ConfiguredLimitAt(now, &next, &source);
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
  if ((source == kTMLimitFromSchedule || source == kTMLimitFromFleet) &&
      (changed || TMLimitSource(t) != source)) {
    Log.debugLvl(1, LogTag, "%s: machine limit [%u MBPH] from %s, next change at [%u]",
                 "ConfigureComputerThroughput()", mbph,
                 source == kTMLimitFromFleet ? "HxFleet Share" : "ThroughputSchedule", next);
  }
  t.ComputerThrottleMBPH = mbph;
  TMSetLimitSource(t, source, next);
  ScheduleNextLimitCheck(now);
  return changed;
}

void CHxThrottlingManager::ScheduleNextLimitCheck(uint32_t now) {
  limitCheckFrom_ = now;
  limitCheckSpan_ = kLimitSettingsRecheckSeconds;
  if (!hx::TableKindHasMachineLimit(TableKind) || Table == nullptr) {
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
  if (!hx::TableKindHasMachineLimit(TableKind)) {
    ScheduleNextLimitCheck(now);
    return;
  }
  _TMThrottleTable& t = *Table;
  bool due = ReadLimitSettings("GetThroughputRate()");
  const uint32_t source = TMLimitSource(t);
  const uint32_t next = TMNextLimitChange(t);
  uint32_t wantNext = 0, want = 0;
  ConfiguredLimitAt(now, &wantNext, &want);
  // A change that came due, or a table following another source than the
  // settings give now (an operator's limit waits for the next change).
  due = due || (next != 0 && static_cast<int32_t>(now - next) >= 0) ||
        (source != kTMLimitSetByHand && source != want);
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
  const uint32_t now = env_->NowSeconds();
  ReadLimitSettings("GetMachineLimitInfo()");
  info = _TMMachineLimitInfo();
  info.LimitMBPH = Table->ComputerThrottleMBPH;
  info.Source = TMLimitSource(*Table);
  uint32_t next = 0;
  info.ConfiguredMBPH = hx::TableKindHasMachineLimit(TableKind) ? ConfiguredLimitAt(now, &next) : 0;
  // The first instant, of the schedule's next change and the fleet
  // deadlines, at which the configured limit differs from now's.
  std::vector<uint32_t> when;
  if (!schedule_.empty()) {
    int64_t at = 0;
    hx::ScheduleLimits then;
    if (schedule_.NextChange(now, &at, &then) && at <= static_cast<int64_t>(UINT32_MAX)) {
      when.push_back(static_cast<uint32_t>(at));
    }
  }
  if (fleetValid_) when.insert(when.end(), {fleet_.leaseEnd, fleet_.safeEnd});
  for (uint32_t at : when) {
    if (static_cast<int32_t>(at - now) <= 0 || !hx::TableKindHasMachineLimit(TableKind)) continue;
    if (info.NextChangeTime != 0 && static_cast<int32_t>(at - info.NextChangeTime) >= 0) continue;
    const uint32_t then = ConfiguredLimitAt(at, &next);
    if (then == info.ConfiguredMBPH) continue;
    info.NextChangeTime = at;
    info.NextLimitMBPH = then;
  }
  return 0;
} catch (...) {
  LogFault("GetMachineLimitInfo()");
  return -1;
}
