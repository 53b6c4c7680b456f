// hxctl demo: the self-contained scenario. This process plays the daemon
// (tables re-initialised, resource monitor with a one-second tick) and forks
// the job processes before it starts any thread; then it follows the plan,
// shows the live table, and at the end stops everything, checks that nothing
// is left and prints the summary.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "perfmonitor/monitor_handle.h"
#include "platform/monotonic_clock.h"
#include "throttling/throttling_manager.h"
#include "tools/commands.h"
#include "tools/demo_job.h"
#include "tools/demo_plan.h"
#include "tools/demo_state.h"
#include "tools/demo_view.h"
#include "tools/instance.h"
#include "tools/live_display.h"
#include "tools/text_table.h"

namespace hxctl {
namespace {

volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

std::string At(uint64_t ms) { return "t=" + FormatU64(ms / 1000) + "s"; }

const char* TableName(unsigned int kind) { return TableKindOf(kind).option; }

struct JobTrack {
  DemoJobPlan plan;
  pid_t controller = -1;
  bool controllerReaped = false;
  pid_t worker = -1;
  bool workerReaped = false;
  bool seen = false;
  JobStatusMsg last{};
  std::deque<std::pair<uint64_t, uint64_t>> history;  // (elapsed ms, bytes)
  bool announcedRunning = false;
  bool announcedEnd = false;
  bool killed = false;

  bool Done() const {
    return seen && (last.state == kJobFinished || last.state == kJobFailed ||
                    last.state == kJobStreamsRemoved);
  }
};

// One table's content as the data-size summary gives it.
struct TableTotals {
  bool ok = false;
  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs;
  uint32_t streams() const {
    uint32_t n = 0;
    for (const auto& j : jobs) n += j.ActiveStreamCount;
    return n;
  }
  bool HasJob(uint32_t id) const {
    for (const auto& j : jobs) {
      if (j.JobID == id) return true;
    }
    return false;
  }
};

TableTotals ReadTotals(CHxThrottlingManager& m) {
  TableTotals t;
  t.ok = m.GetDataSizeInfo(t.total, t.jobs) == 0;
  return t;
}

class DemoRun {
 public:
  DemoRun(const DemoOptions& options, DemoInstance& instance)
      : options_(options),
        instance_(instance),
        plan_(MakeDemoPlan(options)),
        display_(stdout, StdoutIsTerminal() && !options.plain) {}

  int Run();

 private:
  bool ForkJobs(std::string* error);
  void Drain();
  void Reap(bool block);
  // Events for jobs that started or ended since the last call.
  void AnnounceJobs(uint64_t ms);
  // AnnounceJobs, then the plan's steps that are due: limit change, kill.
  void FollowPlan(uint64_t ms);
  void Refresh(uint64_t ms);
  std::vector<std::string> Block(uint64_t ms);
  void Event(uint64_t ms, const std::string& text) { display_.Event(At(ms) + "  " + text); }
  void StopWorkers(int sig);
  bool AllJobsDone() const;
  bool AnyChildLeft() const;
  int Finish(uint64_t ms, bool daemonUp, bool monitorUp);

