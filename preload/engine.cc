#include "preload/engine.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/monotonic_clock.h"
#include "preload/pacer.h"
#include "preload/real_calls.h"
#include "preload/reentry.h"
#include "preload/run_settings.h"
#include "throttling/throttling_manager.h"

namespace hxrun {

__thread int t_depth __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// Descriptors at or above this are left unthrottled: a fixed table keeps the
// write path free of allocation (it may run inside a signal handler).
constexpr int kMaxFds = 16384;
constexpr int64_t kQueryEveryNs = 100 * 1000 * 1000;  // rate query at least every 100 ms
constexpr uint64_t kQueryEveryBytes = 1 << 20;        // ... or every MiB
constexpr uint32_t kRecheckEveryMs = 100;             // descriptor identity checked at least this often
constexpr unsigned int kLogTag = 0x48585255;          // "HXRU"

enum FdKind : uint8_t { kUnknown = 0, kOther = 1, kNetStream = 2 };

struct Stream {
  uint32_t generation = 0;  // process generation the fields below belong to
  bool registered = false;
  bool failed = false;      // registration refused: unthrottled until closed
  unsigned long long handle = 0;
  uint64_t bytes = 0;       // moved since registration
  uint64_t bytesAtQuery = 0;
  int64_t lastQueryNs = 0;
  Pacer pacer;
};

struct FdEntry {
  FdKind kind = kUnknown;  // read without g_mutex on the fast path
  uint32_t checkedMs = 0;  // coarse clock of the last identity check (idem)
  uint64_t dev = 0, ino = 0;  // identity of what kind describes
  Stream streams[2];
};

struct Table {
  CHxThrottlingManager* manager = nullptr;
  int state = 0;  // 0 not tried, 1 attached, -1 failed for good
};

// The engine's lock: a statically initialised pthread mutex (no constructor
// runs before the first call), started afresh in a forked child.
struct CAPABILITY("mutex") EngineMutex {
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  void Lock() ACQUIRE() { pthread_mutex_lock(&mu); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mu); }
};
EngineMutex g_mutex;
// Zero-initialised storage: no constructor has to run before the first call.
FdEntry g_fds[kMaxFds];
Table g_tables[2] GUARDED_BY(g_mutex);
RunSettings* g_settings = nullptr;  // null: not run by hxctl, or bad settings
bool g_started = false;
bool g_exitHookSet GUARDED_BY(g_mutex) = false;
uint32_t g_generation = 1;  // bumped in every forked child
int g_highestFd = -1;       // highest descriptor ever given a stream
int g_highestKnown = -1;    // highest descriptor ever looked at

