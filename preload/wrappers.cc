// The C library calls this library replaces in a program started by
// `hxctl run`. Each one hands the call to the C library's own function; on an
// IPv4/IPv6 stream socket whose direction is throttled it first waits for the
// stream's pacer and may split a large blocking transfer into pieces.
//
// Rules every wrapper keeps: errno is what the C library's call left (or
// EAGAIN when the caller's non-blocking hold or its own timeout ran out before
// anything moved, EINTR when a signal handler interrupted a wait before
// anything moved); a call made while this thread is already inside the
// library (the system library's own log and lock files, a signal handler that
// interrupted a wrapper) goes straight through; nothing throws.
#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

#include "preload/engine.h"
#include "preload/real_calls.h"
#include "preload/reentry.h"

namespace hxrun {
namespace {

// Longest a non-blocking caller is held in one call before it hears EAGAIN:
// short, so that event loops stay responsive, but long enough that a loop
// that polls again at once does not spin.
constexpr int64_t kNonBlockingHoldNs = 20 * 1000 * 1000;
// Sleep in slices so that a rate raised meanwhile is seen soon.
constexpr int64_t kSliceNs = 100 * 1000 * 1000;

// A blocking call's waits. Signals stay blocked between its sleeps, and each
// sleep lets them through atomically (ppoll), so none is lost while the call
// is busy (asking the table for its rate) or wakes at the very end of a
// sleep: each ends or resumes the call as a signal during the kernel's own
// wait would. Synchronous signals are never blocked.
class Waits {
 public:
  Waits() = default;
  Waits(const Waits&) = delete;
  Waits& operator=(const Waits&) = delete;
  ~Waits() { Unblock(); }
  // Before the kernel is handed a piece: its own blocking is interruptible.
  void Unblock() {
    if (blocked_) pthread_sigmask(SIG_SETMASK, &original_, nullptr);
    blocked_ = false;
  }

  // Sleeps ns (> 0); false when a signal handler ran meanwhile (or had been
  // pending). A restartable sleep goes on after handlers installed with
  // SA_RESTART, as a blocking socket call without a timeout does: their
  // signals wait (at most one sleep) until the sleep ends, and are delivered
  // before the next one.
  bool Sleep(int64_t ns, bool restartable) {
    if (!blocked_) {
      sigset_t all;
      sigfillset(&all);
      for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sig);
      blocked_ = pthread_sigmask(SIG_BLOCK, &all, &original_) == 0;
      if (!blocked_) return true;
      scanned_ = false;
    }
    const timespec ts{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    if (!restartable) return ppoll(nullptr, 0, &ts, &original_) == 0 || errno != EINTR;
    sigset_t pending, ignored;
    if (sigpending(&pending) == 0 && sigemptyset(&ignored) == 0) {
      bool any = false;
      for (int sig = 1; sig < NSIG && !any; ++sig) any = sigismember(&pending, sig) == 1 && sigismember(&original_, sig) == 0;
      if (any) {
        const bool plain = Scan(&pending, &ignored);
        sigset_t during;
        pthread_sigmask(SIG_SETMASK, &original_, &during);  // their handlers run here
        pthread_sigmask(SIG_SETMASK, &during, nullptr);
        scanned_ = false;  // the handlers may have changed
        if (plain) return false;
      }
    }
    if (!scanned_) {
      sleepMask_ = original_;
      Scan(nullptr, &sleepMask_);
      scanned_ = true;
    }
    return ppoll(nullptr, 0, &ts, &sleepMask_) == 0 || errno != EINTR;
  }

 private:
  // Of the signals the program lets through (and, with only, of those in
  // only), adds those caught with SA_RESTART to restart; true when one is
  // caught without it.
  bool Scan(const sigset_t* only, sigset_t* restart) const {
    bool plain = false;
    for (int sig = 1; sig < NSIG; ++sig) {
      struct sigaction sa;
      if (sigismember(&original_, sig) != 0 || (only != nullptr && sigismember(only, sig) != 1) ||
          sigaction(sig, nullptr, &sa) != 0) {
        continue;
      }
      if ((sa.sa_flags & SA_SIGINFO) == 0 && (sa.sa_handler == SIG_DFL || sa.sa_handler == SIG_IGN)) continue;
      if ((sa.sa_flags & SA_RESTART) != 0) {
        sigaddset(restart, sig);
      } else {
        plain = true;
      }
    }
    return plain;
  }

