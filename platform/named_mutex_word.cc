#include "platform/named_mutex_word.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/cpu_relax.h"
#include "platform/hx_mutex.h"
#include "platform/hx_platform_info.h"
#include "platform/hx_sys.h"
#include "platform/secure_fs.h"

namespace hxp {
namespace {

// A waiter sleeps at most this long before it looks whether the holder is
// still alive, so a holder's death is noticed within about this time.
constexpr long kLivenessPollMs = 5;

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

// The segment is handled with the real system calls: the HxSys entries for
// segments stand for the throttle tables' segment in tests.
// Finding, creating and removing the segment of a lock file is serialised
// between processes by the file's setup byte, and between the threads of this
// process (to which fcntl locks belong) by g_setupMu.
hx::Mutex g_setupMu;

class SCOPED_CAPABILITY SetupLock {
 public:
  explicit SetupLock(int fd) ACQUIRE(g_setupMu) : fd_(fd) {
    g_setupMu.Lock();
    error_ = FileLockRange(fd, F_WRLCK, kSetupByte, 1, true);
  }
  ~SetupLock() RELEASE() {
    if (error_ == 0) FileLockRange(fd_, F_UNLCK, kSetupByte, 1, false);
    g_setupMu.Unlock();
  }
  int error() const { return error_; }

 private:
  int fd_;
  int error_;
};

bool Failed(std::string* why, const char* what, int err) {
  *why = std::string(what) + ": " + std::strerror(err);
  errno = err;
  return false;
}

}  // namespace

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

bool AttachSegment(Mapping* m, std::string* why) {
  struct stat st;
  if (HxSys()->fstat(m->fd, &st) != 0) return Failed(why, "cannot examine the lock file", errno);
  SetupLock setup(m->fd);
  if (setup.error() != 0) return Failed(why, "cannot lock the lock file", setup.error());
  const uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
  int freeKey = 0;
  for (int i = 0; i < kSegmentProbes; ++i) {
    const int key = SegmentKey(dev, ino, i);
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
    if (__atomic_load_n(&seg->magic, __ATOMIC_ACQUIRE) == kSegmentMagic &&
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
  if (ConfiguredGroup(&gid) && ::shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_perm.gid != gid) {
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
  __atomic_store_n(&seg->magic, kSegmentMagic, __ATOMIC_RELEASE);
  m->shared = seg;
  m->segmentId = id;
  return true;
}

void DetachSegment(Mapping* m) {
  SetupLock setup(m->fd);
  ::shmdt(m->shared);
  m->shared = nullptr;
  struct shmid_ds ds;
  if (setup.error() == 0 && ::shmctl(m->segmentId, IPC_STAT, &ds) == 0 && ds.shm_nattch == 0) {
    ::shmctl(m->segmentId, IPC_RMID, nullptr);
  }
}

void RemoveUnusedSegment(int fd) {
  struct stat st;
  if (HxSys()->fstat(fd, &st) != 0) return;
  // Under the setup byte no process can attach or create the segment.
  SetupLock setup(fd);
  const uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
  for (int i = 0; setup.error() == 0 && i < kSegmentProbes; ++i) {
    const int id = ::shmget(SegmentKey(dev, ino, i), 0, 0);
    struct shmid_ds ds;
    if (id < 0 || ::shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_nattch != 0 ||
        ds.shm_segsz != sizeof(NamedMutexSegment)) {
      continue;
    }
    void* p = ::shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) continue;
    const NamedMutexSegment* seg = static_cast<const NamedMutexSegment*>(p);
    const bool ours = seg->magic == kSegmentMagic && seg->fileDev == dev && seg->fileIno == ino;
    ::shmdt(p);
    if (ours) ::shmctl(id, IPC_RMID, nullptr);
  }
}

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

TakeResult TakeWord(const std::atomic<Mapping*>& current, Mapping* m, bool wait, long timeoutMs,
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
    CpuRelax();
    v = Load(word);
    if (Owner(v) == 0 && Cas(word, v, TakenBy(v, m->mine))) return kTaken;
  }
  // Having slept, take it marked as waited for: others may sleep too.
  bool lookAtOwner = false;
  for (;;) {
    if (current.load(std::memory_order_acquire) != m) return kFileChanged;
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

bool OwnerDiedMarked(const Mapping* m) {
  return __atomic_load_n(&m->shared->ownerDied, __ATOMIC_RELAXED) != 0;
}

void ClearOwnerDied(Mapping* m) { __atomic_store_n(&m->shared->ownerDied, 0u, __ATOMIC_RELAXED); }

}  // namespace hxp