class SCOPED_CAPABILITY MutexLock {
 public:
  MutexLock() ACQUIRE(g_mutex) { g_mutex.Lock(); }
  ~MutexLock() RELEASE() { g_mutex.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
};

void SayOnStderr(const std::string& text) {
  std::string line = "hxrun: " + text + "\n";
  Real().write(2, line.data(), line.size());
}

const char* Getenv(const char* name) { return getenv(name); }

// Every call into a manager runs under g_mutex, so holding it across fork()
// means no thread is inside the table lock (or the system library's lock
// bookkeeping) at the fork, and the child finds them all free. A fork from a
// signal handler that interrupted this library on its own thread skips that.
bool g_forkLocked = false;

// (Opt-out: the lock is held from the prepare handler to the parent's or the
// child's, which the analysis cannot pair.)
void OnForkPrepare() NO_THREAD_SAFETY_ANALYSIS {
  if (t_depth == 0) {
    g_mutex.Lock();
    g_forkLocked = true;
  }
}

void OnForkParent() NO_THREAD_SAFETY_ANALYSIS {
  if (g_forkLocked) {
    g_forkLocked = false;
    g_mutex.Unlock();
  }
}

void OnForkChild() NO_THREAD_SAFETY_ANALYSIS {
  // Start the mutex afresh (held by the parent's forking thread, or by one
  // of its other threads after a fork from a signal handler). The parent's
  // streams and managers stay the parent's business.
  g_forkLocked = false;
  g_mutex = EngineMutex();
  ++g_generation;
  for (Table& t : g_tables) t = Table();
}

void OnExit() {
  Reentry guard;
  EngineShutdown();
}

// Milliseconds of a coarse monotonic clock (a few ms resolution, cheaper to
// read than the precise one); wraps, so only differences count.
uint32_t CoarseMs() { return static_cast<uint32_t>(hxp::MonotonicMs(true)); }

bool IsNetStream(int fd) {
  int type = 0, domain = 0;
  socklen_t len = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
  len = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
  return domain == AF_INET || domain == AF_INET6;
}

CHxThrottlingManager* Attach(Direction d) REQUIRES(g_mutex) {
  Table& t = g_tables[d];
  if (t.state == 1) return t.manager;
  if (t.state == -1 || g_settings == nullptr) return nullptr;
  const unsigned int kind = d == kOutbound ? g_settings->OutboundKind() : g_settings->InboundKind();
  CHxThrottlingManager* m = new (std::nothrow) CHxThrottlingManager();
  if (m == nullptr || m->Initialize(g_settings->focus.c_str(), kLogTag, kind) != 0) {
    delete m;
    t.state = -1;
    SayOnStderr(std::string("cannot attach the ") + (d == kOutbound ? "outbound" : "inbound") +
                " throttle table of instance '" + g_settings->focus + "'; running unthrottled");
    return nullptr;
  }
  t.manager = m;
  t.state = 1;
  if (!g_exitHookSet) {
    // Registered after the system library is up, so it runs before that
    // library's own objects are destroyed at exit.
    g_exitHookSet = true;
    atexit(OnExit);
  }
  return m;
}

// The stream of fd in direction d for this process, reset when it belongs to
// another generation. fd in range.
Stream& StreamOf(int fd, Direction d) REQUIRES(g_mutex) {
  Stream& s = g_fds[fd].streams[d];
  if (s.generation != g_generation) {
    s = Stream();
    s.generation = g_generation;
  }
  return s;
}

void Query(Stream& s, Direction d, int64_t now) REQUIRES(g_mutex) {
  CHxThrottlingManager* m = g_tables[d].manager;
  if (m == nullptr) return;
  unsigned int mbph = 0;
  const int rc = m->GetThroughputRate(s.handle, s.bytes, mbph);
  s.lastQueryNs = now;
  s.bytesAtQuery = s.bytes;
  if (rc == 0) {
    s.pacer.SetRate(MbphToBytesPerSecond(mbph), now);
  } else if (rc == 2) {
    // Cleaned up behind our back (its recorded parent ended): register anew.
    s.registered = false;
  }
  // On -1 the last rate stays.
}

// fd is tracked.
void Register(int fd, Stream& s, Direction d, int64_t now) REQUIRES(g_mutex) {
  CHxThrottlingManager* m = Attach(d);
  if (m == nullptr) {
    s.failed = true;
    return;
  }
  _TMSRegParams p;
  p.JobID = g_settings->jobId;
  p.SubclientThroughput = g_settings->limitMBPH;
  p.RCID = static_cast<uint32_t>(getpid());
  std::strncpy(p.ComputerName, g_settings->computer.c_str(), 47);
  const unsigned long long handle = m->RegisterStream(p);
  if (handle == kTMInvalidHandle) {
    s.failed = true;
    return;
  }
  s.registered = true;
  s.handle = handle;
  s.bytesAtQuery = s.bytes;
  if (fd > g_highestFd) g_highestFd = fd;
  Query(s, d, now);
}

void Unregister(Stream& s, Direction d) REQUIRES(g_mutex) {
  if (s.generation == g_generation && s.registered && g_tables[d].manager != nullptr) {
    g_tables[d].manager->UnregisterStream(s.handle);
  }
  s = Stream();
}

// fd is in range.
void Forget(int fd) REQUIRES(g_mutex) {
  FdEntry& e = g_fds[fd];
  if (e.kind == kNetStream) {
    Unregister(e.streams[kOutbound], kOutbound);
    Unregister(e.streams[kInbound], kInbound);
  }
  e.dev = e.ino = 0;
  __atomic_store_n(&e.kind, kUnknown, __ATOMIC_RELAXED);
}

// Brings what is known of fd up to date with what the number now holds: a
// different file than the one recorded (or none) ends the recorded streams.
// fd is in range.
void Check(int fd, uint32_t nowMs) REQUIRES(g_mutex) {
  FdEntry& e = g_fds[fd];
  struct stat64 st;
  if (fstat64(fd, &st) != 0) {
    Forget(fd);
    return;
  }
  const uint64_t dev = st.st_dev, ino = st.st_ino;
  if (e.kind == kUnknown || e.dev != dev || e.ino != ino) {
    Forget(fd);
    e.dev = dev;
    e.ino = ino;
    __atomic_store_n(&e.kind, S_ISSOCK(st.st_mode) && IsNetStream(fd) ? kNetStream : kOther, __ATOMIC_RELAXED);
    if (fd > g_highestKnown) g_highestKnown = fd;
  }
  __atomic_store_n(&e.checkedMs, nowMs, __ATOMIC_RELAXED);
}

}  // namespace