  bool blocked_ = false;
  bool scanned_ = false;
  sigset_t original_;   // the program's own mask
  sigset_t sleepMask_;  // ... and the signals caught with SA_RESTART
};

// A non-blocking caller's hold: a signal just ends it early.
bool HoldNs(int64_t ns) {
  const timespec ts{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
  return nanosleep(&ts, nullptr) == 0 || errno != EINTR;
}

// How the caller allows this call to block. A non-blocking descriptor (or
// MSG_DONTWAIT) allows the short hold above; a blocking one its SO_SNDTIMEO /
// SO_RCVTIMEO (0: no limit).
struct Hold {
  bool nonBlocking = false;
  int64_t limitNs = 0;
};

Hold LookUpHold(int fd, Direction d, bool dontWait) {
  Hold h;
  const int fl = fcntl(fd, F_GETFL);
  h.nonBlocking = dontWait || (fl != -1 && (fl & O_NONBLOCK) != 0);
  timeval tv{};
  socklen_t len = sizeof(tv);
  if (h.nonBlocking) {
    h.limitNs = kNonBlockingHoldNs;
  } else if (getsockopt(fd, SOL_SOCKET, d == kOutbound ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, &len) == 0) {
    h.limitNs = static_cast<int64_t>(tv.tv_sec) * 1000000000LL + static_cast<int64_t>(tv.tv_usec) * 1000;
  }
  return h;
}

// After this library, not the kernel, made a non-blocking call stop short or
// fail with EAGAIN, the kernel has no reason to signal readiness again, and an
// edge-triggered program would wait for it for ever. Setting the socket's own
// low-water mark to what it is makes the kernel signal readiness anew (to
// epoll, poll and SIGIO alike) when the socket is writable / has data; a
// socket that is not writable now is polled once, so that the kernel signals
// when space frees.
void Rearm(int fd, Direction d) {
  const int saved = errno;
  int value = 0;
  socklen_t len = sizeof(value);
  if (d == kOutbound) {
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 0);
    if (getsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, &len) == 0) {
      setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, len);
    }
  } else if (getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &value, &len) == 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &value, len);
  }
  errno = saved;
}

// One paced transfer. io(offset, n) moves at most n bytes starting offset
// bytes into the caller's data and returns the C library's result.
// splittable: io may be given less than the rest (plain buffers); vector
// calls go whole. flags: the call's MSG_ flags. Writes on a blocking socket,
// and reads with MSG_WAITALL, continue piece by piece until everything went,
// the kernel moved less than a piece (end of file, a timeout, a signal), an
// error or a signal during a wait; other reads, and calls on a non-blocking
// socket, end after their first piece. A signal during a wait ends the call
// as the kernel's own blocking call ends: with the bytes moved so far, or
// EINTR (resumed instead after an SA_RESTART handler when the socket has no
// timeout).
template <class Io>
ssize_t Paced(int fd, Direction d, size_t want, bool splittable, int flags, Io io) {
  Reentry guard;
  if (guard.nested() || want == 0) return io(0, want);
  size_t done = 0;
  int64_t held = 0;
  bool looked = false, rechecked = false;
  Hold hold;
  Waits waits;
  auto lookUp = [&]() -> const Hold& {
    if (!looked) hold = LookUpHold(fd, d, (flags & MSG_DONTWAIT) != 0);
    looked = true;
    return hold;
  };
  // The call ends without its next piece: err when nothing moved.
  auto end = [&](int err) -> ssize_t {
    if (hold.nonBlocking) Rearm(fd, d);
    if (done > 0) return static_cast<ssize_t>(done);
    errno = err;
    return -1;
  };
  for (;;) {
    const size_t rest = want - done;
    size_t piece = rest;
    int64_t wait = Admit(fd, d, rest, false, &piece);
    if (wait > 0 && !rechecked) {
      rechecked = true;  // a sleep costs a system call anyway
      wait = Admit(fd, d, rest, true, &piece);
    }
    if (wait < 0) {  // not (or no longer) a paced stream: the rest goes as asked
      waits.Unblock();
      if (done == 0) return io(0, want);
      const ssize_t r = io(done, rest);
      return static_cast<ssize_t>(done) + (r > 0 ? r : 0);
    }
    if (wait > 0) {
      const Hold& h = lookUp();
      if (h.limitNs > 0 && held >= h.limitNs) return end(EAGAIN);
      int64_t slice = wait < kSliceNs ? wait : kSliceNs;
      if (h.limitNs > 0 && slice > h.limitNs - held) slice = h.limitNs - held;
      if (h.nonBlocking ? !HoldNs(slice) : !waits.Sleep(slice, h.limitNs == 0 && done == 0)) {
        return end(h.nonBlocking ? EAGAIN : EINTR);
      }
      held += slice;
      continue;
    }
    if (!splittable) piece = rest;
    waits.Unblock();
    const ssize_t r = io(done, piece);
    if (r < 0) {
      if (done == 0) return r;
      return static_cast<ssize_t>(done);  // what went is reported; the error comes next call
    }
    if (r > 0) {
      const int saved = errno;
      Charge(fd, d, static_cast<size_t>(r));
      errno = saved;
    }
    done += static_cast<size_t>(r);
    if (r == 0 || static_cast<size_t>(r) < piece || done >= want) break;
    // A full piece went and more was asked for.
    if (lookUp().nonBlocking) {
      Rearm(fd, d);
      break;
    }
    if (d == kInbound && (flags & MSG_WAITALL) == 0) break;
  }
  return static_cast<ssize_t>(done);
}