  DemoOptions options_;
  DemoInstance& instance_;
  DemoPlan plan_;
  LiveDisplay display_;
  std::vector<JobTrack> jobs_;
  int goWrite_ = -1;
  int statusRead_ = -1;
  uint32_t machineMbph_ = 0;
  bool limitChanged_ = false;
  bool killDone_ = false;
  uint64_t killedAtMs_ = 0;
  bool removalSeen_ = false;
  uint64_t removedAtMs_ = 0;
  uint64_t lastRefresh_ = 0;
  bool refreshedOnce_ = false;
  std::vector<std::string> problems_;
};

bool DemoRun::ForkJobs(std::string* error) {
  int go[2], status[2];
  if (pipe(go) != 0 || pipe(status) != 0) {
    *error = std::string("cannot create pipes: ") + strerror(errno);
    return false;
  }
  // Workers never block on a full pipe (they drop a report); the demo polls.
  fcntl(status[1], F_SETFL, fcntl(status[1], F_GETFL) | O_NONBLOCK);
  fcntl(status[0], F_SETFL, fcntl(status[0], F_GETFL) | O_NONBLOCK);
  fcntl(go[1], F_SETFD, FD_CLOEXEC);
  fcntl(status[0], F_SETFD, FD_CLOEXEC);
  goWrite_ = go[1];
  statusRead_ = status[0];
  fflush(stdout);
  fflush(stderr);
  for (const DemoJobPlan& p : plan_.jobs) {
    JobTrack t;
    t.plan = p;
    pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      close(status[0]);
      RunJobController(p, instance_.focus(), go[0], status[1]);
    }
    if (pid < 0) {
      *error = std::string("cannot start a job process: ") + strerror(errno);
      close(go[0]);
      close(status[1]);
      return false;
    }
    t.controller = pid;
    jobs_.push_back(t);
  }
  close(go[0]);
  close(status[1]);
  return true;
}

void DemoRun::Drain() {
  JobStatusMsg m;
  for (;;) {
    ssize_t n = read(statusRead_, &m, sizeof(m));
    if (n != static_cast<ssize_t>(sizeof(m))) return;
    if (m.index >= jobs_.size()) continue;
    JobTrack& t = jobs_[m.index];
    if (t.Done()) continue;  // a final report is final
    t.seen = true;
    t.last = m;
    t.worker = static_cast<pid_t>(m.workerPid);
    t.history.emplace_back(m.elapsedMs, m.bytes);
    while (t.history.size() > 2 && m.elapsedMs - t.history.front().first > 2000) {
      t.history.pop_front();
    }
  }
}

void DemoRun::Reap(bool block) {
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, block ? 0 : WNOHANG);
    if (pid <= 0) return;
    for (JobTrack& t : jobs_) {
      if (pid == t.controller) t.controllerReaped = true;
      if (pid == t.worker) t.workerReaped = true;
    }
  }
}

bool DemoRun::AllJobsDone() const {
  for (const JobTrack& t : jobs_) {
    // A job is over when its worker said so, or when its processes are gone
    // (a worker that died says nothing; the controller of a live worker only
    // ends early when the demo kills it).
    bool gone = t.killed ? (t.worker > 0 && t.workerReaped) : t.controllerReaped;
    if (!t.Done() && !gone) return false;
  }
  return true;
}

bool DemoRun::AnyChildLeft() const {
  for (const JobTrack& t : jobs_) {
    if (!t.controllerReaped && kill(t.controller, 0) == 0) return true;
    if (t.worker > 0 && !t.workerReaped && kill(t.worker, 0) == 0) return true;
  }
  return false;
}

void DemoRun::StopWorkers(int sig) {
  for (JobTrack& t : jobs_) {
    if (t.worker > 0 && !t.workerReaped) kill(t.worker, sig);
    if (sig == SIGKILL && !t.controllerReaped) kill(t.controller, sig);
  }
}

void DemoRun::AnnounceJobs(uint64_t ms) {
  for (JobTrack& t : jobs_) {
    if (t.seen && t.last.state == kJobRunning && !t.announcedRunning) {
      t.announcedRunning = true;
      Event(ms, "job " + FormatU64(t.plan.jobId) + " registered " + FormatU64(t.plan.streams) +
                    " " + TableKindOf(t.plan.kind).title + " stream(s), " +
                    (t.plan.limitMbph ? "job limit " + FormatU64(t.plan.limitMbph) + " MBPH"
                                      : "no job limit"));
    }
    if (t.Done() && !t.announcedEnd) {
      t.announcedEnd = true;
      if (t.last.state == kJobFinished) {
        Event(ms, "job " + FormatU64(t.plan.jobId) + " finished after moving " +
                      FormatBytes(t.last.bytes) + "; its streams are unregistered");
      } else if (t.last.state == kJobStreamsRemoved) {
        Event(ms, "job " + FormatU64(t.plan.jobId) +
                      "'s worker found its stream handles stale (streams removed) and detached");
      } else {
        Event(ms, "job " + FormatU64(t.plan.jobId) + " FAILED to attach or register (see " +
                      instance_.debugLog() + ")");
        problems_.push_back("job " + FormatU64(t.plan.jobId) + " failed to register");
      }
    }
  }
}

