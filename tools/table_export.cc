#include "tools/table_export.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "perfmonitor/exposition_text.h"
#include "throttling/throttle_table.h"
#include "tools/instance.h"
#include "tools/text_table.h"

namespace hxctl {
namespace {

std::string Hex16(uint64_t v) {
  char text[24];
  snprintf(text, sizeof(text), "%016" PRIx64, v);
  return text;
}

// Appends "name":value pairs to a JSON object under construction.
class JsonObject {
 public:
  JsonObject& Number(const char* name, uint64_t v) { return Raw(name, FormatU64(v)); }
  JsonObject& Bool(const char* name, bool v) { return Raw(name, v ? "true" : "false"); }
  JsonObject& String(const char* name, const std::string& v) { return Raw(name, JsonString(v)); }
  JsonObject& Raw(const char* name, const std::string& json) {
    text_ += text_.empty() ? "{" : ",";
    text_ += JsonString(name) + ":" + json;
    return *this;
  }
  std::string Done() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

}  // namespace

uint64_t JobProcessedBytes(const JobSnapshot& job) {
  uint64_t moved = job.job.JobSizeProcessed;
  for (const _TMStreamInfo& s : job.streams) moved += s.SizeProcessed;
  return moved;
}

TableFigures ComputeFigures(unsigned int kind, const TableSnapshot& snap, uint64_t processedTotal) {
  TableFigures f;
  f.kind = kind;
  f.processedTotal = processedTotal;
  f.snap = snap;
  for (const JobSnapshot& j : snap.jobs) {
    f.streams += static_cast<uint32_t>(j.streams.size());
    for (const _TMStreamInfo& s : j.streams) {
      if (s.Flags & kTMStreamUnresponsive) ++f.unresponsive;
    }
  }
  return f;
}

std::string RenderTablesMetrics(const std::string& instance, const std::vector<TableFigures>& tables) {
  using hxmetrics::Labels;
  struct TableFamily {
    const char* name;
    const char* help;
    const char* type;
    uint64_t (*value)(const TableFigures&);
  };
  static const TableFamily kTableFamilies[] = {
      {"halvex_table_machine_limit_megabytes_per_hour",
       "Machine throughput limit of the throttle table in MB per hour; 0 = no limit.", "gauge",
       [](const TableFigures& t) -> uint64_t { return t.snap.limit.LimitMBPH; }},
      {"halvex_table_machine_limit_next_change_timestamp_seconds",
       "When the machine limit's timetable changes it next (seconds since the epoch); 0 = "
       "no change scheduled.",
       "gauge", [](const TableFigures& t) -> uint64_t { return t.snap.limit.NextChangeTime; }},
      {"halvex_table_jobs", "Jobs with streams in the throttle table.", "gauge",
       [](const TableFigures& t) -> uint64_t { return t.snap.jobs.size(); }},
      {"halvex_table_streams", "Registered streams in the throttle table.", "gauge",
       [](const TableFigures& t) -> uint64_t { return t.streams; }},
      {"halvex_table_unresponsive_streams",
       "Streams without a rate query for over 600 seconds.", "gauge",
       [](const TableFigures& t) -> uint64_t { return t.unresponsive; }},
      {"halvex_table_processed_bytes_total", "Bytes processed by the streams of the table.",
       "counter", [](const TableFigures& t) -> uint64_t { return t.processedTotal; }},
  };
  struct JobFamily {
    const char* name;
    const char* help;
    const char* type;
    uint64_t (*value)(const JobSnapshot&);
  };
  static const JobFamily kJobFamilies[] = {
      {"halvex_job_limit_megabytes_per_hour", "The job's own limit in MB per hour; 0 = none.",
       "gauge", [](const JobSnapshot& j) -> uint64_t { return j.job.ThrottleMBPH; }},
      {"halvex_job_stream_rate_megabytes_per_hour",
       "Rate allotted to each throttled stream of the job, in MB per hour.", "gauge",
       [](const JobSnapshot& j) -> uint64_t { return j.job.PerStreamMBPH; }},
      {"halvex_job_streams", "Registered streams of the job.", "gauge",
       [](const JobSnapshot& j) -> uint64_t { return j.job.ActiveStreamCount; }},
      {"halvex_job_processed_bytes_total", "Bytes processed by the job's streams.", "counter",
       [](const JobSnapshot& j) -> uint64_t { return JobProcessedBytes(j); }},
  };

  hxmetrics::ExpositionWriter w;
  for (const TableFamily& f : kTableFamilies) {
    w.BeginFamily(f.name, f.help, f.type);
    for (const TableFigures& t : tables) {
      w.AddSample({{"instance", instance}, {"table", TableKindOf(t.kind).title}},
                  FormatU64(f.value(t)));
    }
  }
  for (const JobFamily& f : kJobFamilies) {
    w.BeginFamily(f.name, f.help, f.type);
    for (const TableFigures& t : tables) {
      for (const JobSnapshot& j : t.snap.jobs) {
        w.AddSample({{"instance", instance}, {"table", TableKindOf(t.kind).title},
                     {"job", FormatU64(j.job.JobID)}},
                    FormatU64(f.value(j)));
      }
    }
  }
  return w.Finish();
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : hxmetrics::ValidUtf8(text)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned>(u));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string RenderTableJson(const std::string& instance, const TableFigures& t) {
  std::string jobs = "[";
  for (const JobSnapshot& j : t.snap.jobs) {
    std::string streams = "[";
    for (const _TMStreamInfo& s : j.streams) {
      if (streams.size() > 1) streams += ",";
      streams += JsonObject()
                     .String("handle", Hex16(s.Handle))
                     .Number("rcid", s.RCID)
                     .Number("flags", s.Flags)
                     .Bool("unresponsive", (s.Flags & kTMStreamUnresponsive) != 0)
                     .Bool("not_throttled", (s.Flags & kTMStreamNotThrottled) != 0)
                     .Number("processed_bytes", s.SizeProcessed)
                     .Number("start_time", s.StartTime)
                     .Number("last_update_time", s.LatUpdateTime)
                     .Number("type", s.Type[0])
                     .String("computer",
                             std::string(s.ComputerName, strnlen(s.ComputerName, sizeof(s.ComputerName))))
                     .Done();
    }
    streams += "]";
    if (jobs.size() > 1) jobs += ",";
    jobs += JsonObject()
                .Number("job", j.job.JobID)
                .Number("limit_mbph", j.job.ThrottleMBPH)
                .Number("per_stream_mbph", j.job.PerStreamMBPH)
                .Number("stream_count", j.job.ActiveStreamCount)
                .Number("processed_bytes", JobProcessedBytes(j))
                .Number("start_time", j.job.StartTime)
                .Raw("streams", streams)
                .Done();
  }
  jobs += "]";
  return JsonObject()
             .String("instance", instance)
             .String("table", TableKindOf(t.kind).title)
             .Number("taken_at", t.snap.takenAt)
             .Number("machine_limit_mbph", t.snap.limit.LimitMBPH)
             .String("machine_limit_source", LimitSourceName(t.snap.limit.Source))
             .Number("configured_machine_limit_mbph", t.snap.limit.ConfiguredMBPH)
             .Number("next_limit_change_time", t.snap.limit.NextChangeTime)
             .Number("next_machine_limit_mbph", t.snap.limit.NextLimitMBPH)
             .Number("job_count", t.snap.jobs.size())
             .Number("stream_count", t.streams)
             .Number("unresponsive_streams", t.unresponsive)
             .Number("processed_bytes_total", t.processedTotal)
             .Raw("jobs", jobs)
             .Done() +
         "\n";
}

}  // namespace hxctl
