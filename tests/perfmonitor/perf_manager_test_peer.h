// Test access to CHxPerfManager's private state, a scriptable provider and the
// fixtures the perf-monitor tests share.
#pragma once

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "perfmonitor/perf_manager.h"
#include "platform/ua_crc64.h"

class CHxPerfManagerTestPeer {
 public:
  explicit CHxPerfManagerTestPeer(CHxPerfManager& m) : m_(m) {}
  std::vector<_PerfAgentInfo>& agents() { return m_.m_agents; }
  HxCriticalSection& lock() { return m_.m_lock; }
  const std::string& logDirectory() const { return m_.m_logDirectory; }
  uint32_t maxLogSizeMB() const { return m_.m_maxLogSizeMB; }
  uint32_t maxLogCount() const { return m_.m_maxLogCount; }
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

 private:
  CHxPerfManager& m_;
};

namespace hxtest {

// Waits (bounded) for a condition another thread brings about.
template <typename Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 12000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return pred();
}

// The machine identifier in perf-log names: CRC-64 of the test instance's host.
inline std::string MachineId() {
  CUaCRC64 crc;
  crc.UpdateCRC64("hxtesthost", 10);
  char text[32];
  snprintf(text, sizeof(text), "%" PRIu64, crc.GetCRC64());
  return text;
}

// Sets TZ for a scope (local time decides dates and stamps).
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* tz) : had_(getenv("TZ") != nullptr), old_(had_ ? getenv("TZ") : "") {
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTZ() {
    had_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

// What a policy engine's callback received (a plain function: globals).
struct PolicyRow {
  unsigned long id1, id2;
  std::vector<std::string> values;
};
inline std::mutex g_policyMu;
inline std::vector<PolicyRow> g_policyRows;
inline bool CollectPolicyRow(unsigned long id1, unsigned long id2, std::vector<std::string>& values) {
  std::lock_guard<std::mutex> g(g_policyMu);
  g_policyRows.push_back({id1, id2, values});
  return true;
}
inline std::vector<PolicyRow> PolicyRows(bool clear = false) {
  std::lock_guard<std::mutex> g(g_policyMu);
  std::vector<PolicyRow> rows = g_policyRows;
  if (clear) g_policyRows.clear();
  return rows;
}

inline GenericResourcePolicyDetails Policy(ResourceAgentType type, uint32_t minutes,
                                           unsigned long id1, unsigned long id2) {
  GenericResourcePolicyDetails p;
  p.policyName = "p" + std::to_string(id1);
  p.agentType = type;
  p.freqMinutes = minutes;
  p.policyId1 = id1;
  p.policyId2 = id2;
  return p;
}

// A provider whose answers the test sets and whose calls it counts. Counters
// are atomic: the monitor thread updates them while the test reads.
class FakeProvider : public iCHxPerfProvider {
 public:
  explicit FakeProvider(std::string name, std::vector<ResourceAgentType> types)
      : name_(std::move(name)), types_(std::move(types)) {}
  ~FakeProvider() override {
    if (deleted) ++*deleted;
  }

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
  void SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                    std::vector<std::string>& values) override {
    std::lock_guard<std::mutex> g(mu_);
    props_.push_back(std::to_string(static_cast<int>(type)) + ":" +
                     std::to_string(static_cast<int>(property)) + ":" +
                     (values.empty() ? "" : values[0]));
  }

  void SetInterval(ResourceAgentType type, uint32_t minutes) {
    std::lock_guard<std::mutex> g(mu_);
    intervals_[type] = minutes;
  }
  std::vector<ResourceAgentType> Updates(bool clear = false) {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<ResourceAgentType> u = updates_;
    if (clear) updates_.clear();
    return u;
  }
  std::vector<std::string> Props() {
    std::lock_guard<std::mutex> g(mu_);
    return props_;
  }

  std::atomic<int> initCalls{0}, uninitCalls{0}, updateCalls{0};
  int32_t initResult = 0;
  int* deleted = nullptr;  // counts this provider's destruction when set
  // Runs on the monitor thread inside UpdatePerfCounters.
  std::function<void(ResourceAgentType, iCHxPerfUpdateCallback*)> onUpdate;

 private:
  std::string name_;
  std::vector<ResourceAgentType> types_;
  iCHxPerfUpdateCallback* callback_ = nullptr;
  std::mutex mu_;
  std::map<ResourceAgentType, uint32_t> intervals_;
  std::vector<ResourceAgentType> updates_;
  std::vector<std::string> props_;
};

}  // namespace hxtest