void DemoRun::FollowPlan(uint64_t ms) {
  AnnounceJobs(ms);

  if (!limitChanged_ && ms >= plan_.limitChangeMs) {
    limitChanged_ = true;
    std::string error;
    uint32_t before = machineMbph_;
    // The configuration is what every registration re-reads; the tables get
    // the new value at once.
    if (!instance_.SetConfiguredMachineLimit(plan_.newMachineMbph, &error) ||
        g_ThrottlingManagerOut.SetComputerMaxThroghput(plan_.newMachineMbph) != 0 ||
        g_ThrottlingManagerIn.SetComputerMaxThroghput(plan_.newMachineMbph) != 0) {
      problems_.push_back("could not change the machine limit " + error);
    }
    machineMbph_ = plan_.newMachineMbph;
    Event(ms, "machine limit " + FormatU64(before) + " -> " + FormatU64(machineMbph_) +
                  " MBPH on the outbound and inbound tables; every stream's share is recomputed");
  }

  JobTrack& victim = jobs_[plan_.killIndex];
  if (!killDone_ && ms >= plan_.killMs) {
    killDone_ = true;
    killedAtMs_ = ms;
    if (!victim.controllerReaped && kill(victim.controller, SIGKILL) == 0) {
      victim.killed = true;
      // Reap it now: the clean-up counts a zombie as alive.
      int status = 0;
      while (waitpid(victim.controller, &status, 0) < 0 && errno == EINTR) {
      }
      victim.controllerReaped = true;
      Event(ms, "killed job " + FormatU64(victim.plan.jobId) + "'s controlling process (pid " +
                    FormatU64(static_cast<uint64_t>(victim.controller)) +
                    ") with SIGKILL; the table names it as the owner of the streams its "
                    "worker registered, which stay until the next registration cleans up");
    } else {
      problems_.push_back("job " + FormatU64(victim.plan.jobId) + " had ended before its kill");
    }
  }
  if (victim.killed && !removalSeen_) {
    TableTotals out = ReadTotals(g_ThrottlingManagerOut);
    if (out.ok && !out.HasJob(victim.plan.jobId)) {
      removalSeen_ = true;
      removedAtMs_ = ms;
      const JobTrack& late = jobs_[plan_.lateIndex];
      Event(ms, "the clean-up pass of a registration" +
                    std::string(late.announcedRunning
                                    ? " (job " + FormatU64(late.plan.jobId) + "'s)"
                                    : "") +
                    " removed job " + FormatU64(victim.plan.jobId) + "'s streams: their owner, pid " +
                    FormatU64(static_cast<uint64_t>(victim.controller)) + ", is dead");
    }
  }
}

