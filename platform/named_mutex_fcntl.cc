#include "platform/named_mutex_fcntl.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

namespace hxp {
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

// Takes the file lock of the file at s's path for the process, moving to a
// new file found there. 0 or an errno.
int TakeCurrentFile(State* s, bool limited, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    Mapping* m = s->current.load();
    int err = TakeFileLock(m->fd, limited, deadline);
    if (err != 0) return err;
    const int atPath = IsFileAtPath(m->fd, s->path);
    if (atPath > 0) return 0;
    err = errno;
    std::string why;
    bool switched = false;
    if (atPath == 0) {
      try {
        switched = SwitchFile(s, m, &why);
      } catch (...) {
      }
      err = errno ? errno : EIO;
    }
    FileLockRange(m->fd, F_UNLCK, 0, kSlotBase, false);
    if (!switched) return err;
  }
}

// Reads the held marker left by the previous holder and sets this one's.
// A marker left set is a holder that died inside: the repair it calls for is
// pending until a holder marks it done. 0 or an errno.
int MarkHeld(State* s, int fd) {
  NamedMutexFileHeader header;
  int err = ReadHeader(fd, &header);
  if (err == 0 && header.fileLockHeld != 0 && header.repairPending == 0) {
    header.repairPending = 1;
    err = WriteHeader(fd, &header.repairPending, sizeof(header.repairPending),
                      offsetof(NamedMutexFileHeader, repairPending));
  }
  s->ownerDied.store(header.repairPending != 0);
  return err == 0 ? WriteHeldMarker(fd, true) : err;
}

bool HeldByThisThread(State* s) REQUIRES(s->mu) {
  return s->owned && s->owner == std::this_thread::get_id() && s->fileDepth > 0;
}

}  // namespace

int FileLockTake(State* s, long timeoutMs, bool wait, CError& error) {
  const auto self = std::this_thread::get_id();
  const bool limited = !wait || timeoutMs >= 0;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(wait && timeoutMs > 0 ? timeoutMs : 0);
  {
    hx::MutexLock lock(&s->mu);
    if (s->owned && s->owner == self) {
      ++s->fileDepth;
      return 0;
    }
    while (s->owned) {
      if (!limited) {
        s->cv.Wait(&s->mu);
      } else if (!s->cv.WaitUntil(&s->mu, deadline) && s->owned) {
        error.Set(ETIMEDOUT, "named mutex: timed out (held by another thread)");
        return -2;
      }
    }
    s->owned = true;
    s->owner = self;
    s->fileDepth = 0;
  }

  // This thread alone now speaks for the process on the file lock.
  int err = TakeCurrentFile(s, limited, deadline);
  if (err == 0) {
    const int fd = s->current.load()->fd;
    err = MarkHeld(s, fd);
    if (err != 0) FileLockRange(fd, F_UNLCK, 0, kSlotBase, false);
  }
  if (err == 0) TouchIfDue(s, s->current.load()->fd, NowMs());

  hx::MutexLock lock(&s->mu);
  if (err != 0) {
    s->owned = false;
    s->cv.Signal();
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

int FileLockRelease(State* s, CError& error) {
  hx::MutexLock lock(&s->mu);
  if (!HeldByThisThread(s)) {
    error.Set(EPERM, "named mutex: unlock by a thread that does not hold it");
    return -1;
  }
  if (--s->fileDepth > 0) return 0;
  const int fd = s->current.load()->fd;
  int err = WriteHeldMarker(fd, false);
  const int unlockErr = FileLockRange(fd, F_UNLCK, 0, kSlotBase, false);
  if (err == 0) err = unlockErr;
  s->owned = false;
  s->cv.Signal();
  if (err != 0) {
    error.Set(err, std::string("named mutex: unlock failed: ") + std::strerror(err));
    return -1;
  }
  return 0;
}

int FileLockMarkRepaired(State* s) {
  hx::MutexLock lock(&s->mu);
  if (!HeldByThisThread(s)) return EPERM;
  const uint32_t zero = 0;
  return WriteHeader(s->current.load()->fd, &zero, sizeof(zero),
                     offsetof(NamedMutexFileHeader, repairPending));
}

}  // namespace hxp
