// CNamedMutex: the choice of kind, and the shared-word lock's holding (the
// word itself is in named_mutex_word, file locks in named_mutex_fcntl, the
// per-file registry in named_mutex_registry).
#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/config_store.h"
#include "platform/cpu_relax.h"
#include "platform/ev_debug.h"
#include "platform/hx_platform_info.h"
#include "platform/named_mutex_fcntl.h"
#include "platform/named_mutex_file.h"
#include "platform/named_mutex_registry.h"
#include "platform/named_mutex_word.h"

namespace {

using hxp::Mapping;
using hxp::State;

// A holder compares its open lock file with the one at the path at most this
// often (a stat costs more than the lock itself).
constexpr int64_t kIdentityRecheckMs = 100;

// Counter ticks (CpuTicks) in kIdentityRecheckMs, 0 until measured. Reading
// the counter is an instruction, where even a cheap clock call is a system
// call under an emulator; the clock measures the counter's rate once.
std::atomic<int64_t> g_ticksPerRecheck{0};
std::atomic<uint64_t> g_calibrationTicks{0};
std::atomic<int64_t> g_calibrationMs{0};

void Calibrate(uint64_t ticks, int64_t nowMs) {
  uint64_t t0 = g_calibrationTicks.load(std::memory_order_relaxed);
  if (t0 == 0) {
    g_calibrationMs.store(nowMs, std::memory_order_relaxed);
    g_calibrationTicks.store(ticks, std::memory_order_relaxed);
    return;
  }
  int64_t elapsedMs = nowMs - g_calibrationMs.load(std::memory_order_relaxed);
  if (elapsedMs < 200 || ticks <= t0) return;
  // 0 (a counter slower than the clock) leaves it unmeasured.
  const uint64_t perCheck = (ticks - t0) / static_cast<uint64_t>(elapsedMs) *
                            static_cast<uint64_t>(kIdentityRecheckMs);
  g_ticksPerRecheck.store(static_cast<int64_t>(std::min<uint64_t>(perCheck, 1ull << 62)),
                          std::memory_order_relaxed);
}

// Whether m, whose word this thread just took, is still the file at s's
// path: 1 when it is (or was found so less than kIdentityRecheckMs ago), 0
// when another file or none is there, -1 with errno when it cannot be told.
// A lock file removed meanwhile (say by a cleaner) would let the next process
// create a new one and lock that instead: only the word of the file now at
// the path counts. The time counts from a look that found the file, so after
// a failed switch every lock() looks again.
int StillAtPath(State* s, Mapping* m) {
  const uint64_t ticks = hxp::CpuTicks();
  const int64_t perCheck = g_ticksPerRecheck.load(std::memory_order_relaxed);
  if (perCheck > 0 && ticks - s->checkedTicks < static_cast<uint64_t>(perCheck)) return 1;
  const int64_t now = hxp::NowMs();
  if (perCheck == 0) Calibrate(ticks, now);
  if (now - s->checkedAtMs < kIdentityRecheckMs) return 1;
  const int atPath = hxp::IsFileAtPath(m->fd, s->path);
  if (atPath <= 0) return atPath;
  s->checkedAtMs = now;
  s->checkedTicks = ticks;
  hxp::TouchIfDue(s, m->fd, now);
  return 1;
}

// The calling thread, which took m's word, becomes s's holder.
void BecomeHolder(State* s, Mapping* m) {
  s->ownerDied.store(hxp::OwnerDiedMarked(m), std::memory_order_relaxed);
  s->held = m;
  s->depth = 1;
  s->holder.store(static_cast<unsigned long>(pthread_self()), std::memory_order_relaxed);
}

// Whether the calling thread holds the shared-word lock of s.
bool HeldHere(State* s) {
  return s->holder.load(std::memory_order_relaxed) == static_cast<unsigned long>(pthread_self()) &&
         s->depth > 0;
}

}  // namespace

struct CNamedMutex::Impl {
  State* state = nullptr;
  bool shared = false;  // the word is used (else file locks)
};

int CNamedMutex::RemoveLockFile(const std::string& path) try {
  const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  hxp::RemoveUnusedSegment(fd);
  const int result = unlink(path.c_str());
  const int err = errno;
  close(fd);
  errno = err;
  return result;
} catch (...) {
  errno = ENOMEM;
  return -1;
}

std::string CNamedMutex::LockDirectory() {
  std::string dir = hxp::JobResultsDirectoryFor(HXPI_Focus::getFocus());
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/.locks";
}

