#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <x86intrin.h>

#include "platform/config_store.h"
#include "platform/ev_debug.h"
#include "platform/hx_platform_info.h"
#include "platform/hx_sys.h"
#include "platform/named_mutex_file.h"
#include "platform/secure_fs.h"

namespace {

using hxp::kGenerationMask;
using hxp::kGenerationOne;
using hxp::kOwnerMask;
using hxp::kSetupByte;
using hxp::kSlotBase;
using hxp::kSlotCount;
using hxp::kWaitersBit;
using hxp::NamedMutexFileHeader;
using hxp::NamedMutexSegment;

// A waiter sleeps at most this long before it looks whether the holder is
// still alive, so a holder's death is noticed within about this time.
constexpr long kLivenessPollMs = 5;
// A holder compares its open lock file with the one at the path at most this
// often (a stat costs more than the lock itself).
constexpr int64_t kIdentityRecheckMs = 100;
// Cleaners remove files by age; a lock file in use gets a fresh modification
// time this often.
constexpr int64_t kTouchEveryMs = 3600 * 1000;

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Time-stamp counter ticks in kIdentityRecheckMs, 0 until measured. Reading
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

// Bumped in a child after fork: every State then re-adopts itself before use
// (fcntl locks, and so the liveness byte, are not inherited).
std::atomic<unsigned> g_forkGeneration{0};
void OnForkChild() { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); }

