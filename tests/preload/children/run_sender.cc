// A plain program that knows nothing of throttling: connects to HOST:PORT,
// sends a 16-byte tag and then 64 KiB blocks for SECONDS, closes, exits 0.
//   run_sender HOST PORT TAG SECONDS MODE [FORK_AFTER_MS [exec]]
// MODE: write (blocking write), send (blocking send; the socket is not
// closed before the process exits), receive (read whatever the peer sends,
// alternately with read and with recv(MSG_WAITALL), which must fill its
// buffer), edge / edge-receive (non-blocking, epoll edge-triggered: after any
// call that moved less than asked it waits for the next edge), signal and
// stale (below; they exit when done, 0 when every call ended as expected). With
// FORK_AFTER_MS the process forks that long after it started sending; the
// child closes the inherited socket, opens its own connection with tag
// TAG+"c" and sends until the same end. With "exec" after it, the process
// instead replaces itself by a new run_sender with tag TAG+"x" for the rest
// of the time, its socket still open.
// Exit status 7: a blocking write or send, or a recv(MSG_WAITALL), returned
// fewer bytes than asked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Connect(const char* host, const char* port, const std::string& tag) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(atoi(port)));
  inet_pton(AF_INET, host, &a.sin_addr);
  char head[16] = {};
  tag.copy(head, sizeof(head));
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      write(fd, head, sizeof(head)) != static_cast<ssize_t>(sizeof(head))) {
    perror("run_sender: connect");
    exit(2);
  }
  return fd;
}

volatile sig_atomic_t g_signals = 0;
void OnAlarm(int) { ++g_signals; }
void Alarm(void (*handler)(int), int flags) {  // installs the handler; SIGALRM comes in 1 s
  struct sigaction sa{};
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigaction(SIGALRM, &sa, nullptr);
  itimerval t{{0, 0}, {1, 0}};
  setitimer(ITIMER_REAL, &t, nullptr);
}
void OnAlarmThenPlain(int) { ++g_signals, Alarm(OnAlarm, 0); }

// Under a limit of 1 MBPH (4 KiB pieces, 14 s apart), a signal during a wait
// ends a blocking send as the kernel's own: with the bytes sent so far, else
// EINTR, except that an SA_RESTART handler resumes it (until a second signal
// without SA_RESTART).
int Signals(int fd, const char* block) {
  Alarm(OnAlarm, 0);
  if (send(fd, block, 8192, 0) != 4096 || g_signals != 1) return 10;
  Alarm(OnAlarm, 0);
  if (send(fd, block, 4096, 0) != -1 || errno != EINTR || g_signals != 2) return 11;
  Alarm(OnAlarmThenPlain, SA_RESTART);
  return send(fd, block, 4096, 0) != -1 || errno != EINTR || g_signals != 4 ? 12 : 0;
}

// Under a limit of 1 MBPH: a stream's number closed by fclose, close_range,
// closefrom or a raw system call, and taken by a file, which must not be paced
// as the dead stream (1 MiB would take an hour: SIGALRM ends the program after
// a minute); the file's number closed the same way (but by the raw call) and
// taken by a dup of a socket, which must be paced as a stream of its own (at
// most one 4 KiB piece at once).
int Stale(const char* host, const char* port, const std::string& tag, const char* block) {
  static char big[1 << 20];
  alarm(60);
  auto closeBehind = [](int fd, int how) {
    how == 0 ? fclose(fdopen(fd, "w")) : how == 1 ? close_range(fd, fd, 0) : how == 2 ? (closefrom(fd), 0) : syscall(SYS_close, fd);
  };
  for (int how = 0; how < 4; ++how) {
    const int s2 = Connect(host, port, tag), s = Connect(host, port, tag);
    closeBehind(s, how);
    const int f = memfd_create("run_sender", MFD_CLOEXEC);
    if (f != s || write(f, big, sizeof(big)) != static_cast<ssize_t>(sizeof(big))) return 8;
    if (how < 3 && (closeBehind(f, how), dup(s2) != f || fcntl(f, F_SETFL, O_NONBLOCK) != 0 || write(f, block, 8192) != 4096)) return 9;
    close(f);
    close(s2);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: run_sender HOST PORT TAG SECONDS MODE [FORK_AFTER_MS [exec]]\n");
    return 2;
  }
  const std::string mode = argv[5];
  std::string tag = argv[3];
  const double end = Now() + atof(argv[4]);
  double forkAt = argc > 6 ? Now() + atof(argv[6]) / 1000.0 : 0;
  static char block[256 * 1024];
  int fd = Connect(argv[1], argv[2], tag);
  if (mode == "signal") return Signals(fd, block);
  if (mode == "stale") return Stale(argv[1], argv[2], tag, block);
  for (bool all = false; mode == "receive" && Now() < end; all = !all) {
    const ssize_t r = all ? recv(fd, block, sizeof(block), MSG_WAITALL) : read(fd, block, sizeof(block));
    if (r <= 0) return 4;
    if (all && static_cast<size_t>(r) < sizeof(block)) return 7;
  }
  if (mode.compare(0, 4, "edge") == 0) {
    const bool in = mode == "edge-receive";
    const size_t want = in ? sizeof(block) : 64 * 1024;
    const int small = 64 * 1024;  // a full receive buffer stops the data, and with it the kernel's edges
    if (in) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    epoll_event ev{};
    ev.events = (in ? EPOLLIN : EPOLLOUT) | EPOLLET;
    const int ep = epoll_create1(0);
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) return 2;
    while (Now() < end) {
      const ssize_t r = in ? read(fd, block, want) : write(fd, block, want);
      if (r == 0 || (r < 0 && errno != EAGAIN)) return 4;
      if (r < static_cast<ssize_t>(want)) epoll_wait(ep, &ev, 1, -1);
    }
    return 0;
  }
  pid_t child = -1;
  while (mode != "receive" && Now() < end) {
    if (forkAt > 0 && Now() >= forkAt && argc > 7) {  // exec
      const std::string rest = std::to_string(end - Now()), newTag = tag + "x";
      const char* args[] = {argv[0], argv[1], argv[2], newTag.c_str(), rest.c_str(), argv[5], nullptr};
      execv(argv[0], const_cast<char* const*>(args));
      return 6;
    }
    if (forkAt > 0 && Now() >= forkAt) {
      forkAt = 0;
      child = fork();
      if (child == 0) {
        close(fd);
        tag += "c";
        fd = Connect(argv[1], argv[2], tag);
      }
    }
    // One block: a blocking socket must take it whole in one call, as the kernel's own does.
    const ssize_t r = mode == "write" ? write(fd, block, 64 * 1024) : send(fd, block, 64 * 1024, MSG_NOSIGNAL);
    if (r <= 0) return 4;
    if (r < 64 * 1024) return 7;
  }
  if (mode != "send") close(fd);  // in send mode, exit closes the socket
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
  return 0;
}
