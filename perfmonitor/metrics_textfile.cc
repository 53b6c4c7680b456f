#include "perfmonitor/metrics_textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>

#include "perfmonitor/exposition_text.h"
#include "perfmonitor/metrics_names.h"

namespace hxmetrics {
namespace {

// A row with the labels that identify it (rendered), and where its values are.
struct LabelledRow {
  size_t layout;
  const std::vector<std::string>* values;
  std::string labels;
};

struct Family {
  std::string name;
  std::string column;
};

// Column roles of one column list, shared by the batches that report it.
struct Layout {
  const std::vector<std::string>* columns;
  std::vector<const ColumnMetric*> metrics;  // per column
  std::vector<long> columnOf;                // per family: column index, or -1
};

void RenderObject(const std::string& instance, const ObjectRows& obj, ExpositionWriter& w) {
  // Families in the order their columns first appear. Providers repeat the
  // same columns in every batch: each distinct list is mapped once.
  std::vector<Family> families;
  std::map<std::string, size_t> familyIndex;
  std::map<std::string, ColumnMetric> mapped;
  std::vector<Layout> layouts;
  std::vector<size_t> layoutOf(obj.batches.size());
  for (size_t b = 0; b < obj.batches.size(); ++b) {
    const std::vector<std::string>& columns = obj.batches[b].columns;
    size_t l = 0;
    while (l < layouts.size() && *layouts[l].columns != columns) ++l;
    layoutOf[b] = l;
    if (l < layouts.size()) continue;
    layouts.push_back(Layout{&columns, {}, {}});
    Layout& layout = layouts.back();
    for (size_t j = 0; j < columns.size(); ++j) {
      auto known = mapped.find(columns[j]);
      if (known == mapped.end()) {
        known = mapped.emplace(columns[j], MapColumn(obj.object, columns[j])).first;
      }
      const ColumnMetric& m = known->second;
      layout.metrics.push_back(&m);
      if (m.kind != ColumnMetric::kFamily) continue;
      auto it = familyIndex.find(m.name);
      size_t f;
      if (it == familyIndex.end()) {
        f = families.size();
        familyIndex[m.name] = f;
        families.push_back({m.name, columns[j]});
      } else {
        f = it->second;
      }
      if (layout.columnOf.size() <= f) layout.columnOf.resize(f + 1, -1);
      if (layout.columnOf[f] < 0) layout.columnOf[f] = static_cast<long>(j);
    }
  }

  // Rows with their labels; a later row with the same labels replaces the
  // earlier one (a reader rejects two samples of one series).
  std::vector<LabelledRow> rows;
  std::unordered_map<std::string, size_t> byLabels;
  Labels labels;
  for (size_t b = 0; b < obj.batches.size(); ++b) {
    for (const std::vector<std::string>& values : obj.batches[b].rows) {
      labels.assign(1, Label("instance", instance));
      const Layout& layout = layouts[layoutOf[b]];
      for (size_t j = 0; j < values.size() && j < layout.metrics.size(); ++j) {
        const ColumnMetric& m = *layout.metrics[j];
        if (m.kind == ColumnMetric::kLabel) labels.push_back({m.name, values[j]});
      }
      LabelledRow r{layoutOf[b], &values, ExpositionWriter::LabelText(labels)};
      auto it = byLabels.find(r.labels);
      if (it == byLabels.end()) {
        byLabels.emplace(r.labels, rows.size());
        rows.push_back(std::move(r));
      } else {
        rows[it->second] = std::move(r);
      }
    }
  }

  for (size_t f = 0; f < families.size(); ++f) {
    w.BeginFamily(families[f].name,
                  "Column " + families[f].column + " of the " + obj.object + " perf log.", "gauge");
    for (const LabelledRow& r : rows) {
      const std::vector<long>& cols = layouts[r.layout].columnOf;
      if (f >= cols.size() || cols[f] < 0) continue;
      const size_t j = static_cast<size_t>(cols[f]);
      if (j >= r.values->size() || !IsDecimalNumber((*r.values)[j])) continue;
      w.AddUniqueSample(r.labels, (*r.values)[j]);
    }
  }
  w.BeginFamily(ObjectPrefix(obj.object) + "_timestamp_seconds",
                "Time of the latest " + obj.object + " rows, in seconds since the epoch.", "gauge");
  w.AddSample({{"instance", instance}}, std::to_string(static_cast<unsigned long long>(obj.timeSeconds)));
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

std::string RenderMonitorMetrics(const std::string& instance, const std::vector<ObjectRows>& objects,
                                 const std::vector<ProviderUp>& providers) {
  ExpositionWriter w;
  for (const ObjectRows& obj : objects) RenderObject(instance, obj, w);
  w.BeginFamily("halvex_monitor_provider_up",
                "1 when the provider's last update of the agent type reported rows, else 0.",
                "gauge");
  for (const ProviderUp& p : providers) {
    w.AddSample({{"instance", instance}, {"provider", p.provider},
                 {"agent_type", std::to_string(p.agentType)}},
                p.up ? "1" : "0");
  }
  return w.Finish();
}

std::string TextfileName(const std::string& instance) {
  std::string safe = instance;
  for (char& c : safe) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '.' || c == '-';
    if (!ok) c = '_';
  }
  return "halvex_" + safe + ".prom";
}

bool ReplaceFileAtomically(const std::string& dir, const std::string& name,
                           const std::string& content, std::string* error) {
  const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[48];
    snprintf(suffix, sizeof(suffix), ".%ld.%u.tmp", static_cast<long>(getpid()),
             g_tempCounter.fetch_add(1));
    temp = base + "." + name + suffix;
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create " + temp + ": " + strerror(errno);
    return false;
  }
  const char* failed = nullptr;
  int err = 0;
  // The mode is not left to the umask: the collector may run as another user.
  if (fchmod(fd, 0644) != 0) {
    failed = "chmod";
    err = errno;
  }
  for (size_t done = 0; failed == nullptr && done < content.size();) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = "write";
      err = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (failed == nullptr && fsync(fd) != 0) {
    failed = "fsync";
    err = errno;
  }
  if (close(fd) != 0 && failed == nullptr) {
    failed = "close";
    err = errno;
  }
  if (failed == nullptr && rename(temp.c_str(), (base + name).c_str()) != 0) {
    failed = "rename";
    err = errno;
  }
  if (failed != nullptr) {
    unlink(temp.c_str());
    *error = std::string(failed) + " of " + temp + " failed: " + strerror(err);
    return false;
  }
  return true;
}

}  // namespace hxmetrics
