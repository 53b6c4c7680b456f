// The table lock as a scope: taken at construction, released at destruction,
// so that no return and no exception leaves the table's named mutex held.
#pragma once

#include "throttling/throttling_manager.h"

// For the analysis the lock is held inside the scope; at run time the code
// must still look at held() before touching the table.
class SCOPED_CAPABILITY CHxThrottlingManager::TableLock {
 public:
  // Opt-out: Lock() may fail, which a scoped capability cannot express.
  explicit TableLock(CHxThrottlingManager& manager) ACQUIRE(manager.Mutex) NO_THREAD_SAFETY_ANALYSIS
      : manager_(manager), held_(manager.Lock()) {}
  ~TableLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    if (held_) manager_.Unlock();
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
  // False when the lock could not be taken or the manager is not initialised.
  bool held() const { return held_; }

 private:
  CHxThrottlingManager& manager_;
  bool held_;
};

