#include "perfmonitor/metrics_tick.h"

#include "perfmonitor/exposition_text.h"
#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

namespace {
const char kFunction[] = "CHxPerfMetricsTick";

// The machine limit of the daemon's own outbound and inbound tables, when it
// attached them, as it is at the end of the tick.
std::string MachineLimitGauges(const std::string& instance) {
  struct Table {
    CHxThrottlingManager* manager;
    const char* name;
    _TMMachineLimitInfo info;
  } tables[] = {{&g_ThrottlingManagerOut, "outbound", {}}, {&g_ThrottlingManagerIn, "inbound", {}}};
  std::vector<const Table*> attached;
  for (Table& t : tables) {
    if (t.manager->GetMachineLimitInfo(t.info) == 0) attached.push_back(&t);
  }
  if (attached.empty()) return std::string();
  hxmetrics::ExpositionWriter w;
  w.BeginFamily("halvex_monitor_machine_limit_megabytes_per_hour",
                "Machine limit the throttle table divides, in MB per hour; 0 = no limit.", "gauge");
  for (const Table* t : attached) {
    w.AddSample({{"instance", instance}, {"table", t->name}}, std::to_string(t->info.LimitMBPH));
  }
  w.BeginFamily("halvex_monitor_machine_limit_next_change_timestamp_seconds",
                "When the machine limit's timetable changes it next (seconds since the epoch); "
                "0 = no change scheduled.",
                "gauge");
  for (const Table* t : attached) {
    w.AddSample({{"instance", instance}, {"table", t->name}}, std::to_string(t->info.NextChangeTime));
  }
  return w.Finish();
}

}  // namespace

CHxPerfMetricsTick::CHxPerfMetricsTick(iCHxPerfUpdateCallback* target, HxEnv* env)
    : target_(target), env_(env != nullptr ? env : HxEnv::Default()) {}

void CHxPerfMetricsTick::Configure(const std::string& instance, EvDebug* log) {
  log_ = log;
  instance_ = instance;
  HxPlatformInfo info;
  info.setFocus(instance.c_str());
  std::string dir;
  if (info.getString("Hxd", "PerfMetricsTextfileDirectory", &dir) == 0) dir.clear();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  directory_ = dir;
  path_ = dir.empty() ? std::string() : dir + "/" + hxmetrics::TextfileName(instance);
  if (!dir.empty() && log_ != nullptr) {
    log_->DebugLvl(kFunction, 1, "System Resource Monitor metrics textfile [%s]", path_.c_str());
  }
}

int CHxPerfMetricsTick::OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                                    _PerfLogItems& items) {
  const int result = target_ != nullptr ? target_->OnUpdateLog(agentType, objectName, items) : 1;
  if (!enabled()) return result;
  try {
    const std::string name = objectName != nullptr ? objectName : "";
    hxmetrics::ObjectRows& rows = pending_[name];
    rows.object = name;
    rows.timeSeconds = env_->NowSeconds();
    rows.batches.push_back(items);
    rowsSinceEntry_ += items.rows.size();
  } catch (...) {
    // Out of memory: the rows stay in the CSV log only; the provider goes on.
  }
  return result;
}

void CHxPerfMetricsTick::EntryServed(const _PerfAgentInfo& entry) {
  if (!enabled()) return;
  try {
    std::string provider;
    entry.pProvider->GetPerfProviderName(provider);
    up_[UpKey{provider, static_cast<int>(entry.agentType)}] = entry.bInitOk && rowsSinceEntry_ > 0;
  } catch (...) {
    // Out of memory: the entry keeps its earlier state in the file.
  }
  rowsSinceEntry_ = 0;
  served_ = true;
}

void CHxPerfMetricsTick::EndTick() {
  if (!enabled()) return;
  const bool served = served_;
  served_ = false;
  rowsSinceEntry_ = 0;
  if (!served && pending_.empty()) return;
  std::string error;
  bool ok = false;
  try {
    for (auto& p : pending_) latest_[p.first] = std::move(p.second);
    pending_.clear();
    std::vector<hxmetrics::ObjectRows> objects;
    objects.reserve(latest_.size());
    for (const auto& o : latest_) objects.push_back(o.second);
    std::vector<hxmetrics::ProviderUp> ups;
    for (const auto& u : up_) ups.push_back({u.first.provider, u.first.agentType, u.second});
    const std::string text = hxmetrics::RenderMonitorMetrics(instance_, objects, ups) +
                             MachineLimitGauges(instance_);
    ok = hxmetrics::ReplaceFileAtomically(directory_, hxmetrics::TextfileName(instance_), text,
                                          &error);
  } catch (...) {
    // Out of memory: this tick's file is skipped, the previous one stays whole.
    pending_.clear();
    error = "out of memory";
  }
  if (!ok && !lastWriteFailed_ && log_ != nullptr) {
    log_->DebugLvl(kFunction, 1, "[ERROR] cannot write the metrics textfile [%s]: %s",
                    path_.c_str(), error.c_str());
  }
  lastWriteFailed_ = !ok;
}
