// Test access to CHxPerfManager's private state, and a scriptable provider.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "perfmonitor/perf_manager.h"

class CHxPerfManagerTestPeer {
 public:
  explicit CHxPerfManagerTestPeer(CHxPerfManager& m) : m_(m) {}
  std::vector<_PerfAgentInfo>& agents() { return m_.m_agents; }
  HxCriticalSection& lock() { return m_.m_lock; }
  const std::string& logDirectory() const { return m_.m_logDirectory; }
  uint32_t maxLogSizeMB() const { return m_.m_maxLogSizeMB; }
  uint32_t maxLogCount() const { return m_.m_maxLogCount; }
  void setMaxLogSizeMB(uint32_t v) { m_.m_maxLogSizeMB = v; }
  void setMaxLogCount(uint32_t v) { m_.m_maxLogCount = v; }
  bool running() const { return m_.m_bRunning; }
  bool stopRequested() const { return m_.m_bStopRequested; }
  // What a policy engine's SM_Init stores, without switching the intervals.
  void attachPolicy(const std::set<GenericResourcePolicyDetails>& policies,
                    PolicyDataCallback callback) {
    HxCriticalSectionGuard g(m_.m_lock);
    m_.m_policies = policies;
    m_.m_pfnPolicyCallback = callback;
  }
  void setPolicyMode(bool on) { m_.m_bPolicyMode = on; }

 private:
  CHxPerfManager& m_;
};

namespace hxtest {

// A provider whose answers the test sets and whose calls it counts. Counters
// are atomic: the monitor thread updates them while the test reads.
class FakeProvider : public iCHxPerfProvider {
 public:
  explicit FakeProvider(std::string name, std::vector<ResourceAgentType> types)
      : name_(std::move(name)), types_(std::move(types)) {}

  void GetPerfProviderName(std::string& name) override { name = name_; }
  void GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) override { types = types_; }
  int32_t Initialize(EvDebug*, iCHxPerfUpdateCallback* callback) override {
    ++initCalls;
    callback_ = callback;
    return initResult;
  }
  int32_t Uninitialize() override {
    ++uninitCalls;
    return 0;
  }
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType type) override {
    std::lock_guard<std::mutex> g(mu_);
    auto it = intervals_.find(type);
    return it == intervals_.end() ? 15 : it->second;
  }
  void UpdatePerfCounters(ResourceAgentType type) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      updates_.push_back(type);
    }
    ++updateCalls;
    if (onUpdate) onUpdate(type, callback_);
  }
  void SetAgentProp(ResourceAgentType, ResourceAgentPropType, std::vector<std::string>&) override {}

  void SetInterval(ResourceAgentType type, uint32_t minutes) {
    std::lock_guard<std::mutex> g(mu_);
    intervals_[type] = minutes;
  }
  std::vector<ResourceAgentType> Updates() {
    std::lock_guard<std::mutex> g(mu_);
    return updates_;
  }
  void ClearUpdates() {
    std::lock_guard<std::mutex> g(mu_);
    updates_.clear();
  }

  std::atomic<int> initCalls{0}, uninitCalls{0}, updateCalls{0};
  int32_t initResult = 0;
  // Runs on the monitor thread inside UpdatePerfCounters.
  std::function<void(ResourceAgentType, iCHxPerfUpdateCallback*)> onUpdate;

 private:
  std::string name_;
  std::vector<ResourceAgentType> types_;
  iCHxPerfUpdateCallback* callback_ = nullptr;
  std::mutex mu_;
  std::map<ResourceAgentType, uint32_t> intervals_;
  std::vector<ResourceAgentType> updates_;
};

}  // namespace hxtest
