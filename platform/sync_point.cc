// The sync point registry of test builds (HX_SYNC_POINTS); empty otherwise.
#include "platform/sync_point.h"

#ifdef HX_SYNC_POINTS
#include <condition_variable>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace hxp {

struct SyncPoints::Impl {
  std::mutex mu;
  std::condition_variable passed_cv;
  // Read without the lock first: while processing is off (every test but
  // those that order threads) a point costs one load and never takes mu, so
  // a child forked while another thread held mu cannot hang on it.
  std::atomic<bool> enabled{false};
  std::map<std::string, std::vector<std::string>> predecessors;  // b -> every a
  std::map<std::string, std::function<void()>> callbacks;
  std::set<std::string> passed;
  int running_callbacks = 0;
  std::condition_variable callbacks_cv;
};

SyncPoints* SyncPoints::Get() {
  static SyncPoints points;
  return &points;
}

SyncPoints::Impl* SyncPoints::impl() {
  // Never destroyed: threads may pass points while the process exits.
  static Impl* const state = new Impl;
  return state;
}

void SyncPoints::LoadDependency(const std::vector<std::pair<std::string, std::string>>& order) {
  Impl& s = *impl();
  std::lock_guard<std::mutex> g(s.mu);
  s.predecessors.clear();
  s.passed.clear();
  for (const auto& ab : order) s.predecessors[ab.second].push_back(ab.first);
  s.passed_cv.notify_all();
}

void SyncPoints::SetCallBack(const std::string& point, std::function<void()> callback) {
  Impl& s = *impl();
  std::unique_lock<std::mutex> g(s.mu);
  s.callbacks_cv.wait(g, [&] { return s.running_callbacks == 0; });
  s.callbacks[point] = std::move(callback);
}

void SyncPoints::EnableProcessing() {
  Impl& s = *impl();
  std::lock_guard<std::mutex> g(s.mu);
  s.enabled = true;
}

void SyncPoints::DisableProcessing() {
  Impl& s = *impl();
  std::unique_lock<std::mutex> g(s.mu);
  s.enabled = false;
  s.callbacks_cv.wait(g, [&] { return s.running_callbacks == 0; });
  s.predecessors.clear();
  s.callbacks.clear();
  s.passed.clear();
  s.passed_cv.notify_all();  // waiters pass once processing is off
}

void SyncPoints::Process(const char* point) {
  Impl& s = *impl();
  if (!s.enabled.load()) return;
  std::unique_lock<std::mutex> g(s.mu);
  if (!s.enabled) return;
  const std::string name(point);
  auto cb = s.callbacks.find(name);
  if (cb != s.callbacks.end()) {
    // Run without the registry lock: the callback may pass other points.
    std::function<void()> f = cb->second;
    ++s.running_callbacks;
    g.unlock();
    f();
    g.lock();
    if (--s.running_callbacks == 0) s.callbacks_cv.notify_all();
  }
  auto pred = s.predecessors.find(name);
  if (pred != s.predecessors.end()) {
    // Every pair (a, b) holds: b waits for each of its a (a copy: the map may
    // be reloaded while this thread waits).
    const std::vector<std::string> before = pred->second;
    s.passed_cv.wait(g, [&] {
      if (!s.enabled) return true;
      for (const std::string& a : before) {
        if (s.passed.count(a) == 0) return false;
      }
      return true;
    });
  }
  if (!s.enabled) return;
  s.passed.insert(name);
  s.passed_cv.notify_all();
}

}  // namespace hxp
#endif
