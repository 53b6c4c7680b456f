// A job-process owner for the chaos and corruption tests.
//   chaos_child MODE WORKERS STOPFILE SEED
// forks WORKERS worker processes (replacing each one that ends, until
// STOPFILE exists) and prints "worker <pid>" for each. A worker attaches the
// outbound table of the current instance ($HXREG/$HXFOCUS) and runs random
// operations -- every one the library exports, including a widened window
// inside the table lock -- until STOPFILE exists or its owner (this process,
// recorded with its streams) is gone; then it uninitialises and prints
// "clean <pid>". The owner prints "abnormal <pid> <status>" for a worker that
// ended any other way than that or SIGKILL, and exits 0 once STOPFILE exists
// and its workers are gone. MODE "strict": a worker whose owner lives prints
// "unexpected ..." for a result other than success; "loose" (the table is
// being corrupted) expects nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

namespace {

class Quiet : public IEnumerateJobInfoCallback {
 public:
  int OnThrottelingInfo(void*, _TMJobInfo*, _TMStreamInfo*, unsigned int count) override {
    seen += count;
    return 0;
  }
  unsigned int seen = 0;
};

int Worker(bool strict, const std::string& stop, unsigned int seed) {
  const pid_t owner = getppid();
  std::mt19937 rng(seed ^ static_cast<unsigned int>(getpid()) * 2654435761u);
  auto pick = [&rng](unsigned int n) { return static_cast<unsigned int>(rng() % n); };
  const char* focus = getenv("HXFOCUS");
  CHxThrottlingManager manager;
  if (manager.Initialize(focus != nullptr ? focus : HXPI_Focus::getFocus(), 7, 1) != 0) {
    printf("unexpected init %d\n", static_cast<int>(getpid()));
    fflush(stdout);
    return 0;
  }
  std::vector<unsigned long long> handles;
  auto expect = [&](bool ok, const char* what, long result) {
    if (ok || !strict || getppid() != owner) return;
    printf("unexpected %s %ld in %d\n", what, result, static_cast<int>(getpid()));
    fflush(stdout);
  };
  auto registerOne = [&]() -> unsigned long long {
    _TMSRegParams p;
    p.JobID = 1 + pick(6);
    p.RCID = pick(100);
    p.SubclientThroughput = pick(3) == 0 ? 100 : 0;
    const uint32_t flags[] = {0, kTMStreamNotThrottled, kTMStreamUnresponsive | 0x8};
    p.Flags = flags[pick(3)];
    p.Type = static_cast<unsigned char>(pick(5));
    snprintf(p.ComputerName, sizeof(p.ComputerName), "chaos-%u", pick(4));
    return manager.RegisterStream(p);
  };
  auto anyHandle = [&]() { return handles.empty() ? 0ULL : handles[pick(handles.size())]; };

  while (access(stop.c_str(), F_OK) != 0 && getppid() == owner) {
    const unsigned int op = pick(20);
    if (op < 3) {
      if (handles.size() >= 12) {
        expect(manager.UnregisterStream(handles.front()) == 0, "unreg", -1);
        handles.erase(handles.begin());
      }
      const unsigned long long h = registerOne();
      expect(h != kTMInvalidHandle, "reg", -1);
      if (h != kTMInvalidHandle) handles.push_back(h);
    } else if (op < 7) {
      if (handles.empty()) continue;
      unsigned int rate = 0;
      const int r = manager.GetThroughputRate(anyHandle(), pick(1u << 30), rate);
      expect(r == 0, "rate", r);
    } else if (op < 9) {
      if (handles.empty()) continue;
      _TMStats s;
      s.ReadSize = pick(1000000);
      s.JobType = 1 + pick(3);
      const int r = manager.UpdateStreamStats(anyHandle(), s);
      expect(r == 0, "stats", r);
    } else if (op < 11) {
      if (handles.empty()) continue;
      const size_t i = pick(handles.size());
      const int r = manager.UnregisterStream(handles[i]);
      expect(r == 0, "unreg", r);
      handles.erase(handles.begin() + static_cast<long>(i));
    } else if (op == 11) {
      Quiet q;
      expect(manager.EnumerateJobsInfo(nullptr, &q, pick(2)) == 0, "enum", -1);
    } else if (op == 12) {
      Quiet q;
      expect(manager.SnapshotJobsInfo(nullptr, &q) == 0, "snapshot", -1);
    } else if (op == 13) {
      unsigned long long total = 0;
      std::vector<_TMAllJobStreamInfo> jobs;
      expect(manager.GetDataSizeInfo(total, jobs) == 0, "size", -1);
    } else if (op == 14) {
      expect(manager.SetJobMaxThroghput(1 + pick(8), pick(2) == 0 ? 0 : 200) == 0, "joblimit", -1);
    } else if (op == 15) {
      unsigned int mbph = 0;
      expect(manager.SetComputerMaxThroghput(pick(3) == 0 ? 0 : 1200) == 0, "machine", -1);
      expect(manager.GetComputerThroughput(mbph) == 0, "getmachine", -1);
    } else if (op < 19) {
      // A widened window inside the lock: kills land here while it is held.
      if (!manager.Lock()) {
        expect(false, "lock", -1);
        continue;
      }
      const unsigned long long h = registerOne();
      usleep(pick(3000));
      if (h != kTMInvalidHandle) manager.UnregisterStream(h);
      manager.Unlock();
    } else if (pick(10) == 0) {
      for (unsigned long long h : handles) manager.UnregisterStream(h);
      handles.clear();
      expect(manager.Uninitialize() == 0, "uninit", -1);
      expect(manager.Initialize(focus != nullptr ? focus : HXPI_Focus::getFocus(), 7, 1) == 0,
             "reinit", -1);
    }
  }
  for (unsigned long long h : handles) manager.UnregisterStream(h);
  manager.Uninitialize();
  printf("clean %d\n", static_cast<int>(getpid()));
  fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const bool strict = strcmp(argv[1], "strict") == 0;
  const int workers = atoi(argv[2]);
  const std::string stop = argv[3];
  const unsigned int seed = static_cast<unsigned int>(strtoul(argv[4], nullptr, 10));
  int started = 0, running = 0;
  auto start = [&]() {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) _exit(Worker(strict, stop, seed + static_cast<unsigned int>(started)));
    if (pid > 0) {
      ++started;
      ++running;
      printf("worker %d\n", static_cast<int>(pid));
      fflush(stdout);
    }
  };
  for (int i = 0; i < workers; ++i) start();
  while (running > 0) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) break;
    --running;
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    if (!clean && !killed) {
      printf("abnormal %d %d\n", static_cast<int>(pid), status);
      fflush(stdout);
    }
    if (access(stop.c_str(), F_OK) != 0) start();
  }
  return 0;
}
