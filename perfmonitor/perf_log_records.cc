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
  const time_t now = static_cast<time_t>(env_->NowSeconds());
  // Policy timestamp: the UTC broken-down time read back as local time. Only
  // a policy callback uses it, so it is formed (once) when one is attached:
  // mktime reads the time-zone file on every call.
  std::string policyStamp;
  const auto policyTime = [&]() -> const std::string& {
    if (policyStamp.empty()) {
      int32_t seconds = 0;
      struct tm utc;
      if (gmtime_r(&now, &utc) != nullptr) seconds = static_cast<int32_t>(mktime(&utc));
      char stamp[16];
      snprintf(stamp, sizeof(stamp), "%d", static_cast<int>(seconds));
      policyStamp = stamp;
    }
    return policyStamp;
  };
  if (!m_bInitialized) return 1;

  std::string date = " - ", clock = " - ";
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) {
    date = FormatTime(local, "%m/%d/%y");
    clock = FormatTime(local, "%H:%M:%S");
  }

  const std::string name = objectName != nullptr ? objectName : "";
  const std::string key = name + "-" + items.version;
  CUaFile* file = CurrentLogFile(key, items.columns);
  if (file == nullptr) return 1;

  // Lines are gathered and written a block at a time, each block in one
  // write, so rows of one batch are appended together.
  const size_t kFlushBytes = 64 * 1024;
  std::string block;
  const auto flush = [&] {
    size_t written = 0;
    if (!block.empty()) file->Write(block.data(), block.size(), &written);  // errors are not examined
    block.clear();
  };
  // What every row shares, formed once: the line's start and, per column, the
  // metrics label ("-" made "_", then ":[") or "" for a column left out of
  // the metrics text (its name holds "Arguments").
  const std::string lineStart = date + "," + clock + ",";
  const size_t columnCount = items.columns.size();
  std::vector<std::string> labels(columnCount);
  for (size_t j = 0; j < columnCount; ++j) {
    const std::string& column = items.columns[j];
    if (column.find("Arguments") != std::string::npos) continue;
    labels[j] = column;
    for (char& c : labels[j]) {
      if (c == '-') c = '_';
    }
    labels[j] += ":[";
  }
  std::string metrics;
  for (const std::vector<std::string>& row : items.rows) {
    block += lineStart;
    metrics.clear();
    for (size_t j = 0; j < row.size(); ++j) {
      const std::string& value = row[j];
      AppendCsvValue(block, value);
      if (j + 1 < row.size()) block += ',';
      // Values beyond the column list have no name: they stay in the CSV line
      // but cannot be named in the metrics text.
      if (j >= columnCount || value.empty() || labels[j].empty()) continue;
      metrics += labels[j];
      metrics += value;
      metrics += "] ";
    }
    block += "\r\n";
    HxMetricsCollector::DumpStaticData("System Resource", name.c_str(), metrics.c_str());

    if (m_pfnPolicyCallback.load() != nullptr) {
      std::vector<std::string> values;
      values.reserve(row.size() + 1);
      values.push_back(policyTime());
      values.insert(values.end(), row.begin(), row.end());
      // Skipped once a stop is requested: Stop may be waiting for this thread.
      if (!m_bStopRequested) {
        HxCriticalSectionGuard guard(m_lock);
        unsigned long id1 = 0, id2 = 0;
        PolicyDataCallback callback = m_pfnPolicyCallback.load();
        if (callback != nullptr && GetPolicyID(agentType, id1, id2)) callback(id1, id2, values);
      }
    }

    if (block.size() >= kFlushBytes) flush();
  }
  flush();
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
