// CNamedMutex: a lock shared by every process (32- or 64-bit) that uses the same
// name. Re-entrant for the holding thread; excludes other threads of the same
// process; a holder killed with SIGKILL never wedges it (a waiter finds the
// holder dead within a few milliseconds and takes over), and every later
// holder is told (TakeOwnerDied) until one has repaired (MarkRepaired).
//
// Taking and releasing a free lock is one atomic operation each on a word in
// a small System V segment that belongs to the lock file
// "<lock directory>/<escaped name>.lock"; only waiting enters the kernel
// (futex). The file itself is never mapped, so nothing done to it (shrunk,
// removed, its disk full) can raise a signal in a user. Each process marks
// itself alive by a file lock on a byte of that file. When the segment cannot
// be had, or with kind kFileLock, or when HX_NAMED_MUTEX=fcntl is set, the
// lock is an fcntl lock on the file instead (one log line tells when it is a
// fall-back). Every process using one name must use the same kind: the two do
// not exclude each other. The last process to close the lock removes the
// segment; one left by processes that were killed is used by the next.
//
// A lock file removed or replaced while in use is noticed within 100 ms by a
// process taking the lock, which then moves to the file at the path; while it
// cannot move, every lock() fails.
// A child made by fork holds nothing; it may use the objects it inherited once
// it runs a single thread of its own (it gets its own liveness byte on first use).
#pragma once

#include <string>

#include "platform/hx_error.h"
#include "platform/hx_export.h"
#include "platform/thread_annotations.h"

class HXP_EXPORT CAPABILITY("named mutex") CNamedMutex {
 public:
  enum Kind { kShared, kFileLock };

  // Opens (creating when missing) the lock for name. On failure error gets a
  // non-zero code and every lock() fails. The lock directory must be a real
  // directory owned by root or this user that others cannot write; the lock
  // file is never opened through a symlink. The lock file and the segment get
  // the mode of the throttle tables: 0666, or 0660 and the "Platform"
  // "HxGroup" group when that is configured, so that whoever may attach a
  // table may take its lock.
  CNamedMutex(const char* name, CError& error, bool create, Kind kind = kShared);
  ~CNamedMutex();
  CNamedMutex(const CNamedMutex&) = delete;
  CNamedMutex& operator=(const CNamedMutex&) = delete;

  // wait true: waits up to timeoutMs (-1 = without limit); wait false: tries
  // once. 0 on success, re-entrantly for the holding thread; -2 when the time
  // ran out, -1 on any other failure, with code and text in the error record.
  // The record is not synchronised: failing calls of several threads on one
  // object may overwrite each other's text.
  int lock(long timeoutMs, bool wait);
  // Negative when the calling thread does not hold the lock (a child made by
  // fork holds none of its parent's locks).
  int unlock();
  // True once per holding (reading it clears it) when the lock() that took
  // the lock found a holder that died while holding it, and no holder has
  // called MarkRepaired since. The holder should check and repair what the
  // lock protects, then call MarkRepaired.
  bool TakeOwnerDied();
  // Said by the holder once what the lock protects is repaired: later
  // holders are no longer told. Negative when the calling thread does not
  // hold the lock, or the mark cannot be written.
  int MarkRepaired();

  // The kind in use (kFileLock after a fall-back).
  Kind kind() const;

  // Directory of the lock files: ".locks" in the job-results directory of
  // the current focus (HXPI_Focus), which belongs to the instance.
  static std::string LockDirectory();

  // Removes the lock file at path (an entry of LockDirectory()) together with
  // its segment when no process has the segment attached: for whoever removes
  // an instance, so that a lock whose users were all killed leaves nothing
  // behind. A segment still in use stays. 0, or -1 with errno.
  static int RemoveLockFile(const std::string& path);

 private:
  struct Impl;
  Impl* impl_;
  CError& error_;
};
