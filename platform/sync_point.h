// Sync points: named places in the code where a test can make one thread wait
// for another, so that races are ordered by the test instead of by sleeps.
// HX_SYNC_POINT(name) compiles to nothing unless HX_SYNC_POINTS is defined
// (test builds of the library); a release build carries no trace of them.
#pragma once

#include "platform/hx_export.h"

#ifdef HX_SYNC_POINTS
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace hxp {

// The process's sync point registry. Processing is off until EnableProcessing.
class HXP_EXPORT SyncPoints {
 public:
  static SyncPoints* Get();
  // Each pair (a, b): a thread reaching b waits until some thread has passed a
  // (for every a paired with b). Replaces the previous order and forgets
  // which points were passed.
  void LoadDependency(const std::vector<std::pair<std::string, std::string>>& order);
  // A callback run by the thread reaching point (before it waits or passes).
  void SetCallBack(const std::string& point, std::function<void()> callback);
  void EnableProcessing();
  // Stops processing and forgets every dependency, callback and passage.
  void DisableProcessing();
  // Called by HX_SYNC_POINT.
  void Process(const char* point);

 private:
  SyncPoints() = default;
  struct Impl;
  Impl* impl();
};

// A test's order for its own scope: loaded and enabled here, disabled (every
// waiter released) at the end.
class ScopedSyncOrder {
 public:
  explicit ScopedSyncOrder(const std::vector<std::pair<std::string, std::string>>& order) {
    SyncPoints::Get()->LoadDependency(order);
    SyncPoints::Get()->EnableProcessing();
  }
  ~ScopedSyncOrder() { SyncPoints::Get()->DisableProcessing(); }
  ScopedSyncOrder(const ScopedSyncOrder&) = delete;
  ScopedSyncOrder& operator=(const ScopedSyncOrder&) = delete;
};

}  // namespace hxp

#define HX_SYNC_POINT(name) ::hxp::SyncPoints::Get()->Process(name)
#else
#define HX_SYNC_POINT(name) ((void)0)
#endif
