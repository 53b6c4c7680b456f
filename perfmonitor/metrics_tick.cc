#include "perfmonitor/metrics_tick.h"

#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"

namespace {
const char kFunction[] = "CHxPerfMetricsTick";
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
    const std::string text = hxmetrics::RenderMonitorMetrics(m_instance, objects, ups);
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