CNamedMutex::CNamedMutex(const char* name, CError& error, bool /*create*/, Kind kind)
    : impl_(new (std::nothrow) Impl), error_(error) {
  error_.Clear();
  if (!impl_) {
    error_.Set(ENOMEM, "named mutex: out of memory");
    return;
  }
  if (!name || !*name) {
    error_.Set(EINVAL, "named mutex: empty name");
    return;
  }
  const char* choice = std::getenv("HX_NAMED_MUTEX");
  if (choice && std::strcmp(choice, "fcntl") == 0) kind = kFileLock;
  try {
    std::string why;
    std::string path = LockDirectory() + "/" + hxp::LockFileName(name);
    State* s = hxp::Acquire(path, kind == kShared, &why);
    if (!s) {
      error_.Set(errno ? errno : EIO, "named mutex: " + path + ": " + why);
      return;
    }
    impl_->state = s;
    impl_->shared = kind == kShared && s->current.load()->shared != nullptr;
    if (kind == kShared && !impl_->shared && hxp::FirstFallback(s)) {
      EvDebug().debugLvl(1, 0, "named mutex %s: using file locks: %s", path.c_str(),
                         why.empty() ? "no shared mapping" : why.c_str());
    }
  } catch (...) {
    error_.Set(ENOMEM, "named mutex: out of memory");
  }
}

CNamedMutex::~CNamedMutex() {
  if (impl_ && impl_->state) hxp::Release(impl_->state);
  delete impl_;
}

CNamedMutex::Kind CNamedMutex::kind() const {
  return impl_ && impl_->shared ? kShared : kFileLock;
}

int CNamedMutex::lock(long timeoutMs, bool wait) {
  State* s = impl_ ? impl_->state : nullptr;
  if (!s) {
    if (error_.GetCode() == 0) error_.Set(EBADF, "named mutex: not open");
    return -1;
  }
  hxp::AdoptIfForked(s);
  if (!impl_->shared) return hxp::FileLockTake(s, timeoutMs, wait, error_);

  if (s->holder.load(std::memory_order_relaxed) == static_cast<unsigned long>(pthread_self())) {
    ++s->depth;
    return 0;
  }
  std::chrono::steady_clock::time_point deadline{};  // set once waiting starts
  for (;;) {
    Mapping* m = s->current.load(std::memory_order_acquire);
    if (!m->shared) {
      error_.Set(ENOLCK, "named mutex: no liveness byte for this process");
      return -1;
    }
    const hxp::TakeResult r =
        hxp::TakeWord(s->current, m, wait, wait ? std::max(timeoutMs, -1L) : 0, &deadline);
    if (r == hxp::kFileChanged) continue;
    if (r == hxp::kTimedOut) {
      error_.Set(ETIMEDOUT, "named mutex: timed out (held by another thread or process)");
      return -2;
    }
    if (s->current.load(std::memory_order_acquire) != m) {  // switched while taking
      hxp::ReleaseWord(m);
      continue;
    }
    const int atPath = StillAtPath(s, m);
    if (atPath > 0) {
      BecomeHolder(s, m);
      return 0;
    }
    if (atPath < 0) {
      const int err = errno;
      hxp::ReleaseWord(m);
      error_.Set(err, std::string("named mutex: cannot examine the lock file: ") + std::strerror(err));
      return -1;
    }
    std::string why;
    bool switched = false;
    try {
      switched = hxp::SwitchFile(s, m, &why);
    } catch (...) {
      why = "out of memory";
    }
    hxp::ReleaseWord(m);
    if (!switched) {
      error_.Set(EIO, "named mutex: lock file replaced: " + why);
      return -1;
    }
    s->checkedAtMs = INT64_MIN / 2;  // look at the new file once taken
    s->checkedTicks = 0;
  }
}

int CNamedMutex::unlock() {
  State* s = impl_ ? impl_->state : nullptr;
  if (!s) {
    if (error_.GetCode() == 0) error_.Set(EBADF, "named mutex: not open");
    return -1;
  }
  hxp::AdoptIfForked(s);  // a child made by fork holds nothing
  if (!impl_->shared) return hxp::FileLockRelease(s, error_);
  if (!HeldHere(s)) {
    error_.Set(EPERM, "named mutex: unlock by a thread that does not hold it");
    return -1;
  }
  if (--s->depth > 0) return 0;
  Mapping* m = s->held;
  s->held = nullptr;
  s->holder.store(0, std::memory_order_relaxed);
  if (hxp::ReleaseWord(m)) return 0;
  // Someone else's now: leave it alone.
  error_.Set(EIO, "named mutex: the lock was taken over while held");
  return -1;
}

bool CNamedMutex::TakeOwnerDied() {
  State* s = impl_ ? impl_->state : nullptr;
  if (!s) return false;
  hxp::AdoptIfForked(s);
  return s->ownerDied.exchange(false);
}

int CNamedMutex::MarkRepaired() {
  State* s = impl_ ? impl_->state : nullptr;
  if (!s) {
    if (error_.GetCode() == 0) error_.Set(EBADF, "named mutex: not open");
    return -1;
  }
  hxp::AdoptIfForked(s);
  int err = 0;
  if (!impl_->shared) {
    err = hxp::FileLockMarkRepaired(s);
  } else if (!HeldHere(s)) {
    err = EPERM;
  } else {
    hxp::ClearOwnerDied(s->held);
  }
  if (err != 0) {
    error_.Set(err, err == EPERM ? "named mutex: repair marked by a thread that does not hold it"
                                 : std::string("named mutex: cannot mark repaired: ") +
                                       std::strerror(err));
    return -1;
  }
  s->ownerDied.store(false);
  return 0;
}