int FileLockRange(int fd, short type, off_t start, off_t len, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  int rc;
  do {
    rc = HxSys()->fcntlLock(fd, wait ? F_SETLKW : F_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// Takes a free liveness byte for this process: slot + 1, or 0 when none.
uint32_t TakeSlot(int fd) {
  uint32_t start = static_cast<uint32_t>(getpid()) % kSlotCount;
  for (uint32_t i = 0; i < 512; ++i) {
    uint32_t slot = (start + i) % kSlotCount;
    int err = FileLockRange(fd, F_WRLCK, kSlotBase + static_cast<off_t>(slot), 1, false);
    if (err == 0) return slot + 1;
    if (err != EAGAIN && err != EACCES) return 0;
  }
  return 0;
}

// Whether some process holds the liveness byte of owner (slot + 1). Errors
// count as alive: a wrong "dead" would give two holders.
bool OwnerAlive(int fd, uint32_t owner) {
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kSlotBase + static_cast<off_t>(owner - 1);
  fl.l_len = 1;
  if (HxSys()->fcntlLock(fd, F_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

void FutexWake(uint32_t* word, int count) {
  syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Sleeps while *word == expected, at most ms; woken early by a release.
// True when the time ran out. The time is passed as the futex call of this
// ABI reads it (two longs), whatever width time_t has.
bool FutexWait(uint32_t* word, uint32_t expected, long ms) {
  struct {
    long sec;
    long nsec;
  } ts = {ms / 1000, (ms % 1000) * 1000000L};
  return syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0) != 0 &&
         errno == ETIMEDOUT;
}

uint32_t Load(uint32_t* word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }
bool Cas(uint32_t* word, uint32_t expected, uint32_t desired) {
  return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED);
}
uint32_t Owner(uint32_t v) { return v & kOwnerMask; }
// The word v taken by mine: the next generation, without the waiters bit.
uint32_t TakenBy(uint32_t v, uint32_t mine) {
  return ((v + kGenerationOne) & kGenerationMask) | mine;
}
// The word v released: free, with its generation.
uint32_t Freed(uint32_t v) { return v & kGenerationMask; }

// One opened lock file of this process: its descriptor, its attached segment
// and this process's liveness byte in it. Never freed before its State, so a
// thread that read State::current may go on using it.
struct Mapping {
  int fd = -1;
  NamedMutexSegment* shared = nullptr;  // null: file locks only
  int segmentId = -1;
  uint32_t mine = 0;                    // slot + 1
};

// A word naming this process's own fresh slot was left by a dead process that
// had the same slot: release it for the others and tell the next holder.
void ClearStaleOwner(Mapping* m) {
  uint32_t* word = &m->shared->word;
  for (;;) {
    uint32_t v = Load(word);
    if (Owner(v) != m->mine) return;
    __atomic_store_n(&m->shared->ownerDied, 1u, __ATOMIC_RELAXED);
    if (Cas(word, v, Freed(v))) {
      if (v & kWaitersBit) FutexWake(word, INT_MAX);
      return;
    }
  }
}

// The segment is handled with the real system calls: the HxSys entries for
// segments stand for the throttle tables' segment in tests.
// Finding, creating and removing the segment of a lock file is serialised
// between processes by the file's setup byte, and between the threads of this
// process (to which fcntl locks belong) by g_setupMu.
std::mutex g_setupMu;

class SetupLock {
 public:
  explicit SetupLock(int fd)
      : guard_(g_setupMu), fd_(fd), error_(FileLockRange(fd, F_WRLCK, kSetupByte, 1, true)) {}
  ~SetupLock() {
    if (error_ == 0) FileLockRange(fd_, F_UNLCK, kSetupByte, 1, false);
  }
  int error() const { return error_; }

 private:
  std::lock_guard<std::mutex> guard_;
  int fd_;
  int error_;
};

bool Failed(std::string* why, const char* what, int err) {
  *why = std::string(what) + ": " + std::strerror(err);
  errno = err;
  return false;
}

// Attaches the segment of m's file, creating it when none of its keys holds
// it. A segment under one of the keys that names another file (or is not one
// of ours) is left alone; one that cannot be examined ends the search, since
// it may be this file's. False with *why when there is none to use.
bool AttachSegment(Mapping* m, std::string* why) {
  struct stat st;
  if (fstat(m->fd, &st) != 0) return Failed(why, "cannot examine the lock file", errno);
  SetupLock setup(m->fd);
  if (setup.error() != 0) return Failed(why, "cannot lock the lock file", setup.error());
  const uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
  int freeKey = 0;
  for (int i = 0; i < hxp::kSegmentProbes; ++i) {
    const int key = hxp::SegmentKey(dev, ino, i);
    const int id = ::shmget(key, 0, 0);
    if (id < 0) {
      if (errno != ENOENT) return Failed(why, "cannot look for the lock's segment", errno);
      if (freeKey == 0) freeKey = key;
      continue;
    }
    struct shmid_ds ds;
    if (::shmctl(id, IPC_STAT, &ds) != 0) {
      return Failed(why, "cannot examine the lock's segment", errno);
    }
    if (ds.shm_segsz != sizeof(NamedMutexSegment)) continue;
    void* p = ::shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) return Failed(why, "cannot attach the lock's segment", errno);
    NamedMutexSegment* seg = static_cast<NamedMutexSegment*>(p);
    if (__atomic_load_n(&seg->magic, __ATOMIC_ACQUIRE) == hxp::kSegmentMagic &&
        seg->fileDev == dev && seg->fileIno == ino) {
      m->shared = seg;
      m->segmentId = id;
      return true;
    }
    ::shmdt(p);
  }
  if (freeKey == 0) return Failed(why, "every key of the lock's segment is taken", EEXIST);
  const int mode = isHalvexGroupConfigured() != 0 ? 0660 : 0666;
  const int id = ::shmget(freeKey, sizeof(NamedMutexSegment), IPC_CREAT | IPC_EXCL | mode);
  if (id < 0) return Failed(why, "cannot create the lock's segment", errno);
  gid_t gid;
  struct shmid_ds ds;
  if (hxp::ConfiguredGroup(&gid) && ::shmctl(id, IPC_STAT, &ds) == 0 &&
      ds.shm_perm.gid != gid) {
    ds.shm_perm.gid = gid;
    ::shmctl(id, IPC_SET, &ds);
  }
  void* p = ::shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) {
    const int err = errno;
    ::shmctl(id, IPC_RMID, nullptr);
    return Failed(why, "cannot attach the lock's segment", err);
  }
  NamedMutexSegment* seg = static_cast<NamedMutexSegment*>(p);
  seg->fileDev = dev;
  seg->fileIno = ino;
  __atomic_store_n(&seg->magic, hxp::kSegmentMagic, __ATOMIC_RELEASE);
  m->shared = seg;
  m->segmentId = id;
  return true;
}

// Detaches m's segment; the last process to do so removes it. A process
// killed while attached leaves it to the next user of the file.
void DetachSegment(Mapping* m) {
  SetupLock setup(m->fd);
  ::shmdt(m->shared);
  m->shared = nullptr;
  struct shmid_ds ds;
  if (setup.error() == 0 && ::shmctl(m->segmentId, IPC_STAT, &ds) == 0 &&
      ds.shm_nattch == 0) {
    ::shmctl(m->segmentId, IPC_RMID, nullptr);
  }
}

// Opens path; with wantShared also takes a liveness byte and attaches the
// segment (shared == null when either fails).
Mapping* OpenMapping(const std::string& path, bool wantShared, std::string* why) {
  int fd = hxp::OpenLockFile(path, why);
  if (fd < 0) return nullptr;
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

// Everything of one lock file in this process. fcntl locks belong to the
// process and closing any descriptor of the file drops them, so all
// CNamedMutex objects of one path share one State.
struct State {
  std::string path;
  int refs = 0;                          // GUARDED_BY(g_registryMu)
  std::atomic<Mapping*> current{nullptr};
  std::mutex switchMu;                   // serialises replacing current
  std::vector<Mapping*> retired;         // GUARDED_BY(switchMu)
  std::atomic<unsigned> forkGeneration{0};  // written under switchMu
  bool fallbackLogged = false;           // GUARDED_BY(g_registryMu)

  // Shared-word lock; the fields below holder belong to the holding thread.
  std::atomic<unsigned long> holder{0};  // pthread_self of the holder, 0 = none here
  long depth = 0;
  Mapping* held = nullptr;
  int64_t checkedAtMs = INT64_MIN / 2;
  uint64_t checkedTicks = 0;
  int64_t touchedAtMs = INT64_MIN / 2;
  std::atomic<bool> ownerDied{false};

  // File-lock variant.
  std::mutex mu;
  std::condition_variable cv;
  bool owned = false;  // GUARDED_BY(mu): a thread holds or is taking the file lock
  std::thread::id owner;
  long fileDepth = 0;
};

std::mutex g_registryMu;
std::map<std::string, State*>* g_registry = new std::map<std::string, State*>;

State* Acquire(const std::string& path, bool wantShared, std::string* why) {
  static std::once_flag atfork;
  std::call_once(atfork, [] { pthread_atfork(nullptr, nullptr, OnForkChild); });
  std::lock_guard<std::mutex> lock(g_registryMu);
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
  std::lock_guard<std::mutex> lock(g_registryMu);
  if (--s->refs > 0) return;
  g_registry->erase(s->path);
  for (Mapping* m : s->retired) CloseMapping(m);
  CloseMapping(s->current.load());
  delete s;
}

// In a child after fork: nothing is held here, and the liveness byte must be
// this process's own.
void AdoptAfterFork(State* s) {
  std::lock_guard<std::mutex> lock(s->switchMu);
  unsigned gen = g_forkGeneration.load(std::memory_order_relaxed);
  if (s->forkGeneration.load() == gen) return;
  s->forkGeneration.store(gen);
  s->holder.store(0, std::memory_order_relaxed);
  s->depth = 0;
  s->held = nullptr;
  s->owned = false;
  s->fileDepth = 0;
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

void AdoptIfForked(State* s) {
  if (s->forkGeneration.load(std::memory_order_relaxed) !=
      g_forkGeneration.load(std::memory_order_relaxed)) {
    AdoptAfterFork(s);
  }
}

// Replaces the State's file by the one now at the path. The caller holds
// neither lock of the old file afterwards (it releases them itself).
// A record not taken into use is retired, not closed: its descriptor may be
// of the file another thread just moved to, and closing it would drop this
// process's liveness byte there.
bool SwitchFile(State* s, Mapping* old, std::string* why) {
  Mapping* m = OpenMapping(s->path, old->shared != nullptr, why);
  if (!m) return false;
  std::lock_guard<std::mutex> lock(s->switchMu);
  if (s->current.load() != old) {  // another thread switched first
    s->retired.push_back(m);
    return true;
  }
  if (old->shared && !m->shared) {
    s->retired.push_back(m);
    return false;
  }
  s->retired.push_back(old);
  s->current.store(m);
  return true;
}

// Frees m's word when this process holds it; false when another does.
bool ReleaseWord(Mapping* m) {
  uint32_t* word = &m->shared->word;
  uint32_t v = Load(word);
  while (Owner(v) == m->mine) {
    if (__atomic_compare_exchange_n(word, &v, Freed(v), false, __ATOMIC_RELEASE,
                                    __ATOMIC_RELAXED)) {
      if (v & kWaitersBit) FutexWake(word, 1);
      return true;
    }
  }
  return false;
}

// Takes the word of a dead holder found in v, adding waitersBit. True when
// taken. The generation in v makes the exchange fail when the word changed
// hands meanwhile, even back to the same slot.
bool TakeOverIfDead(Mapping* m, uint32_t v, uint32_t waitersBit) {
  uint32_t owner = Owner(v);
  if (owner == 0 || owner == m->mine || OwnerAlive(m->fd, owner)) return false;
  if (!Cas(&m->shared->word, v, TakenBy(v, m->mine) | waitersBit)) return false;
  __atomic_store_n(&m->shared->ownerDied, 1u, __ATOMIC_RELAXED);
  return true;
}

// Whether the calling thread holds the shared-word lock of s.
bool HeldHere(State* s) {
  return s->holder.load(std::memory_order_relaxed) == static_cast<unsigned long>(pthread_self()) &&
         s->depth > 0;
}

// Writes size bytes at offset of the lock file's header: 0 or an errno.
int WriteHeader(int fd, const void* data, size_t size, off_t offset) {
  ssize_t n;
  do {
    n = pwrite(fd, data, size, offset);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size) ? 0 : (n < 0 ? errno : EIO);
}

enum TakeResult { kTaken, kTimedOut, kFileChanged };

// Takes m's word for this process.
TakeResult TakeWord(State* s, Mapping* m, bool wait, long timeoutMs,
                    std::chrono::steady_clock::time_point* deadline) {
  uint32_t* word = &m->shared->word;
  uint32_t v = Load(word);
  if (Owner(v) == 0 && Cas(word, v, TakenBy(v, m->mine))) return kTaken;
  // The clock is read only now: the free path never needs it.
  const bool limited = timeoutMs >= 0;
  if (limited && *deadline == std::chrono::steady_clock::time_point{}) {
    *deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  v = Load(word);
  if (Owner(v) == 0 ? Cas(word, v, TakenBy(v, m->mine)) : TakeOverIfDead(m, v, v & kWaitersBit)) {
    return kTaken;
  }
  if (!wait) return kTimedOut;
  // Locked sections are short: spinning a little often beats a sleep.
  for (int spin = 0; spin < 100; ++spin) {
    __builtin_ia32_pause();
    v = Load(word);
    if (Owner(v) == 0 && Cas(word, v, TakenBy(v, m->mine))) return kTaken;
  }
  // Having slept, take it marked as waited for: others may sleep too.
  bool lookAtOwner = false;
  for (;;) {
    if (s->current.load(std::memory_order_acquire) != m) return kFileChanged;
    v = Load(word);
    if (Owner(v) == 0) {
      if (Cas(word, v, TakenBy(v, m->mine) | kWaitersBit)) return kTaken;
      continue;
    }
    if (lookAtOwner && TakeOverIfDead(m, v, kWaitersBit)) return kTaken;
    if (!(v & kWaitersBit)) {
      if (!Cas(word, v, v | kWaitersBit)) continue;
      v |= kWaitersBit;
    }
    long sleepMs = kLivenessPollMs;
    if (limited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      *deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return kTimedOut;
      sleepMs = std::min<long>(sleepMs, static_cast<long>(left));
    }
    lookAtOwner = FutexWait(word, v, sleepMs);
  }
}

}  // namespace

struct CNamedMutex::Impl {
  State* state = nullptr;
  bool shared = false;  // the word is used (else file locks)
  int FileLock(CError& error, long timeoutMs, bool wait);
  int FileUnlock(CError& error);
};

int CNamedMutex::RemoveLockFile(const std::string& path) try {
  const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    // Under the setup byte no process can attach or create the segment.
    SetupLock setup(fd);
    const uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
    for (int i = 0; setup.error() == 0 && i < hxp::kSegmentProbes; ++i) {
      const int id = ::shmget(hxp::SegmentKey(dev, ino, i), 0, 0);
      struct shmid_ds ds;
      if (id < 0 || ::shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_nattch != 0 ||
          ds.shm_segsz != sizeof(NamedMutexSegment)) {
        continue;
      }
      void* p = ::shmat(id, nullptr, SHM_RDONLY);
      if (p == reinterpret_cast<void*>(-1)) continue;
      const NamedMutexSegment* seg = static_cast<const NamedMutexSegment*>(p);
      const bool ours = seg->magic == hxp::kSegmentMagic && seg->fileDev == dev && seg->fileIno == ino;
      ::shmdt(p);
      if (ours) ::shmctl(id, IPC_RMID, nullptr);
    }
  }
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
    State* s = Acquire(path, kind == kShared, &why);
    if (!s) {
      error_.Set(errno ? errno : EIO, "named mutex: " + why);
      return;
    }
    impl_->state = s;
    impl_->shared = kind == kShared && s->current.load()->shared != nullptr;
    if (kind == kShared && !impl_->shared) {
      std::lock_guard<std::mutex> lock(g_registryMu);
      if (!s->fallbackLogged) {
        s->fallbackLogged = true;
        EvDebug().debugLvl(1, 0, "named mutex %s: using file locks: %s", path.c_str(),
                           why.empty() ? "no shared mapping" : why.c_str());
      }
    }
  } catch (...) {
    error_.Set(ENOMEM, "named mutex: out of memory");
  }
}

CNamedMutex::~CNamedMutex() {
  if (impl_ && impl_->state) Release(impl_->state);
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
  AdoptIfForked(s);
  if (!impl_->shared) return impl_->FileLock(error_, timeoutMs, wait);

  const unsigned long self = static_cast<unsigned long>(pthread_self());
  if (s->holder.load(std::memory_order_relaxed) == self) {
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
    TakeResult r = TakeWord(s, m, wait, wait ? std::max(timeoutMs, -1L) : 0, &deadline);
    if (r == kFileChanged) continue;
    if (r == kTimedOut) {
      error_.Set(ETIMEDOUT, "named mutex: timed out (held by another thread or process)");
      return -2;
    }
    if (s->current.load(std::memory_order_acquire) != m) {  // switched while taking
      ReleaseWord(m);
      continue;
    }
    s->ownerDied.store(__atomic_load_n(&m->shared->ownerDied, __ATOMIC_RELAXED) != 0,
                       std::memory_order_relaxed);
    const uint64_t ticks = __rdtsc();
    const int64_t perCheck = g_ticksPerRecheck.load(std::memory_order_relaxed);
    if (perCheck > 0 && ticks - s->checkedTicks < static_cast<uint64_t>(perCheck)) {
      s->held = m;
      s->depth = 1;
      s->holder.store(self, std::memory_order_relaxed);
      return 0;
    }
    int64_t now = NowMs();
    if (perCheck == 0) Calibrate(ticks, now);
    if (now - s->checkedAtMs < kIdentityRecheckMs) {
      s->held = m;
      s->depth = 1;
      s->holder.store(self, std::memory_order_relaxed);
      return 0;
    }
    // A lock file removed meanwhile (say by a cleaner) would let the next
    // process create a new one and lock that instead: only the word of the
    // file now at the path counts. The time counts from a look that found
    // the file, so after a failed switch every lock() looks again.
    if (hxp::IsFileAtPath(m->fd, s->path)) {
      s->checkedAtMs = now;
      s->checkedTicks = ticks;
      if (now - s->touchedAtMs > kTouchEveryMs) {
        futimens(m->fd, nullptr);
        s->touchedAtMs = now;
      }
      s->held = m;
      s->depth = 1;
      s->holder.store(self, std::memory_order_relaxed);
      return 0;
    }
    std::string why;
    bool switched = false;
    try {
      switched = SwitchFile(s, m, &why);
    } catch (...) {
      why = "out of memory";
    }
    ReleaseWord(m);
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
  AdoptIfForked(s);  // a child made by fork holds nothing
  if (!impl_->shared) return impl_->FileUnlock(error_);
  if (!HeldHere(s)) {
    error_.Set(EPERM, "named mutex: unlock by a thread that does not hold it");
    return -1;
  }
  if (--s->depth > 0) return 0;
  Mapping* m = s->held;
  s->held = nullptr;
  s->holder.store(0, std::memory_order_relaxed);
  if (ReleaseWord(m)) return 0;
  // Someone else's now: leave it alone.
  error_.Set(EIO, "named mutex: the lock was taken over while held");
  return -1;
}

bool CNamedMutex::TakeOwnerDied() {
  State* s = impl_ ? impl_->state : nullptr;
  if (!s) return false;
  AdoptIfForked(s);
  return s->ownerDied.exchange(false);
}

int CNamedMutex::MarkRepaired() {
  State* s = impl_ ? impl_->state : nullptr;
  if (!s) {
    if (error_.GetCode() == 0) error_.Set(EBADF, "named mutex: not open");
    return -1;
  }
  AdoptIfForked(s);
  int err = 0;
  if (impl_->shared) {
    if (!HeldHere(s)) err = EPERM;
    if (err == 0) __atomic_store_n(&s->held->shared->ownerDied, 0u, __ATOMIC_RELAXED);
  } else {
    std::lock_guard<std::mutex> lock(s->mu);
    if (!s->owned || s->owner != std::this_thread::get_id() || s->fileDepth <= 0) err = EPERM;
    const uint32_t zero = 0;
    if (err == 0) err = WriteHeader(s->current.load()->fd, &zero, sizeof(zero),
                                    offsetof(NamedMutexFileHeader, repairPending));
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

// ---- File-lock variant ------------------------------------------------------

namespace {

// The held marker: found set by the next holder, it means the previous one
// died inside.
int WriteHeldMarker(int fd, bool held) {
  const uint8_t c = held ? 1 : 0;
  return WriteHeader(fd, &c, 1, offsetof(NamedMutexFileHeader, fileLockHeld));
}

// Takes the write lock on the word area of fd: without limit, or polling
// until deadline. 0, EAGAIN/EACCES when the time ran out, or another errno.
int TakeFileLock(int fd, bool limited, std::chrono::steady_clock::time_point deadline) {
  if (!limited) return FileLockRange(fd, F_WRLCK, 0, kSlotBase, true);
  int pauseMs = 1;
  for (;;) {
    int err = FileLockRange(fd, F_WRLCK, 0, kSlotBase, false);
    if (err != EAGAIN && err != EACCES) return err;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return err;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(pauseMs, left)));
    if (pauseMs < 20) pauseMs *= 2;
  }
}

}  // namespace

int CNamedMutex::Impl::FileLock(CError& error, long timeoutMs, bool wait) {
  State* s = state;
  const auto self = std::this_thread::get_id();
  const bool limited = !wait || timeoutMs >= 0;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(wait && timeoutMs > 0 ? timeoutMs : 0);
  {
    std::unique_lock<std::mutex> lock(s->mu);
    if (s->owned && s->owner == self) {
      ++s->fileDepth;
      return 0;
    }
    if (!limited) {
      s->cv.wait(lock, [s] { return !s->owned; });
    } else if (!s->cv.wait_until(lock, deadline, [s] { return !s->owned; })) {
      error.Set(ETIMEDOUT, "named mutex: timed out (held by another thread)");
      return -2;
    }
    s->owned = true;
    s->owner = self;
    s->fileDepth = 0;
  }

  // This thread alone now speaks for the process on the file lock.
  int err;
  for (;;) {
    Mapping* m = s->current.load();
    err = TakeFileLock(m->fd, limited, deadline);
    if (err != 0) break;
    if (hxp::IsFileAtPath(m->fd, s->path)) break;
    std::string why;
    bool switched = false;
    try {
      switched = SwitchFile(s, m, &why);
    } catch (...) {
    }
    FileLockRange(m->fd, F_UNLCK, 0, kSlotBase, false);
    if (!switched) {
      err = errno ? errno : EIO;
      break;
    }
  }
  if (err == 0) {
    // A held marker left set is a holder that died inside: the repair it
    // calls for is pending until a holder marks it done.
    int fd = s->current.load()->fd;
    NamedMutexFileHeader header;
    std::memset(&header, 0, sizeof(header));
    if (pread(fd, &header, sizeof(header), 0) < 0) err = errno;
    if (err == 0 && header.fileLockHeld != 0 && header.repairPending == 0) {
      header.repairPending = 1;
      err = WriteHeader(fd, &header.repairPending, sizeof(header.repairPending),
                        offsetof(NamedMutexFileHeader, repairPending));
    }
    s->ownerDied.store(header.repairPending != 0);
    if (err == 0) err = WriteHeldMarker(fd, true);
    if (err != 0) FileLockRange(fd, F_UNLCK, 0, kSlotBase, false);
  }
  if (err == 0) {
    int64_t now = NowMs();
    if (now - s->touchedAtMs > kTouchEveryMs) {
      futimens(s->current.load()->fd, nullptr);
      s->touchedAtMs = now;
    }
  }

  std::lock_guard<std::mutex> lock(s->mu);
  if (err != 0) {
    s->owned = false;
    s->cv.notify_one();
    if (err == EAGAIN || err == EACCES) {
      error.Set(ETIMEDOUT, "named mutex: timed out (held by another process)");
      return -2;
    }
    error.Set(err, std::string("named mutex: lock failed: ") + std::strerror(err));
    return -1;
  }
  s->fileDepth = 1;
  return 0;
}

int CNamedMutex::Impl::FileUnlock(CError& error) {
  State* s = state;
  std::lock_guard<std::mutex> lock(s->mu);
  if (!s->owned || s->owner != std::this_thread::get_id() || s->fileDepth <= 0) {
    error.Set(EPERM, "named mutex: unlock by a thread that does not hold it");
    return -1;
  }
  if (--s->fileDepth > 0) return 0;
  int fd = s->current.load()->fd;
  int err = WriteHeldMarker(fd, false);
  int unlockErr = FileLockRange(fd, F_UNLCK, 0, kSlotBase, false);
  if (err == 0) err = unlockErr;
  s->owned = false;
  s->cv.notify_one();
  if (err != 0) {
    error.Set(err, std::string("named mutex: unlock failed: ") + std::strerror(err));
    return -1;
  }
  return 0;
}
