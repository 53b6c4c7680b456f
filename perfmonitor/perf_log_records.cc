// Reported rows: CSV lines, metrics text, policy hand-off.

#include <cstdio>
#include <ctime>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_metrics.h"

namespace {

// A value holding a comma is quoted, its own double quotes doubled so that
// the field reads back as the value. Other values are written as they are.
void AppendCsvValue(std::string& line, const std::string& value) {
  if (value.find(',') == std::string::npos) {
    line += value;
    return;
  }
  line += '"';
  for (char c : value) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

std::string FormatTime(const struct tm& tm, const char* format) {
  char buffer[80];
  const size_t n = strftime(buffer, sizeof(buffer), format, &tm);
  return n == 0 ? std::string(" - ") : std::string(buffer, n);
}

}  // namespace

int CHxPerfManager::OnUpdateLog(ResourceAgentType agentType, const char* objectName,
                                _PerfLogItems& items) {
  const time_t now = static_cast<time_t>(m_env->NowSeconds());
  // Policy timestamp: the UTC broken-down time read back as local time.
  int32_t policyTime = 0;
  {
    struct tm utc;
    if (gmtime_r(&now, &utc) != nullptr) policyTime = static_cast<int32_t>(mktime(&utc));
  }
  if (!m_bInitialized) return 1;

  std::string date = " - ", clock = " - ";
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) {
    date = FormatTime(local, "%m/%d/%y");
    clock = FormatTime(local, "%H:%M:%S");
  }

  const std::string name = objectName != nullptr ? objectName : "";
  const std::string key = name + "-" + items.version;
  CUaFile file;
  if (!OpenLogfile(file, key.c_str(), items.columns)) return 1;

  const size_t columnCount = items.columns.size();
  for (const std::vector<std::string>& row : items.rows) {
    std::string line = date + "," + clock + ",";
    std::string metrics;
    for (size_t j = 0; j < row.size(); ++j) {
      const std::string& value = row[j];
      AppendCsvValue(line, value);
      if (j + 1 < row.size()) line += ",";
      // Values beyond the column list have no name: they stay in the CSV line
      // but cannot be named in the metrics text.
      if (j >= columnCount || value.empty()) continue;
      const std::string& column = items.columns[j];
      if (column.find("Arguments") != std::string::npos) continue;
      std::string label = column;
      for (char& c : label) {
        if (c == '-') c = '_';
      }
      metrics += label + ":[" + value + "] ";
    }
    line += "\r\n";
    HxMetricsCollector::DumpStaticData("System Resource", name.c_str(), metrics.c_str());

    if (m_pfnPolicyCallback.load() != nullptr) {
      std::vector<std::string> values;
      values.reserve(row.size() + 1);
      char stamp[16];
      snprintf(stamp, sizeof(stamp), "%d", static_cast<int>(policyTime));
      values.push_back(stamp);
      values.insert(values.end(), row.begin(), row.end());
      // Skipped once a stop is requested: Stop may be waiting for this thread.
      if (!m_bStopRequested) {
        HxCriticalSectionGuard guard(m_lock);
        unsigned long id1 = 0, id2 = 0;
        PolicyDataCallback callback = m_pfnPolicyCallback.load();
        if (callback != nullptr && GetPolicyID(agentType, id1, id2)) callback(id1, id2, values);
      }
    }

    size_t written = 0;
    file.Write(line.data(), line.size(), &written);
  }
  file.Close();
  return 0;
}

bool CHxPerfManager::GetPolicyID(ResourceAgentType type, unsigned long& policyId1,
                                 unsigned long& policyId2) {
  for (const GenericResourcePolicyDetails& p : m_policies) {
    if (p.agentType == type) {
      policyId1 = p.policyId1;
      policyId2 = p.policyId2;
      return true;
    }
  }
  return false;
}
