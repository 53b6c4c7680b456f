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
    : m_target(target), m_env(env != nullptr ? env : HxEnv::Default()) {}

void CHxPerfMetricsTick::Configure(const std::string& instance, EvDebug* log) {
  m_log = log;
  m_instance = instance;
  HxPlatformInfo info;
  info.setFocus(instance.c_str());
  std::string dir;
  if (info.getString("Hxd", "PerfMetricsTextfileDirectory", &dir) == 0) dir.clear();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  m_directory = dir;
  m_path = dir.empty() ? std::string() : dir + "/" + hxmetrics::TextfileName(instance);
  if (!dir.empty() && m_log != nullptr) {
    m_log->DebugLvl(kFunction, 1, "System Resource Monitor metrics textfile [%s]", m_path.c_str());
  }
}

int CHxPerfMetricsTick::OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                                    _PerfLogItems& items) {
  const int result = m_target != nullptr ? m_target->OnUpdateLog(agentType, objectName, items) : 1;
  if (!enabled()) return result;
  try {
    const std::string name = objectName != nullptr ? objectName : "";
    hxmetrics::ObjectRows& rows = m_pending[name];
    rows.object = name;
    rows.timeSeconds = m_env->NowSeconds();
    rows.batches.push_back(items);
    m_rowsSinceEntry += items.rows.size();
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
    m_up[UpKey{provider, static_cast<int>(entry.agentType)}] = entry.bInitOk && m_rowsSinceEntry > 0;
  } catch (...) {
    // Out of memory: the entry keeps its earlier state in the file.
  }
  m_rowsSinceEntry = 0;
  m_served = true;
}

void CHxPerfMetricsTick::EndTick() {
  if (!enabled()) return;
  const bool served = m_served;
  m_served = false;
  m_rowsSinceEntry = 0;
  if (!served && m_pending.empty()) return;
  std::string error;
  bool ok = false;
  try {
    for (auto& p : m_pending) m_latest[p.first] = std::move(p.second);
    m_pending.clear();
    std::vector<hxmetrics::ObjectRows> objects;
    objects.reserve(m_latest.size());
    for (const auto& o : m_latest) objects.push_back(o.second);
    std::vector<hxmetrics::ProviderUp> ups;
    for (const auto& u : m_up) ups.push_back({u.first.provider, u.first.agentType, u.second});
    const std::string text = hxmetrics::RenderMonitorMetrics(m_instance, objects, ups) +
                             MachineLimitGauges(m_instance);
    ok = hxmetrics::ReplaceFileAtomically(m_directory, hxmetrics::TextfileName(m_instance), text,
                                          &error);
  } catch (...) {
    // Out of memory: this tick's file is skipped, the previous one stays whole.
    m_pending.clear();
    error = "out of memory";
  }
  if (!ok && !m_lastWriteFailed && m_log != nullptr) {
    m_log->DebugLvl(kFunction, 1, "[ERROR] cannot write the metrics textfile [%s]: %s",
                    m_path.c_str(), error.c_str());
  }
  m_lastWriteFailed = !ok;
}
