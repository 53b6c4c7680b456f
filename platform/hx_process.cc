#include "platform/hx_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/hx_sys.h"

namespace {

void CloseBoth(int p[2]) {
  if (p[0] >= 0) close(p[0]);
  if (p[1] >= 0) close(p[1]);
  p[0] = p[1] = -1;
}

// Runs in the forked child: only async-signal-safe calls.
[[noreturn]] void ExecShell(const char* command, int in, int out, int err, int maxFd) {
  setpgid(0, 0);
  // Default signal dispositions and an empty mask for the command: ignored
  // and blocked signals would otherwise survive exec.
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
  {
    for (int fd = 3; fd < maxFd; ++fd) close(fd);
  }
  const char* argv[] = {"sh", "-c", command, nullptr};
  execv("/bin/sh", const_cast<char* const*>(argv));
  _exit(127);
}

int WaitChild(pid_t pid, int* status) {
  for (;;) {
    pid_t r = waitpid(pid, status, 0);
    if (r == pid) return 0;
    if (r < 0 && errno != EINTR) return -1;
  }
}

int ExitResult(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

int HxProcess::system(const char* command, std::string* output, std::string* error,
                      int /*flags*/, bool /*wait*/) {
  return systemWithTimeout(command, output, error, kDefaultTimeoutMs);
}

int HxProcess::systemWithTimeout(const char* command, std::string* output, std::string* error,
                                 unsigned timeoutMs) {
  if (output) output->clear();
  if (error) error->clear();
  if (!command) return -1;

  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0) return -1;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    CloseBoth(outPipe);
    return -1;
  }
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull < 0) {
    CloseBoth(outPipe);
    CloseBoth(errPipe);
    return -1;
  }
  struct rlimit rl;
  int maxFd = (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
               rl.rlim_cur < 65536)
                  ? static_cast<int>(rl.rlim_cur)
                  : 65536;

  pid_t pid = fork();
  if (pid == 0) ExecShell(command, devNull, outPipe[1], errPipe[1], maxFd);
  close(devNull);
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return -1;
  }
  setpgid(pid, pid);  // also done by the child; whichever runs first wins

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // After the shell itself has ended, output still buffered is drained for a
  // short while; a background process that keeps the pipes open does not
  // hold the caller up.
  const auto kDrainGrace = std::chrono::milliseconds(200);
  Clock::time_point drainUntil{};
  bool exited = false, timedOut = false, lost = false;
  int status = 0;
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {output, error};
  int openCount = 2;
  int idleMs = 1;
  char buffer[16384];
  while (openCount > 0 || !exited) {
    auto now = Clock::now();
    if (now >= deadline) {
      timedOut = !exited;
      break;
    }
    if (exited && now >= drainUntil) break;
    auto limit = exited ? std::min(deadline, drainUntil) : deadline;
    long long waitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count() + 1;
    if (!exited) {
      // Wake now and then to notice a shell that ended while a descendant
      // still holds the pipes, and promptly once the pipes are closed.
      long long slice = openCount > 0 ? 100 : idleMs;
      if (openCount == 0 && idleMs < 50) idleMs *= 2;
      if (waitMs > slice) waitMs = slice;
    }
    int n = poll(fds, 2, static_cast<int>(waitMs));  // entries with fd -1 are skipped
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && n > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = HxSys()->read(fds[i].fd, buffer, sizeof(buffer));
      if (got > 0) {
        if (sinks[i]) sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openCount;
      }
    }
    if (!exited) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        exited = true;
        drainUntil = Clock::now() + kDrainGrace;
      } else if (r < 0 && errno != EINTR) {
        lost = true;  // not our child any more (e.g. SIGCHLD ignored): cannot tell
        break;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }

  if (lost) return -1;
  if (!exited) {
    // Time limit (or a failed poll): the whole process group goes.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    WaitChild(pid, &status);
    return timedOut ? -2 : -1;
  }
  return ExitResult(status);
}

std::string HxShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += "'";
  return out;
}
