// The table lock as a scope: taken at construction, released at destruction,
// so that no return and no exception leaves the table's named mutex held.
#pragma once

#include "throttling/throttling_manager.h"

class CHxThrottlingManager::TableLock {
 public:
  explicit TableLock(CHxThrottlingManager& manager) : manager_(manager), held_(manager.Lock()) {}
  ~TableLock() {
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