std::vector<std::string> DemoRun::Block(uint64_t ms) {
  std::vector<DemoRow> rows;
  for (const JobTrack& t : jobs_) {
    DemoRow r;
    r.jobId = t.plan.jobId;
    r.table = TableName(t.plan.kind);
    r.limitMbph = t.plan.limitMbph;
    r.bytes = t.seen ? t.last.bytes : 0;
    r.streams = t.seen ? t.last.streams : 0;
    r.allottedKnown = t.seen && t.last.state == kJobRunning;
    r.allottedMbph = t.last.allottedMbph;
    if (r.allottedKnown && t.history.size() >= 2) {
      const auto& a = t.history.front();
      const auto& b = t.history.back();
      if (b.first > a.first) {
        r.actualKnown = true;
        r.actualMbph = static_cast<double>(b.second - a.second) / kBytesPerMB /
                       (static_cast<double>(b.first - a.first) / 1000.0) * 3600.0;
      }
    }
    if (!t.seen || t.last.state == kJobWaiting) {
      r.state = "waits for " + At(t.plan.startMs);
    } else if (t.last.state == kJobRunning) {
      r.state = t.killed ? "owner killed" : "moving";
    } else if (t.last.state == kJobStreamsRemoved) {
      r.state = "cleaned up";
    } else if (t.last.state == kJobFinished) {
      r.state = "finished";
    } else {
      r.state = "failed";
    }
    rows.push_back(r);
  }
  TableTotals out = ReadTotals(g_ThrottlingManagerOut);
  TableTotals in = ReadTotals(g_ThrottlingManagerIn);
  auto describe = [](const char* name, const TableTotals& t) {
    if (!t.ok) return std::string(name) + " table: (unreadable)";
    return std::string(name) + " table: " + FormatU64(t.jobs.size()) + " job(s), " +
           FormatU64(t.streams()) + " stream(s), " + FormatBytes(t.total) + " moved";
  };
  std::string when = ms < plan_.endMs ? At(ms) + " of " + FormatU64(options_.seconds) + "s"
                                       : "ended (" + At(ms) + ")";
  std::string title = when + "  machine limit " +
                      FormatU64(machineMbph_) + " MBPH per table";
  return RenderDemoTable(title, rows, {describe("outbound", out), describe("inbound", in)});
}

void DemoRun::Refresh(uint64_t ms) {
  // A terminal is redrawn twice a second. Plain output gets a snapshot every
  // five seconds, the first once the jobs have had a second to report.
  uint64_t every = display_.terminal() ? 500 : 5000;
  if (!display_.terminal() && !refreshedOnce_ && ms < 1000) return;
  if (refreshedOnce_ && ms - lastRefresh_ < every) return;
  refreshedOnce_ = true;
  lastRefresh_ = ms;
  display_.Show("--- " + At(ms) + " ---", Block(ms));
}

int DemoRun::Run() {
  machineMbph_ = options_.machineMbph;
  std::string error;
  printf("hxctl demo: instance %s, state in %s%s\n", instance_.focus().c_str(),
         instance_.stateDir().c_str(), instance_.temporary() ? " (temporary)" : "");
  if (!ForkJobs(&error)) {
    problems_.push_back(error);
    if (goWrite_ >= 0) close(goWrite_);  // no start signal: the workers end at once
    Reap(true);
    return Finish(0, false, false);
  }
  // Everything below may start threads: no fork after this point.
  bool daemonUp = InitializeThrottlingManagersForHXD(instance_.focus().c_str()) == 0 &&
                  instance_.CountSegments(false, nullptr) == 2;
  if (!daemonUp) {
    problems_.push_back("the daemon side could not initialise the throttle tables (see " +
                        instance_.debugLog() + ")");
    close(goWrite_);  // no start signal: the workers end without touching a table
    Reap(true);
    return Finish(0, true, false);
  }
  bool monitorUp = StartSystemresourceMonitorLogEx(nullptr, 1000, nullptr);
  if (!monitorUp) problems_.push_back("the resource monitor did not start (see " + instance_.debugLog() + ")");
  printf("daemon side up: outbound and inbound tables re-initialised, resource monitor %s\n",
         monitorUp ? "ticking every second" : "NOT running");
  fflush(stdout);

  // Start signal: one byte per worker.
  std::string go(jobs_.size(), 'g');
  if (write(goWrite_, go.data(), go.size()) != static_cast<ssize_t>(go.size())) {
    problems_.push_back("could not start the job processes");
  }
  close(goWrite_);
  goWrite_ = -1;
  const uint64_t start = static_cast<uint64_t>(hxp::MonotonicMs());
  uint64_t ms = 0;
  bool stopping = false;
  uint64_t killAt = plan_.endMs + 25000;  // last resort for jobs that do not end
  for (;;) {
    ms = hxp::MonotonicMs() - start;
    Drain();
    Reap(false);
    if (!stopping) FollowPlan(ms);
    Refresh(ms);
    if (g_interrupted && !stopping) {
      stopping = true;
      killAt = ms + 10000;
      Event(ms, "interrupted: ending every job");
      problems_.push_back("interrupted");
      StopWorkers(SIGTERM);
    }
    if ((ms >= plan_.endMs || stopping) && AllJobsDone()) break;
    if (ms >= plan_.endMs + 15000 && !stopping) {
      stopping = true;
      problems_.push_back("some jobs did not end in time and were stopped");
      StopWorkers(SIGTERM);
    }
    if (ms >= killAt) {
      StopWorkers(SIGKILL);
      break;
    }
    SleepMs(100);
  }
  AnnounceJobs(ms);  // the last ends
  // Wait for every process the demo started (controllers and, as their
  // subreaper, orphaned workers), at most a few seconds.
  const int64_t waitUntil = hxp::MonotonicMs() + 5000;
  while (AnyChildLeft() && hxp::MonotonicMs() < waitUntil) {
    Reap(false);
    SleepMs(50);
  }
  Reap(false);
  if (!g_interrupted && monitorUp) {
    SleepMs(1500);  // one more monitor tick records the idle tables
  }
  ms = hxp::MonotonicMs() - start;
  lastRefresh_ = 0;
  refreshedOnce_ = false;
  Refresh(ms);
  display_.Finish();
  return Finish(ms, true, monitorUp);
}

