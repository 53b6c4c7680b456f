// What the perf-monitor tests share: access to the manager's private state, a
// scriptable provider, policy records and the perf-log name of a key.
#pragma once

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "perfmonitor/perf_manager.h"
#include "platform/ua_crc64.h"

class CHxPerfManagerTestPeer {
 public:
  explicit CHxPerfManagerTestPeer(CHxPerfManager& m) : m_(m) {}
  const std::string& logDirectory() const { return m_.m_logDirectory; }
  bool running() const { return m_.m_bRunning; }
  bool stopRequested() const { return m_.m_bStopRequested; }

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

// Path of the current (gen 0) or an older perf log of key; machine "" is the
// identifier of the test instance's host (CRC-64 of "hxtesthost").
inline std::string PerfLogName(const std::string& dir, const std::string& key, int gen,
                               std::string machine = "") {
  if (machine.empty()) {
    CUaCRC64 crc;
    crc.UpdateCRC64("hxtesthost", 10);
    machine = std::to_string(crc.GetCRC64());
  }
  char suffix[16] = "";
  if (gen > 0) snprintf(suffix, sizeof(suffix), "_%04d", gen);
  return dir + "/PerfLog_" + key + "_" + machine + suffix + ".csv";
}

inline void SetTZ(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

inline GenericResourcePolicyDetails Policy(ResourceAgentType type, uint32_t minutes,
                                           unsigned long id1, unsigned long id2) {
  GenericResourcePolicyDetails p;
  p.agentType = type;
  p.freqMinutes = minutes;
  p.policyId1 = id1;
  p.policyId2 = id2;
  return p;
}

// A provider whose answers the test sets and whose calls it counts (atomics:
// the monitor thread updates them while the test reads).
class FakeProvider : public iCHxPerfProvider {
 public:
  FakeProvider(std::string name, std::vector<ResourceAgentType> types)
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
    if (onUninit) onUninit();
    return 0;
  }
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType type) override {
    std::lock_guard<std::mutex> g(mu_);
    return intervals_.count(type) ? intervals_[type] : 15;
  }
  void UpdatePerfCounters(ResourceAgentType type) override {
    ++updateCalls;
    if (onUpdate) onUpdate(type, callback_);
  }
  void SetAgentProp(ResourceAgentType, ResourceAgentPropType, std::vector<std::string>&) override {}
  void SetInterval(ResourceAgentType type, uint32_t minutes) {
    std::lock_guard<std::mutex> g(mu_);
    intervals_[type] = minutes;
  }

  std::atomic<int> initCalls{0}, uninitCalls{0}, updateCalls{0};
  int32_t initResult = 0;
  int* deleted = nullptr;  // counts this provider's destruction when set
  // Run on the monitor thread.
  std::function<void(ResourceAgentType, iCHxPerfUpdateCallback*)> onUpdate;
  std::function<void()> onUninit;

 private:
  std::string name_;
  std::vector<ResourceAgentType> types_;
  iCHxPerfUpdateCallback* callback_ = nullptr;
  std::mutex mu_;
  std::map<ResourceAgentType, uint32_t> intervals_;
};

}  // namespace hxtest