int64_t NowNs() { return hxp::MonotonicNs(); }

void EngineStart() {
  MutexLock lock;
  if (g_started) return;
  g_started = true;
  Real();
  RunSettings parsed;
  std::string error;
  const int rc = ParseRunSettings(Getenv, &parsed, &error);
  if (rc == 0) {
    g_settings = new (std::nothrow) RunSettings(parsed);
  } else if (rc < 0) {
    SayOnStderr(error + "; running unthrottled");
  }
  if (g_settings != nullptr) pthread_atfork(OnForkPrepare, OnForkParent, OnForkChild);
}

int64_t Admit(int fd, Direction d, size_t rest, bool recheck, size_t* piece) {
  if (g_settings == nullptr || fd < 0 || fd >= kMaxFds) return -1;
  if (d == kOutbound ? !g_settings->outbound : !g_settings->inbound) return -1;
  FdEntry& e = g_fds[fd];
  const uint32_t nowMs = CoarseMs();
  // Files and pipes, once known, cost no lock on every call.
  if (!recheck && __atomic_load_n(&e.kind, __ATOMIC_RELAXED) == kOther &&
      nowMs - __atomic_load_n(&e.checkedMs, __ATOMIC_RELAXED) < kRecheckEveryMs) {
    return -1;
  }
  MutexLock lock;
  if (g_tables[d].state == -1) return -1;
  if (recheck || e.kind == kUnknown || nowMs - e.checkedMs >= kRecheckEveryMs) Check(fd, nowMs);
  if (e.kind != kNetStream) return -1;
  Stream& s = StreamOf(fd, d);
  if (s.failed) return -1;
  const int64_t now = NowNs();
  if (!s.registered) {
    Register(fd, s, d, now);
    if (!s.registered) return -1;
  } else if (now - s.lastQueryNs >= kQueryEveryNs || s.bytes - s.bytesAtQuery >= kQueryEveryBytes) {
    Query(s, d, now);
  }
  const int64_t wait = s.pacer.WaitNs(now);
  if (wait == 0) *piece = s.pacer.PieceLimit(rest);
  return wait;
}

void Charge(int fd, Direction d, size_t bytes) {
  if (fd < 0 || fd >= kMaxFds) return;
  MutexLock lock;
  Stream& s = StreamOf(fd, d);
  if (!s.registered) return;
  s.bytes += bytes;
  s.pacer.Charge(bytes, NowNs());
}

void ForgetFd(int fd) {
  if (g_settings == nullptr || fd < 0 || fd >= kMaxFds) return;
  MutexLock lock;
  Forget(fd);
}

void ForgetRange(unsigned int first, unsigned int last) {
  if (g_settings == nullptr) return;
  MutexLock lock;
  for (unsigned int fd = first; static_cast<int64_t>(fd) <= g_highestKnown && fd <= last; ++fd) {
    Forget(static_cast<int>(fd));
  }
}

namespace {

void UnregisterAll() REQUIRES(g_mutex) {
  for (int fd = 0; fd <= g_highestFd && fd < kMaxFds; ++fd) {
    Unregister(g_fds[fd].streams[kOutbound], kOutbound);
    Unregister(g_fds[fd].streams[kInbound], kInbound);
  }
}

}  // namespace

void EngineBeforeExec() {
  if (g_settings == nullptr) return;
  MutexLock lock;
  UnregisterAll();
  for (Table& t : g_tables) {
    if (t.state == 1 && t.manager != nullptr) {
      t.manager->Uninitialize();
      delete t.manager;
    }
    t = Table();
  }
}

void EngineShutdown() {
  if (g_settings == nullptr) return;
  MutexLock lock;
  UnregisterAll();
  for (Table& t : g_tables) {
    // Uninitialize only: the object itself stays, as other threads may still
    // be on their way through it while the process ends.
    if (t.state == 1 && t.manager != nullptr) t.manager->Uninitialize();
    t.state = -1;
  }
}

}  // namespace hxrun