int DemoRun::Finish(uint64_t ms, bool daemonUp, bool monitorUp) {
  TableTotals out, in;
  if (daemonUp) {
    out = ReadTotals(g_ThrottlingManagerOut);
    in = ReadTotals(g_ThrottlingManagerIn);
  }
  if (monitorUp) StopSystemresourceMonitorLog();
  if (daemonUp) UnInitializeThrottlingManagersForHXD();
  int removedSegments = 0;
  int segmentsLeft = instance_.CountSegments(true, &removedSegments);

  uint64_t movedOut = 0, movedIn = 0;
  uint32_t streams = 0;
  for (const JobTrack& t : jobs_) {
    (t.plan.kind == kTMKindOutbound ? movedOut : movedIn) += t.last.bytes;
    if (t.announcedRunning) streams += t.plan.streams;
  }

  std::vector<DemoInstance::CsvFile> csv = instance_.PerfLogs();
  uint64_t csvRows = 0;
  for (const auto& f : csv) csvRows += f.rows;
  std::string logsAt = instance_.perfLogDir();
  std::string error;
  if (instance_.temporary()) {
    logsAt = instance_.CopyLogsToKeptFolder(&error);
    if (logsAt.empty()) problems_.push_back("could not keep the perf logs: " + error);
  }
  instance_.Remove();
  size_t locksLeft = instance_.LockFiles().size();
  Reap(false);
  bool processesLeft = AnyChildLeft();

  const JobTrack* victim = plan_.killIndex < jobs_.size() ? &jobs_[plan_.killIndex] : nullptr;
  if (victim && victim->killed && !removalSeen_) {
    problems_.push_back("the killed job's streams were not removed");
  }
  for (const JobTrack& t : jobs_) {
    if (!t.Done() && !t.killed) {
      problems_.push_back("job " + FormatU64(t.plan.jobId) + " ended without reporting");
    }
  }
  if (csv.empty()) problems_.push_back("no perf-log CSV file was written");
  if (segmentsLeft) problems_.push_back(FormatU64(segmentsLeft) + " segment(s) still in use");
  if (locksLeft) problems_.push_back(FormatU64(locksLeft) + " lock file(s) left");
  if (processesLeft) problems_.push_back("a job process is still running");

  std::vector<std::string> lines;
  lines.push_back("");
  lines.push_back("Summary");
  TextTable t;
  t.AddColumn("", TextTable::kLeft);
  t.AddColumn("", TextTable::kLeft);
  t.AddRow({"instance", instance_.focus() + " (registry " + instance_.registry() + ")"});
  t.AddRow({"duration", FormatU64(ms / 1000) + " s; " + FormatU64(jobs_.size()) + " jobs, " +
                            FormatU64(streams) + " streams registered"});
  t.AddRow({"data moved", "outbound " + FormatBytes(movedOut) + ", inbound " + FormatBytes(movedIn) +
                              " (as counted by the jobs)"});
  if (out.ok && in.ok) {
    t.AddRow({"table totals", "outbound " + FormatBytes(out.total) + ", inbound " +
                                  FormatBytes(in.total) + " (as recorded by the tables)"});
  }
  t.AddRow({"machine limit", FormatU64(options_.machineMbph) + " MBPH, then " +
                                 FormatU64(plan_.newMachineMbph) + " MBPH from " +
                                 At(plan_.limitChangeMs)});
  if (victim && killDone_) {
    std::string k = "job " + FormatU64(victim->plan.jobId) + ": controlling process killed at " +
                    At(killedAtMs_) + "; ";
    k += removalSeen_ ? "its streams were removed at " + At(removedAtMs_) +
                            " by the clean-up of the next registration"
                      : "its streams were NOT seen removed";
    t.AddRow({"killed job", k});
  }
  t.AddRow({"perf logs", FormatU64(csv.size()) + " CSV files, " + FormatU64(csvRows) + " rows, in " +
                             (logsAt.empty() ? "(lost)" : logsAt)});
  std::string left = "segments " + FormatU64(segmentsLeft) + ", processes " +
                     (processesLeft ? "some" : "0") + ", lock files " + FormatU64(locksLeft);
  if (removedSegments) {
    left += " (removed " + FormatU64(removedSegments) + " segment(s) a dead process kept counted)";
  }
  t.AddRow({"left behind", left});
  if (instance_.temporary()) {
    t.AddRow({"state", "temporary directory removed"});
  } else {
    t.AddRow({"state", "kept in " + instance_.stateDir()});
  }
  std::vector<std::string> rendered = t.Render();
  for (size_t i = 2; i < rendered.size(); ++i) lines.push_back("  " + rendered[i]);
  for (const std::string& p : problems_) lines.push_back("PROBLEM: " + p);
  lines.push_back(problems_.empty() ? "Demo completed." : "Demo completed with problems.");
  for (const std::string& l : lines) printf("%s\n", l.c_str());
  fflush(stdout);
  return problems_.empty() ? kExitOk : kExitFailure;
}

