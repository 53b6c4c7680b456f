// CNamedMutex: a lock shared by every process (32- or 64-bit) that uses the same
// name. Re-entrant for the holding thread; excludes other threads of the same
// process; a holder killed with SIGKILL never wedges it (the kernel releases a
// file lock with the process). Built from an in-process recursive mutex plus an
// fcntl lock on a lock file named after the mutex.
#pragma once

#include <string>

#include "platform/hx_export.h"

// Error record filled by platform objects: code 0 = no error.
class HXP_EXPORT CError {
 public:
  long GetCode() const { return code_; }
  const char* GetText() const { return text_.c_str(); }
  void Set(long code, const std::string& text) {
    code_ = code;
    text_ = text;
  }
  void Clear() { Set(0, ""); }

 private:
  long code_ = 0;
  std::string text_;
};

class HXP_EXPORT CNamedMutex {
 public:
  // Opens (creating when missing) the lock for name. On failure error gets a
  // non-zero code and every lock() fails.
  CNamedMutex(const char* name, CError& error, bool create);
  ~CNamedMutex();
  CNamedMutex(const CNamedMutex&) = delete;
  CNamedMutex& operator=(const CNamedMutex&) = delete;

  // wait true: waits up to timeoutMs (-1 = without limit); wait false: tries
  // once. 0 on success, re-entrantly for the holding thread; -2 when the time
  // ran out, -1 on any other failure, with code and text in the error record.
  // The record is not synchronised: failing calls of several threads on one
  // object may overwrite each other's text.
  int lock(long timeoutMs, bool wait);
  // Negative when the calling thread does not hold the lock.
  int unlock();
  // True once after a lock() that took the lock over from a holder that died
  // while holding it (the shared state it guards may be half-changed).
  // Called by the thread that holds the lock.
  bool TakeOwnerDied();

  // Directory of the lock files: $HXREG/Halvex/.locks when HXREG is set, else
  // /tmp/.hx_locks.
  static std::string LockDirectory();

 private:
  struct Impl;
  Impl* impl_;
  CError& error_;
};
