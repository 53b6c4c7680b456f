// A job process for the throttling tests. It runs the script given as its
// arguments on one throttling manager of the current instance
// ($HXREG/$HXFOCUS) and prints one line per result (flushed at once):
//   reg JOB RCID LIMIT FLAGS [@NAME]  -> "reg <i> <handle hex>"
//   rate I BYTES  -> "rate <i> <result> <rate>"
//   stats I RS NS WS SS RT WT NT ST TYPE  -> "stats <i> <result>"
//   unreg I       -> "unreg <i> <result>"
//   watch I UNTIL query stream I every 5 ms until time() reaches UNTIL;
//                 "limit <machine limit> <epoch ms>" whenever the limit is new
//   wait FILE     wait (up to 120 s) until FILE exists
//   hold          take the table lock, print "held", and wait to be killed
//   chaos MODE WORKERS STOPFILE SEED   run random operations (see Chaos)
// At the end the manager is uninitialised and "end" is printed. Exit status:
// 0, 2 for a bad script, 3 when a wait timed out, 4 when Initialize failed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <ctime>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/hx_platform_info.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool Init(CHxThrottlingManager& m) {
  const char* focus = getenv("HXFOCUS");
  return m.Initialize(focus != nullptr ? focus : HXPI_Focus::getFocus(), 7, 1) == 0;
}

unsigned long long Register(CHxThrottlingManager& m, uint32_t job, uint32_t rcid, uint32_t limit,
                            uint32_t flags, unsigned char type, const std::string& name) {
  _TMSRegParams p = thrtest::Params(job, rcid, limit, flags, name.c_str(), type);
  return m.RegisterStream(p);
}

// Takes what an enumeration hands out, without a word.
struct Quiet : IEnumerateJobInfoCallback {
  int OnThrottelingInfo(void*, _TMJobInfo*, _TMStreamInfo*, unsigned int) override { return 0; }
};

// A chaos worker: every operation the library exports, at random, including
// a widened window inside the table lock, until STOPFILE exists or its owner
// (the process recorded with its streams) is gone; then "clean <pid>". In
// strict mode a result other than success while the owner lives prints
// "unexpected ..."; loose mode (the table is being corrupted) expects nothing.
int Worker(bool strict, const std::string& stop, unsigned int seed) {
  const pid_t owner = getppid();
  std::mt19937 rng(seed ^ static_cast<unsigned int>(getpid()) * 2654435761u);
  auto pick = [&rng](unsigned int n) { return static_cast<unsigned int>(rng() % n); };
  auto expect = [&](bool ok, const char* what) {
    if (!ok && strict && getppid() == owner) Say("unexpected %s in %d", what, getpid());
  };
  CHxThrottlingManager m;
  if (!Init(m)) {
    Say("unexpected init in %d", getpid());
    return 0;
  }
  std::vector<unsigned long long> handles;
  auto registerOne = [&] {
    const uint32_t flags[] = {0, kTMStreamNotThrottled, kTMStreamUnresponsive | 0x8};
    return Register(m, 1 + pick(6), pick(100), pick(3) == 0 ? 100 : 0, flags[pick(3)],
                    static_cast<unsigned char>(pick(5)), "chaos-" + std::to_string(pick(4)));
  };
  while (!Exists(stop) && getppid() == owner) {
    const size_t i = handles.empty() ? 0 : pick(handles.size());
    const unsigned long long h = handles.empty() ? kTMInvalidHandle : handles[i];
    unsigned int value = 0;
    unsigned long long total = 0;
    std::vector<_TMAllJobStreamInfo> jobs;
    _TMStats s;
    s.ReadSize = pick(1000000);
    s.JobType = 1 + pick(3);
    Quiet quiet;
    const unsigned int op = pick(10);
    if (op == 0) {
      if (handles.size() >= 12) {
        expect(m.UnregisterStream(handles.front()) == 0, "unreg");
        handles.erase(handles.begin());
      }
      const unsigned long long added = registerOne();
      expect(added != kTMInvalidHandle, "reg");
      if (added != kTMInvalidHandle) handles.push_back(added);
    } else if (op <= 3 && !handles.empty()) {
      expect(m.GetThroughputRate(h, pick(1u << 30), value) == 0, "rate");
      expect(m.UpdateStreamStats(h, s) == 0, "stats");
      if (op == 3) {
        expect(m.UnregisterStream(h) == 0, "unreg");
        handles.erase(handles.begin() + static_cast<long>(i));
      }
    } else if (op == 4) {
      expect(m.EnumerateJobsInfo(nullptr, &quiet, pick(2)) == 0, "enum");
      expect(m.SnapshotJobsInfo(nullptr, &quiet) == 0, "snapshot");
      expect(m.GetDataSizeInfo(total, jobs) == 0, "size");
    } else if (op == 5) {
      expect(m.SetJobMaxThroghput(1 + pick(8), pick(2) == 0 ? 0 : 200) == 0, "joblimit");
      expect(m.SetComputerMaxThroghput(pick(3) == 0 ? 0 : 1200) == 0, "machine");
      expect(m.GetComputerThroughput(value) == 0, "getmachine");
    } else if (op < 9) {
      // A widened window inside the lock: kills land here while it is held.
      if (!m.Lock()) {
        expect(false, "lock");
        continue;
      }
      const unsigned long long held = registerOne();
      usleep(pick(3000));
      if (held != kTMInvalidHandle) m.UnregisterStream(held);
      m.Unlock();
    } else if (op == 9 && pick(10) == 0) {
      for (unsigned long long each : handles) m.UnregisterStream(each);
      handles.clear();
      expect(m.Uninitialize() == 0, "uninit");
      expect(Init(m), "reinit");
    }
  }
  for (unsigned long long each : handles) m.UnregisterStream(each);
  m.Uninitialize();
  Say("clean %d", getpid());
  return 0;
}

