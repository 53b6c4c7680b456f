// What the perf-monitor tests and their child programs share: the manager's
// thread state, a scriptable provider, waiting, and the perf-log name of a key.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "perfmonitor/perf_manager.h"
#include "platform/ua_crc64.h"

class CHxPerfManagerTestPeer {
 public:
  explicit CHxPerfManagerTestPeer(CHxPerfManager& m) : m_(m) {}
  bool running() const { return m_.m_bRunning; }

 private:
  CHxPerfManager& m_;
};

namespace hxtest {

// Path of the current (gen 0) or an older perf log of key, named after the
// identifier of the test instance's host (CRC-64 of "hxtesthost").
inline std::string PerfLogName(const std::string& dir, const std::string& key, int gen) {
  CUaCRC64 crc;
  crc.UpdateCRC64("hxtesthost", 10);
  char suffix[16] = "";
  if (gen > 0) snprintf(suffix, sizeof(suffix), "_%04d", gen);
  return dir + "/PerfLog_" + key + "_" + std::to_string(crc.GetCRC64()) + suffix + ".csv";
}

// A provider whose answers the test sets and whose calls it counts (atomics:
// the monitor thread uses them while the test reads and sets them).
class FakeProvider : public iCHxPerfProvider {
 public:
  FakeProvider(std::string name, std::vector<ResourceAgentType> types, uint32_t interval = 15)
      : name_(std::move(name)), types_(std::move(types)) {
    for (std::atomic<uint32_t>& i : intervals) i = interval;
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
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType type) override { return intervals[type]; }
  void UpdatePerfCounters(ResourceAgentType type) override {
    ++updateCalls;
    if (onUpdate) onUpdate(type, callback_);
  }
  void SetAgentProp(ResourceAgentType type, ResourceAgentPropType, std::vector<std::string>& values) override {
    props.push_back(std::to_string(type) + ":" + values.at(0));
  }

  std::atomic<uint32_t> intervals[16];  // by agent type
  std::atomic<int> initCalls{0}, uninitCalls{0}, updateCalls{0};
  int32_t initResult = 0;
  std::vector<std::string> props;  // "type:first value" of each property received
  // Run on the monitor thread.
  std::function<void(ResourceAgentType, iCHxPerfUpdateCallback*)> onUpdate;
  std::function<void()> onUninit;

 private:
  std::string name_;
  std::vector<ResourceAgentType> types_;
  iCHxPerfUpdateCallback* callback_ = nullptr;
};

}  // namespace hxtest