size_t IovBytes(const struct iovec* iov, int count) {
  size_t n = 0;
  for (int i = 0; iov != nullptr && i < count; ++i) n += iov[i].iov_len;
  return n;
}

void Forget(int fd) {
  Reentry guard;
  if (!guard.nested()) ForgetFd(fd);
}

void ForgetFrom(unsigned int first, unsigned int last) {
  Reentry guard;
  if (!guard.nested()) ForgetRange(first, last);
}

__attribute__((constructor)) void Start() {
  Reentry guard;
  EngineStart();
}

}  // namespace
}  // namespace hxrun

using hxrun::kInbound;
using hxrun::kOutbound;
using hxrun::Paced;
using hxrun::Real;

#define HXRUN_API extern "C" __attribute__((visibility("default")))

HXRUN_API ssize_t write(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  return Paced(fd, kOutbound, n, true, 0,
               [&](size_t off, size_t len) { return Real().write(fd, p + off, len); });
}

HXRUN_API ssize_t send(int fd, const void* buf, size_t n, int flags) {
  const char* p = static_cast<const char*>(buf);
  return Paced(fd, kOutbound, n, true, flags,
               [&](size_t off, size_t len) { return Real().send(fd, p + off, len, flags); });
}

HXRUN_API ssize_t sendto(int fd, const void* buf, size_t n, int flags, const struct sockaddr* to,
                         socklen_t tolen) {
  const char* p = static_cast<const char*>(buf);
  return Paced(fd, kOutbound, n, true, flags, [&](size_t off, size_t len) {
    return Real().sendto(fd, p + off, len, flags, to, tolen);
  });
}

HXRUN_API ssize_t writev(int fd, const struct iovec* iov, int count) {
  return Paced(fd, kOutbound, hxrun::IovBytes(iov, count), false, 0,
               [&](size_t, size_t) { return Real().writev(fd, iov, count); });
}

HXRUN_API ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
  const size_t n = msg != nullptr ? hxrun::IovBytes(msg->msg_iov, static_cast<int>(msg->msg_iovlen)) : 0;
  return Paced(fd, kOutbound, n, false, flags,
               [&](size_t, size_t) { return Real().sendmsg(fd, msg, flags); });
}

// sendfile with the program's off_t: long in both ABIs without large-file
// support, and the 64-bit offset variant.
HXRUN_API ssize_t sendfile(int out, int in, long* offset, size_t count) {
  return Paced(out, kOutbound, count, true, 0,
               [&](size_t, size_t len) { return Real().sendfile(out, in, offset, len); });
}

HXRUN_API ssize_t sendfile64(int out, int in, long long* offset, size_t count) {
  return Paced(out, kOutbound, count, true, 0,
               [&](size_t, size_t len) { return Real().sendfile64(out, in, offset, len); });
}

HXRUN_API ssize_t read(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  return Paced(fd, kInbound, n, true, 0,
               [&](size_t off, size_t len) { return Real().read(fd, p + off, len); });
}

HXRUN_API ssize_t readv(int fd, const struct iovec* iov, int count) {
  return Paced(fd, kInbound, hxrun::IovBytes(iov, count), false, 0,
               [&](size_t, size_t) { return Real().readv(fd, iov, count); });
}

// A peek moves nothing: it is neither paced nor counted.
HXRUN_API ssize_t recv(int fd, void* buf, size_t n, int flags) {
  if ((flags & MSG_PEEK) != 0) return Real().recv(fd, buf, n, flags);
  char* p = static_cast<char*>(buf);
  return Paced(fd, kInbound, n, true, flags,
               [&](size_t off, size_t len) { return Real().recv(fd, p + off, len, flags); });
}