bool ParseDemoOptions(const ParsedArgs& args, DemoOptions* o, std::string* error) {
  if (args.Has("seconds") &&
      !ParseNumber32("--seconds", args.Value("seconds"), 5, 3600, &o->seconds, error)) {
    return false;
  }
  if (args.Has("jobs") && !ParseNumber32("--jobs", args.Value("jobs"), 2, 16, &o->jobs, error)) {
    return false;
  }
  if (args.Has("streams") &&
      !ParseNumber32("--streams", args.Value("streams"), 1, 64, &o->streams, error)) {
    return false;
  }
  if (args.Has("machine-mbph") &&
      !ParseNumber32("--machine-mbph", args.Value("machine-mbph"), 100, 100000000, &o->machineMbph,
                     error)) {
    return false;
  }
  o->stateDir = args.Value("state-dir");
  o->registry = args.Value("registry");
  o->plain = args.Has("plain");
  return true;
}

}  // namespace

int RunDemo(const ParsedArgs& args) {
  DemoOptions options;
  std::string error;
  if (!ParseDemoOptions(args, &options, &error)) return Fail("demo", kExitUsage, error);

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Orphaned workers (their controlling process killed) become our children,
  // so that the demo can wait for every process it started.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  DemoInstance instance;
  if (!instance.Create(options, &error)) return Fail("demo", kExitFailure, error);
  DemoRun run(options, instance);
  return run.Run();
}

}  // namespace hxctl
