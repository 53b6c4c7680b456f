#include "tools/table_session.h"

#include <unistd.h>

#include <cinttypes>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "tools/commands.h"
#include "tools/instance.h"
#include "tools/text_table.h"

namespace hxctl {
namespace {

class Collector : public IEnumerateJobInfoCallback {
 public:
  explicit Collector(std::vector<JobSnapshot>* jobs) : jobs_(jobs) {}
  int OnThrottelingInfo(void*, _TMJobInfo* job, _TMStreamInfo* streams,
                        unsigned int streamCount) override {
    JobSnapshot snap;
    snap.job = *job;
    snap.streams.assign(streams, streams + streamCount);
    jobs_->push_back(std::move(snap));
    return 0;
  }

 private:
  std::vector<JobSnapshot>* jobs_;
};

std::string Seconds(uint32_t now, uint32_t then) {
  if (then == 0 || then > now) return "-";
  return FormatU64(now - then) + "s";
}

}  // namespace

TableSession::~TableSession() {
  if (attached_) manager_.Uninitialize();
}

bool TableSession::Open(const char* command, const std::string& focus,
                        const std::string& kindName, int* status) {
  const TableKindInfo* info = FindTableKind(kindName.empty() ? "out" : kindName);
  if (!info) {
    *status = Fail(command, kExitUsage,
                   "unknown table kind '" + kindName + "' (expected out, in, cloud-out or cloud-in)");
    return false;
  }
  kind_ = info->kind;
  focus_ = ApplyFocus(focus);
  std::string error;
  if (!InstanceExists(focus_, &error) || !TableExists(focus_, kind_, &error)) {
    *status = Fail(command, kExitNotFound, error);
    return false;
  }
  logTag_ = static_cast<unsigned int>(getpid());
  if (manager_.Initialize(focus_.c_str(), logTag_, kind_) != 0) {
    *status = Fail(command, kExitFailure,
                   std::string("cannot attach the ") + info->title + " table of instance '" +
                       focus_ + "' (reason in the debug log " + EvDebug::LogFilePath() + ")");
    return false;
  }
  attached_ = true;
  return true;
}

bool TableSession::Snapshot(TableSnapshot* out) {
  out->jobs.clear();
  Collector collector(&out->jobs);
  if (manager_.GetMachineLimitInfo(out->limit) != 0) return false;
  if (manager_.SnapshotJobsInfo(nullptr, &collector) != 0) return false;
  out->takenAt = HxEnv::Default()->NowSeconds();
  return true;
}

std::string DescribeStreamFlags(uint32_t flags) {
  char hex[16];
  snprintf(hex, sizeof(hex), "0x%" PRIx32, flags);
  std::string text = hex;
  std::string letters;
  if (flags & 0x2) letters += "U";
  if (flags & 0x4) letters += "L";
  if (!letters.empty()) text += " " + letters;
  return text;
}

const char* LimitSourceName(uint32_t source) {
  switch (source) {
    case kTMLimitFromSchedule: return "schedule";
    case kTMLimitSetByHand: return "set by hand";
    case kTMLimitFromFleet: return "fleet share";
    default: return "configuration";
  }
}

std::string LocalMinute(uint32_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm tm;
  char text[32];
  if (!localtime_r(&t, &tm) || strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &tm) == 0) return "?";
  return text;
}

namespace {

std::string Mbph(uint32_t mbph) { return mbph ? FormatU64(mbph) + " MBPH" : "none"; }

}  // namespace

std::vector<std::string> RenderTable(const std::string& focus, unsigned int kind,
                                     const TableSnapshot& snap) {
  size_t streamCount = 0;
  for (const JobSnapshot& j : snap.jobs) streamCount += j.streams.size();
  std::vector<std::string> lines;
  lines.push_back(std::string(TableKindOf(kind).title) + " throttle table of instance " + focus +
                  ": machine limit " + Mbph(snap.limit.LimitMBPH) + " (" +
                  LimitSourceName(snap.limit.Source) +
                  (snap.limit.ConfiguredMBPH != snap.limit.LimitMBPH
                       ? "; configured " + Mbph(snap.limit.ConfiguredMBPH)
                       : std::string()) +
                  "), " + FormatU64(snap.jobs.size()) + " job(s), " + FormatU64(streamCount) +
                  " stream(s)");
  if (snap.limit.NextChangeTime != 0) {
    lines.push_back("next scheduled change: " + LocalMinute(snap.limit.NextChangeTime) + ", to " +
                    Mbph(snap.limit.NextLimitMBPH));
  }
  if (snap.jobs.empty()) {
    lines.push_back("(no job has a registered stream)");
    return lines;
  }
  TextTable t;
  t.AddColumn("JOB", TextTable::kLeft);
  t.AddColumn("STREAM HANDLE", TextTable::kLeft);
  t.AddColumn("LIMIT", TextTable::kRight);
  t.AddColumn("MBPH/STREAM", TextTable::kRight);
  t.AddColumn("STREAMS", TextTable::kRight);
  t.AddColumn("MOVED", TextTable::kRight);
  t.AddColumn("AGE", TextTable::kRight);
  t.AddColumn("IDLE", TextTable::kRight);
  t.AddColumn("FLAGS", TextTable::kLeft);
  t.AddColumn("RCID", TextTable::kRight);
  t.AddColumn("TYPE", TextTable::kRight);
  t.AddColumn("COMPUTER", TextTable::kLeft);
  for (const JobSnapshot& j : snap.jobs) {
    uint64_t moved = j.job.JobSizeProcessed;
    for (const _TMStreamInfo& s : j.streams) moved += s.SizeProcessed;
    t.AddRow({FormatU64(j.job.JobID), "", j.job.ThrottleMBPH ? FormatU64(j.job.ThrottleMBPH) : "none",
              FormatMbph(j.job.PerStreamMBPH, true), FormatU64(j.job.ActiveStreamCount),
              FormatBytes(moved), Seconds(snap.takenAt, j.job.StartTime), "", "", "", "", ""});
    for (const _TMStreamInfo& s : j.streams) {
      char handle[24];
      snprintf(handle, sizeof(handle), "%016" PRIx64, s.Handle);
      std::string computer(s.ComputerName, strnlen(s.ComputerName, sizeof(s.ComputerName)));
      t.AddRow({"", std::string("  ") + handle, "", "", "", FormatBytes(s.SizeProcessed),
                Seconds(snap.takenAt, s.StartTime), Seconds(snap.takenAt, s.LatUpdateTime),
                DescribeStreamFlags(s.Flags), FormatU64(s.RCID), FormatU64(s.Type[0]),
                computer});
    }
  }
  for (std::string& line : t.Render()) lines.push_back(std::move(line));
  return lines;
}

}  // namespace hxctl
