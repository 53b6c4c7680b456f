#include "tools/demo_job.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/monotonic_clock.h"
#include "throttling/throttling_manager.h"

namespace hxctl {
namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

class Worker {
 public:
  Worker(const DemoJobPlan& job, const std::string& focus, int statusFd)
      : job_(job), focus_(focus), statusFd_(statusFd) {}

  int Run(int goFd) {
    // One byte is the start signal; end-of-file without it means the demo
    // gave up (or died) before the start: end without touching any table.
    char byte;
    ssize_t n;
    while ((n = read(goFd, &byte, 1)) < 0 && errno == EINTR && !g_stop) {
    }
    close(goFd);
    if (n != 1) return 0;
    start_ = hxp::MonotonicMs();
    uint64_t lastSend = 0;
    while (!g_stop && Elapsed() < job_.startMs) {
      if (hxp::MonotonicMs() - lastSend >= 500) {
        lastSend = hxp::MonotonicMs();
        if (!Send(kJobWaiting)) return Finish(kJobFinished);  // the demo is gone
      }
      Sleep(50);
    }
    if (g_stop) return Finish(kJobFinished);
    if (manager_.Initialize(focus_.c_str(), job_.jobId, job_.kind) != 0) {
      return Finish(kJobFailed);
    }
    attached_ = true;
    if (!RegisterAll()) return Finish(kJobFailed);
    Move();
    return Finish(removed_ == job_.streams ? kJobStreamsRemoved : kJobFinished);
  }

 private:
  struct Stream {
    unsigned long long handle = ~0ULL;
    double bytes = 0;
    bool removed = false;
  };

  uint32_t Elapsed() const { return static_cast<uint32_t>(hxp::MonotonicMs() - start_); }

  static void Sleep(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
  }

  bool RegisterAll() {
    streams_.resize(job_.streams);
    for (uint32_t s = 0; s < job_.streams; ++s) {
      _TMSRegParams p;
      p.JobID = job_.jobId;
      p.RCID = job_.jobId * 100 + s + 1;
      p.SubclientThroughput = job_.limitMbph;
      p.Type = static_cast<uint8_t>(job_.kind);
      snprintf(p.ComputerName, sizeof(p.ComputerName), "%s", job_.computer.c_str());
      streams_[s].handle = manager_.RegisterStream(p);
      if (streams_[s].handle == ~0ULL) return false;
    }
    return true;
  }

  uint64_t TotalBytes() const {
    uint64_t total = 0;
    for (const Stream& s : streams_) total += static_cast<uint64_t>(s.bytes);
    return total;
  }

  void ReportStats(Stream& s, uint32_t seconds) {
    // Outbound jobs read and send; inbound jobs receive and write.
    _TMStats stats;
    uint64_t bytes = static_cast<uint64_t>(s.bytes);
    if (job_.kind == kTMKindOutbound) stats.ReadSize = bytes;
    if (job_.kind == kTMKindInbound) stats.WriteSize = bytes;
    stats.NetworkSize = bytes;
    stats.ReadTime = job_.kind == kTMKindOutbound ? seconds : 0;
    stats.WriteTime = job_.kind == kTMKindInbound ? seconds : 0;
    stats.NetworkTime = seconds;
    stats.JobType = job_.kind;
    if (manager_.UpdateStreamStats(s.handle, stats) == 2) MarkRemoved(s);
  }

  void MarkRemoved(Stream& s) {
    if (!s.removed) {
      s.removed = true;
      ++removed_;
    }
  }

  void Move() {
    Send(kJobRunning);
    uint64_t last = hxp::MonotonicMs();
    uint64_t lastStats = 0, lastSend = 0;
    while (!g_stop && Elapsed() < job_.endMs && removed_ < job_.streams) {
      uint64_t now = hxp::MonotonicMs();
      double dt = static_cast<double>(now - last) / 1000.0;
      last = now;
      for (Stream& s : streams_) {
        if (s.removed) continue;
        unsigned int rate = 0;
        int r = manager_.GetThroughputRate(s.handle, static_cast<uint64_t>(s.bytes), rate);
        if (r == 2) {
          MarkRemoved(s);
          continue;
        }
        if (r != 0) continue;
        allotted_ = rate;
        double mbph = rate ? rate : kUnthrottledStreamMbph;
        s.bytes += mbph * static_cast<double>(kBytesPerMB) / 3600.0 * dt;
      }
      if (now - lastStats >= 1000) {
        lastStats = now;
        for (Stream& s : streams_) {
          if (!s.removed) ReportStats(s, Elapsed() / 1000);
        }
      }
      if (now - lastSend >= 250) {
        lastSend = now;
        if (!Send(kJobRunning)) break;  // the demo is gone
      }
      Sleep(100);
    }
  }

  int Finish(JobState state) {
    if (attached_) {
      for (Stream& s : streams_) {
        if (s.removed || s.handle == ~0ULL) continue;
        unsigned int rate = 0;
        manager_.GetThroughputRate(s.handle, static_cast<uint64_t>(s.bytes), rate);
        ReportStats(s, Elapsed() / 1000);
        manager_.UnregisterStream(s.handle);
      }
      manager_.Uninitialize();
      attached_ = false;
    }
    if (state == kJobFinished && removed_ == job_.streams && job_.streams > 0) {
      state = kJobStreamsRemoved;
    }
    Send(state);
    return state == kJobFailed ? 1 : 0;
  }

  bool Send(JobState state) {
    JobStatusMsg m;
    memset(&m, 0, sizeof(m));
    m.index = job_.index;
    m.state = state;
    m.workerPid = static_cast<uint32_t>(getpid());
    m.streams = state == kJobRunning ? job_.streams - removed_ : 0;
    m.allottedMbph = allotted_;
    m.elapsedMs = Elapsed();
    m.bytes = TotalBytes();
    ssize_t n = write(statusFd_, &m, sizeof(m));
    // A full pipe drops one report; a closed one means the demo has gone.
    return !(n < 0 && errno == EPIPE);
  }

  const DemoJobPlan& job_;
  const std::string focus_;
  const int statusFd_;
  CHxThrottlingManager manager_;
  bool attached_ = false;
  std::vector<Stream> streams_;
  uint32_t removed_ = 0;
  uint32_t allotted_ = 0;
  uint64_t start_ = 0;
};

}  // namespace

void RunJobController(const DemoJobPlan& job, const std::string& focus, int goFd, int statusFd) {
  // The controller only waits; Ctrl-C in the terminal reaches the worker,
  // which ends its streams cleanly.
  signal(SIGINT, SIG_IGN);
  // Should the demo die, its controllers go too; their workers notice the
  // closed status pipe and end their streams cleanly.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  pid_t worker = fork();
  if (worker == 0) {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Worker w(job, focus, statusFd);
    _exit(w.Run(goFd));
  }
  close(goFd);
  close(statusFd);
  if (worker < 0) _exit(1);
  int status = 0;
  while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace hxctl
