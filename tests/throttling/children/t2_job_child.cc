// A job process for the throttling tests. It runs the script given as its
// arguments, one command after another, on one throttling manager of the
// current instance ($HXREG/$HXFOCUS), and prints one line per result to
// stdout (flushed at once). Commands:
//   fork                        the rest of the script runs in a new child process;
//                               this process prints "forked <pid>" and waits for it
//   reg JOB RCID LIMIT FLAGS [NAME]  -> "reg <i> <handle hex>"
//   rate I BYTES                -> "rate <i> <result> <rate>"
//   stats I RS NS WS SS RT WT NT ST TYPE   -> "stats <i> <result>"
//   unreg I                     -> "unreg <i> <result>"
//   enum OPTIONS                -> "job ..." and "stream ..." lines, then "enum <result>"
//   size                        -> "size <result> <total> <jobs>"
//   touch FILE / wait FILE      create a file / wait (up to 120 s) until it exists
//   pid                         -> "pid <pid> <parent pid>"
//   hold FILE                   take the table lock, create FILE, and wait to be killed
// At the end the manager is uninitialised and "end" is printed. Exit status:
// 0, 2 for a bad script, 3 when a wait timed out, 4 when Initialize failed.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

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

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 120000; ++i) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(1000);
  }
  return false;
}

class Printer : public IEnumerateJobInfoCallback {
 public:
  int OnThrottelingInfo(void*, _TMJobInfo* job, _TMStreamInfo* streams,
                        unsigned int count) override {
    Say("job %u %u %u %u %" PRIu64 " %" PRIu64, job->JobID, job->ActiveStreamCount,
        job->ThrottleMBPH, job->PerStreamMBPH, static_cast<uint64_t>(job->JobSizeProcessed),
        static_cast<uint64_t>(job->JobStats.ReadSize));
    for (unsigned int i = 0; i < count; ++i) {
      const _TMStreamInfo& s = streams[i];
      Say("stream %u %" PRIx64 " %" PRIu64 " %u %x %u %s %" PRIu64 " %" PRIu64 " %u %u", s.JobID,
          static_cast<uint64_t>(s.Handle), static_cast<uint64_t>(s.SizeProcessed), s.RCID,
          s.Flags, static_cast<unsigned int>(s.Type[0]), s.ComputerName[0] ? s.ComputerName : "-",
          static_cast<uint64_t>(s.LastStats.ReadSize),
          static_cast<uint64_t>(s.CurrentStats.ReadSize), s.LastStats.WriteTime,
          s.LastStats.JobType);
    }
    return 0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  CHxThrottlingManager manager;
  bool ready = false;
  std::vector<unsigned long long> handles;
  auto use = [&]() {
    if (ready) return true;
    const char* focus = getenv("HXFOCUS");
    if (manager.Initialize(focus != nullptr ? focus : HXPI_Focus::getFocus(), 7, 1) != 0) {
      Say("init failed");
      return false;
    }
    ready = true;
    return true;
  };
  auto arg = [&](size_t i) -> unsigned long long {
    return i < a.size() ? strtoull(a[i].c_str(), nullptr, 0) : 0;
  };
  auto handle = [&](size_t i) -> unsigned long long {
    const unsigned long long n = arg(i);
    return n < handles.size() ? handles[n] : kTMInvalidHandle;
  };

  size_t i = 0;
  while (i < a.size()) {
    const std::string& c = a[i];
    if (c == "fork") {
      fflush(stdout);
      const pid_t pid = fork();
      if (pid < 0) return 2;
      if (pid > 0) {
        Say("forked %d", static_cast<int>(pid));
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
      }
      i += 1;
    } else if (c == "touch") {
      const int fd = open(a.at(i + 1).c_str(), O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) close(fd);
      i += 2;
    } else if (c == "wait") {
      if (!WaitForFile(a.at(i + 1))) return 3;
      i += 2;
    } else if (c == "pid") {
      Say("pid %d %d", static_cast<int>(getpid()), static_cast<int>(getppid()));
      i += 1;
    } else {
      if (!use()) return 4;
      if (c == "reg") {
        _TMSRegParams p;
        p.JobID = static_cast<uint32_t>(arg(i + 1));
        p.RCID = static_cast<uint32_t>(arg(i + 2));
        p.SubclientThroughput = static_cast<uint32_t>(arg(i + 3));
        p.Flags = static_cast<uint32_t>(arg(i + 4));
        p.Type = 3;
        size_t next = i + 5;
        if (next < a.size() && !a[next].empty() && a[next][0] == '@') {
          strncpy(p.ComputerName, a[next].c_str() + 1, sizeof(p.ComputerName) - 1);
          ++next;
        }
        const unsigned long long h = manager.RegisterStream(p);
        handles.push_back(h);
        Say("reg %u %" PRIx64, static_cast<unsigned int>(handles.size() - 1),
            static_cast<uint64_t>(h));
        i = next;
      } else if (c == "rate") {
        unsigned int rate = 0;
        const int r = manager.GetThroughputRate(handle(i + 1), arg(i + 2), rate);
        Say("rate %u %d %u", static_cast<unsigned int>(arg(i + 1)), r, rate);
        i += 3;
      } else if (c == "stats") {
        _TMStats s;
        s.ReadSize = arg(i + 2);
        s.NetworkSize = arg(i + 3);
        s.WriteSize = arg(i + 4);
        s.SIDBLookupSamples = arg(i + 5);
        s.ReadTime = static_cast<uint32_t>(arg(i + 6));
        s.WriteTime = static_cast<uint32_t>(arg(i + 7));
        s.NetworkTime = static_cast<uint32_t>(arg(i + 8));
        s.SIDBLookupTime = static_cast<uint32_t>(arg(i + 9));
        s.JobType = static_cast<uint32_t>(arg(i + 10));
        Say("stats %u %d", static_cast<unsigned int>(arg(i + 1)),
            manager.UpdateStreamStats(handle(i + 1), s));
        i += 11;
      } else if (c == "unreg") {
        Say("unreg %u %d", static_cast<unsigned int>(arg(i + 1)),
            manager.UnregisterStream(handle(i + 1)));
        i += 2;
      } else if (c == "enum") {
        Printer printer;
        Say("enum %d", manager.EnumerateJobsInfo(nullptr, &printer, arg(i + 1)));
        i += 2;
      } else if (c == "hold") {
        if (!manager.Lock()) return 4;
        const int fd = open(a.at(i + 1).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) close(fd);
        for (;;) pause();
      } else if (c == "size") {
        unsigned long long total = 0;
        std::vector<_TMAllJobStreamInfo> jobs;
        const int r = manager.GetDataSizeInfo(total, jobs);
        Say("size %d %" PRIu64 " %u", r, static_cast<uint64_t>(total),
            static_cast<unsigned int>(jobs.size()));
        i += 1;
      } else {
        Say("bad command %s", c.c_str());
        return 2;
      }
    }
  }
  if (ready) manager.Uninitialize();
  Say("end");
  return 0;
}
