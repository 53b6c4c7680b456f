// hxctl limit: set the machine's or one job's limit on a live throttle table.
#include <cstdio>
#include <ctime>

#include "throttling/throughput_schedule.h"

#include "tools/commands.h"
#include "tools/instance.h"
#include "tools/table_session.h"
#include "tools/text_table.h"

namespace hxctl {

namespace {

const char* const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Prints the next seven changes of a timetable from now, or why it is refused.
int CheckSchedule(const std::string& text) {
  hx::ThroughputSchedule schedule;
  std::string error;
  if (!schedule.Parse(text, &error)) {
    return Fail("limit", kExitUsage, "ThroughputSchedule: " + error);
  }
  if (schedule.empty()) {
    printf("empty timetable: ComputerThroughputMBPH applies\n");
    return kExitOk;
  }
  int64_t now = HxEnv::Default()->NowSeconds(), next = 0;
  printf("now: %s\n", hx::FormatScheduleLimits(schedule.At(now, &next)).c_str());
  hx::ScheduleLimits limits;
  int shown = 0;
  for (; shown < 7 && schedule.NextChange(now, &now, &limits); ++shown) {
    const time_t t = static_cast<time_t>(now);
    struct tm tm;
    localtime_r(&t, &tm);
    printf("%s %s  %s\n", LocalMinute(static_cast<uint32_t>(now)).c_str(), kWeekdays[tm.tm_wday % 7],
           hx::FormatScheduleLimits(limits).c_str());
  }
  if (shown == 0) printf("the limit never changes\n");
  return kExitOk;
}

}  // namespace

int RunLimit(const ParsedArgs& args) {
  const int given = args.Has("machine") + args.Has("job") + args.Has("schedule-check");
  if (given != 1) {
    return Fail("limit", kExitUsage,
                "give exactly one of --machine MBPH, --job ID MBPH and --schedule-check TEXT\n"
                "run 'hxctl limit --help' for usage");
  }
  if (args.Has("schedule-check")) return CheckSchedule(args.Value("schedule-check"));
  std::string error;
  uint32_t mbph = 0, jobId = 0;
  if (args.Has("machine")) {
    if (!ParseNumber32("--machine", args.Value("machine"), 0, UINT32_MAX, &mbph, &error)) {
      return Fail("limit", kExitUsage, error);
    }
  } else {
    const std::vector<std::string>& v = args.Values("job");
    if (!ParseNumber32("the job id of --job", v[0], 0, UINT32_MAX, &jobId, &error) ||
        !ParseNumber32("the MBPH of --job", v[1], 0, UINT32_MAX, &mbph, &error)) {
      return Fail("limit", kExitUsage, error);
    }
  }

  ApplyRegistry(args.Value("registry"));
  TableSession session;
  int status = kExitOk;
  if (!session.Open("limit", args.Value("focus"), args.Value("kind"), &status)) return status;
  const std::string table = std::string(TableKindOf(session.kind()).title) + " table of instance " +
                            session.focus();
  if (args.Has("machine")) {
    uint32_t now = 0;
    if (session.manager().SetComputerMaxThroghput(mbph) != 0 ||
        session.manager().GetComputerThroughput(now) != 0) {
      return Fail("limit", kExitFailure, "cannot set the machine limit (table lock failed)");
    }
    printf("%s: machine limit now %s\n", table.c_str(),
           now ? (FormatU64(now) + " MBPH").c_str() : "none");
    if (session.kind() <= 2) {
      printf("note: it lasts until the next scheduled change or clean-up pass, which\n"
             "apply the configured \"Hxd\" ThroughputSchedule or ComputerThroughputMBPH.\n");
    }
  } else {
    TableSnapshot before;
    bool known = false;
    if (session.Snapshot(&before)) {
      for (const JobSnapshot& j : before.jobs) known = known || j.job.JobID == jobId;
    }
    if (session.manager().SetJobMaxThroghput(jobId, mbph) != 0) {
      return Fail("limit", kExitFailure, "cannot set the job limit (table lock failed)");
    }
    printf("%s: job %s limit now %s\n", table.c_str(), FormatU64(jobId).c_str(),
           mbph ? (FormatU64(mbph) + " MBPH").c_str() : "none");
    if (!known) {
      printf("note: job %s has no stream in the table; a job slot now holds its limit until\n"
             "its streams have registered and ended.\n",
             FormatU64(jobId).c_str());
    }
  }
  return kExitOk;
}

}  // namespace hxctl