HXRUN_API ssize_t recvfrom(int fd, void* buf, size_t n, int flags, struct sockaddr* from,
                           socklen_t* fromlen) {
  if ((flags & MSG_PEEK) != 0) return Real().recvfrom(fd, buf, n, flags, from, fromlen);
  char* p = static_cast<char*>(buf);
  return Paced(fd, kInbound, n, true, flags, [&](size_t off, size_t len) {
    return Real().recvfrom(fd, p + off, len, flags, from, fromlen);
  });
}

HXRUN_API ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
  if ((flags & MSG_PEEK) != 0) return Real().recvmsg(fd, msg, flags);
  const size_t n = msg != nullptr ? hxrun::IovBytes(msg->msg_iov, static_cast<int>(msg->msg_iovlen)) : 0;
  return Paced(fd, kInbound, n, false, flags,
               [&](size_t, size_t) { return Real().recvmsg(fd, msg, flags); });
}

// The checked variants that programs built with _FORTIFY_SOURCE call.
HXRUN_API ssize_t __read_chk(int fd, void* buf, size_t n, size_t) { return read(fd, buf, n); }
HXRUN_API ssize_t __recv_chk(int fd, void* buf, size_t n, size_t, int flags) {
  return recv(fd, buf, n, flags);
}
HXRUN_API ssize_t __recvfrom_chk(int fd, void* buf, size_t n, size_t, int flags,
                                 struct sockaddr* from, socklen_t* fromlen) {
  return recvfrom(fd, buf, n, flags, from, fromlen);
}

HXRUN_API int close(int fd) {
  hxrun::Forget(fd);
  return Real().close(fd);
}

// Closing paths that do not pass through close(): a FILE's own descriptor
// (fdopen), and ranges of descriptors.
HXRUN_API int fclose(FILE* stream) {
  if (stream != nullptr) {
    const int fd = fileno(stream);
    if (fd >= 0) hxrun::Forget(fd);
  }
  return Real().fclose(stream);
}

HXRUN_API int close_range(unsigned int first, unsigned int last, int flags) {
  if ((flags & CLOSE_RANGE_CLOEXEC) == 0) hxrun::ForgetFrom(first, last);
  return Real().close_range(first, last, flags);
}

HXRUN_API void closefrom(int first) {
  hxrun::ForgetFrom(first < 0 ? 0u : static_cast<unsigned int>(first), ~0u);
  Real().closefrom(first);
}

HXRUN_API int dup2(int from, int to) {
  if (from != to) hxrun::Forget(to);
  return Real().dup2(from, to);
}

HXRUN_API int dup3(int from, int to, int flags) {
  if (from != to) hxrun::Forget(to);
  return Real().dup3(from, to, flags);
}

// A new descriptor may reuse a number whose earlier socket was closed where
// this library could not see it: start its record afresh.
HXRUN_API int socket(int domain, int type, int protocol) {
  const int fd = Real().socket(domain, type, protocol);
  if (fd >= 0) hxrun::Forget(fd);
  return fd;
}

HXRUN_API int accept(int fd, struct sockaddr* addr, socklen_t* len) {
  const int s = Real().accept(fd, addr, len);
  if (s >= 0) hxrun::Forget(s);
  return s;
}

HXRUN_API int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags) {
  const int s = Real().accept4(fd, addr, len, flags);
  if (s >= 0) hxrun::Forget(s);
  return s;
}

// An exec replaces the image without running exit handlers: streams and table
// counts are given back first. (execl* and posix_spawn reach the kernel
// inside the C library, past these.)
namespace {
void BeforeExec() {
  hxrun::Reentry guard;
  if (!guard.nested()) hxrun::EngineBeforeExec();
}
}  // namespace

HXRUN_API int execve(const char* path, char* const argv[], char* const envp[]) {
  BeforeExec();
  return Real().execve(path, argv, envp);
}

HXRUN_API int execv(const char* path, char* const argv[]) {
  BeforeExec();
  return Real().execv(path, argv);
}

HXRUN_API int execvp(const char* file, char* const argv[]) {
  BeforeExec();
  return Real().execvp(file, argv);
}

HXRUN_API int execvpe(const char* file, char* const argv[], char* const envp[]) {
  BeforeExec();
  return Real().execvpe(file, argv, envp);
}
