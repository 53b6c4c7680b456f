#include "platform/named_mutex_registry.h"

#include <errno.h>
#include <pthread.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <new>

#include "platform/hx_env.h"
#include "platform/sync_point.h"

namespace hxp {

hx::Mutex g_registryMu;

namespace {

constexpr int64_t kTouchEveryMs = 3600 * 1000;

std::map<std::string, State*>* const g_registry PT_GUARDED_BY(g_registryMu) =
    new std::map<std::string, State*>;

// Bumped in a child after fork: every State then re-adopts itself before use
// (fcntl locks, and so the liveness byte, are not inherited).
std::atomic<unsigned> g_forkGeneration{0};
void OnForkChild() { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); }

// Opens path and checks its format; with wantShared also takes a liveness
// byte and attaches the segment (shared == null when either fails).
Mapping* OpenMapping(const std::string& path, bool wantShared, std::string* why) {
  const int fd = OpenLockFile(path, why);
  if (fd < 0) return nullptr;
  if (!CheckLockFileFormat(fd, why)) {
    const int err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  Mapping* m = new (std::nothrow) Mapping;
  if (!m) {
    close(fd);
    *why = "out of memory";
    errno = ENOMEM;
    return nullptr;
  }
  m->fd = fd;
  if (!wantShared) return m;
  m->mine = TakeSlot(fd);
  if (m->mine == 0) {
    *why = "no free liveness byte in the lock file";
    return m;
  }
  if (AttachSegment(m, why)) ClearStaleOwner(m);
  return m;
}

void CloseMapping(Mapping* m) {
  if (m->shared) DetachSegment(m);
  if (m->fd >= 0) close(m->fd);  // also drops this process's file locks on it
  delete m;
}

// The file-lock holding of the parent is not the child's. The child runs one
// thread, and s->mu may have been copied while a parent thread held it: the
// fields are reset without it.
void ForgetFileLockAfterFork(State* s) NO_THREAD_SAFETY_ANALYSIS {
  s->owned = false;
  s->fileDepth = 0;
}

// In a child after fork: nothing is held here, and the liveness byte must be
// this process's own.
void AdoptAfterFork(State* s) {
  hx::MutexLock lock(&s->switchMu);
  unsigned gen = g_forkGeneration.load(std::memory_order_relaxed);
  if (s->forkGeneration.load() == gen) return;
  s->forkGeneration.store(gen);
  s->holder.store(0, std::memory_order_relaxed);
  s->depth = 0;
  s->held = nullptr;
  ForgetFileLockAfterFork(s);
  s->ownerDied.store(false);
  // The old record stays readable for threads that loaded it, as an empty
  // husk: the new one owns the descriptor and the mapping.
  Mapping* old = s->current.load();
  Mapping* m = new Mapping;
  m->fd = old->fd;
  m->shared = old->shared;
  m->segmentId = old->segmentId;
  m->mine = old->shared ? TakeSlot(old->fd) : 0;
  if (m->shared && m->mine == 0) {  // unusable: lock() fails
    ::shmdt(m->shared);
    m->shared = nullptr;
  }
  if (m->shared) ClearStaleOwner(m);
  old->fd = -1;
  old->shared = nullptr;
  s->retired.push_back(old);
  s->current.store(m);
}

}  // namespace

State* Acquire(const std::string& path, bool wantShared, std::string* why) {
  static std::once_flag atfork;
  std::call_once(atfork, [] { pthread_atfork(nullptr, nullptr, OnForkChild); });
  hx::MutexLock lock(&g_registryMu);
  auto it = g_registry->find(path);
  if (it != g_registry->end()) {
    ++it->second->refs;
    return it->second;
  }
  Mapping* m = OpenMapping(path, wantShared, why);
  if (!m) return nullptr;
  State* s = new State;
  s->path = path;
  s->refs = 1;
  s->current.store(m);
  s->forkGeneration.store(g_forkGeneration.load(std::memory_order_relaxed));
  (*g_registry)[path] = s;
  return s;
}

void Release(State* s) {
  hx::MutexLock lock(&g_registryMu);
  if (--s->refs > 0) return;
  g_registry->erase(s->path);
  {
    hx::MutexLock switching(&s->switchMu);
    for (Mapping* m : s->retired) CloseMapping(m);
  }
  CloseMapping(s->current.load());
  delete s;
}

bool FirstFallback(State* s) {
  hx::MutexLock lock(&g_registryMu);
  const bool first = !s->fallbackLogged;
  s->fallbackLogged = true;
  return first;
}

void AdoptIfForked(State* s) {
  if (s->forkGeneration.load(std::memory_order_relaxed) !=
      g_forkGeneration.load(std::memory_order_relaxed)) {
    AdoptAfterFork(s);
  }
}

int64_t NowMs() { return HxEnv::Default()->MonotonicMs(); }

void TouchIfDue(State* s, int fd, int64_t nowMs) {
  if (nowMs - s->touchedAtMs > kTouchEveryMs) {
    futimens(fd, nullptr);
    s->touchedAtMs = nowMs;
  }
}

// A record not taken into use is retired, not closed: its descriptor may be
// of the file another thread just moved to, and closing it would drop this
// process's liveness byte there.
bool SwitchFile(State* s, Mapping* old, std::string* why) {
  Mapping* m = OpenMapping(s->path, old->shared != nullptr, why);
  if (!m) return false;
  hx::MutexLock lock(&s->switchMu);
  if (s->current.load() != old) {  // another thread switched first
    s->retired.push_back(m);
    return true;
  }
  if (old->shared && !m->shared) {
    s->retired.push_back(m);
    errno = EIO;
    return false;
  }
  s->retired.push_back(old);
  s->current.store(m);
  HX_SYNC_POINT("NamedMutex::SwitchFile:Moved");
  return true;
}

}  // namespace hxp