// The chaos owner: keeps WORKERS workers running (printing "worker <pid>"
// for each) until STOPFILE exists, prints "abnormal <pid> <status>" for one
// that ended other than cleanly or by SIGKILL, and returns once all are gone.
int Chaos(bool strict, int workers, const std::string& stop, unsigned int seed) {
  int started = 0;
  int running = 0;
  while (running < workers || running > 0) {
    if (running < workers && !Exists(stop)) {
      fflush(stdout);
      const pid_t pid = fork();
      if (pid == 0) _exit(Worker(strict, stop, seed + static_cast<unsigned int>(started)));
      ++started;
      ++running;
      Say("worker %d", pid);
      continue;
    }
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) break;
    --running;
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) &&
        !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
      Say("abnormal %d %d", pid, status);
    }
    if (Exists(stop)) workers = 0;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  std::vector<unsigned long long> n;
  for (const std::string& word : a) n.push_back(strtoull(word.c_str(), nullptr, 0));
  n.resize(n.size() + 11);
  CHxThrottlingManager m;
  bool ready = false;
  std::vector<unsigned long long> handles;
  auto handle = [&](size_t i) { return n[i] < handles.size() ? handles[n[i]] : kTMInvalidHandle; };
  for (size_t i = 0; i < a.size();) {
    const std::string& c = a[i];
    if (c == "wait") {
      for (int tries = 0; !Exists(a.at(i + 1)); ++tries, usleep(1000)) if (tries == 120000) return 3;
      i += 2;
    } else if (c == "chaos") {
      return Chaos(a.at(i + 1) == "strict", static_cast<int>(n[i + 2]), a.at(i + 3),
                   static_cast<unsigned int>(n[i + 4]));
    } else if (!ready && !(ready = Init(m))) {
      Say("init failed");
      return 4;
    } else if (c == "reg") {
      const bool named = i + 5 < a.size() && a[i + 5].compare(0, 1, "@") == 0;
      const auto u32 = [&](size_t k) { return static_cast<uint32_t>(n[i + k]); };
      handles.push_back(
          Register(m, u32(1), u32(2), u32(3), u32(4), 3, named ? a[i + 5].substr(1) : ""));
      Say("reg %zu %" PRIx64, handles.size() - 1, static_cast<uint64_t>(handles.back()));
      i += named ? 6 : 5;
    } else if (c == "rate") {
      unsigned int rate = 0;
      const int r = m.GetThroughputRate(handle(i + 1), n[i + 2], rate);
      Say("rate %u %d %u", static_cast<unsigned int>(n[i + 1]), r, rate);
      i += 3;
    } else if (c == "stats") {
      _TMStats s;
      s.ReadSize = n[i + 2];
      s.NetworkSize = n[i + 3];
      s.WriteSize = n[i + 4];
      s.SIDBLookupSamples = n[i + 5];
      s.ReadTime = static_cast<uint32_t>(n[i + 6]);
      s.WriteTime = static_cast<uint32_t>(n[i + 7]);
      s.NetworkTime = static_cast<uint32_t>(n[i + 8]);
      s.SIDBLookupTime = static_cast<uint32_t>(n[i + 9]);
      s.JobType = static_cast<uint32_t>(n[i + 10]);
      const int r = m.UpdateStreamStats(handle(i + 1), s);
      Say("stats %u %d", static_cast<unsigned int>(n[i + 1]), r);
      i += 11;
    } else if (c == "unreg") {
      Say("unreg %u %d", static_cast<unsigned int>(n[i + 1]), m.UnregisterStream(handle(i + 1)));
      i += 2;
    } else if (c == "watch") {
      unsigned int last = UINT_MAX;
      while (time(nullptr) < static_cast<time_t>(n[i + 2])) {
        unsigned int rate = 0, limit = 0;
        if (m.GetThroughputRate(handle(i + 1), 0, rate) == 0 && m.GetComputerThroughput(limit) == 0 &&
            limit != last) {
          struct timespec ts;
          clock_gettime(CLOCK_REALTIME, &ts);
          Say("limit %u %" PRId64, limit, static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
          last = limit;
        }
        usleep(5000);
      }
      i += 3;
    } else if (c == "hold" && m.Lock()) {
      Say("held");
      for (;;) pause();
    } else {
      Say("bad command %s", c.c_str());
      return 2;
    }
  }
  if (ready) m.Uninitialize();
  Say("end");
  return 0;
}
