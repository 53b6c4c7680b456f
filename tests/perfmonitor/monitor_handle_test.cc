// Building and tearing down a monitor handle (no process-wide state), and the
// daemon entry points being exported under plain names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "perfmonitor/monitor_handle.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/common/test_env.h"

namespace {

// A provider that counts its destruction.
class CountedProvider : public iCHxPerfProvider {
 public:
  CountedProvider(int* deleted, std::string name) : deleted_(deleted), name_(std::move(name)) {}
  ~CountedProvider() override { ++*deleted_; }
  void GetPerfProviderName(std::string& name) override { name = name_; }
  void GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) override {
    types.assign(1, RSRC_AGENT_SYSTEM);
  }
  int32_t Initialize(EvDebug*, iCHxPerfUpdateCallback*) override { return 0; }
  int32_t Uninitialize() override { return 0; }
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType) override { return 15; }
  void UpdatePerfCounters(ResourceAgentType) override {}
  void SetAgentProp(ResourceAgentType, ResourceAgentPropType, std::vector<std::string>&) override {}

 private:
  int* deleted_;
  std::string name_;
};

std::vector<std::string> Names(const _RsrcMonitorHandle& h) {
  std::vector<std::string> names;
  for (iCHxPerfProvider* p : h.providers) {
    names.emplace_back();
    p->GetPerfProviderName(names.back());
  }
  return names;
}

template <typename P>
std::string NameOf() {
  P p;
  std::string n;
  p.GetPerfProviderName(n);
  return n;
}

class MonitorHandle : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = new _RsrcMonitorHandle;
    handle_->pPerfManager = new CHxPerfManager(&env_);
    ASSERT_EQ(handle_->pPerfManager->Initialize(&log_), 0);
  }
  void TearDown() override { DestructHandle(handle_); }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  EvDebug log_;
  _RsrcMonitorHandle* handle_ = nullptr;
};

TEST_F(MonitorHandle, InsertKeepsRegisteredProvidersAndDropsRefusedOnes) {
  int deleted = 0;
  EXPECT_EQ(InsertAndRegisterProvider(&log_, handle_, new CountedProvider(&deleted, "first")), 0);
  EXPECT_FALSE(inst_.LogLinesContaining(
                        "[System Resource Monitor] Registering [first]Provider has been Succeeded...")
                   .empty());

  // Invalid arguments are refused without touching the handle.
  EXPECT_EQ(InsertAndRegisterProvider(&log_, handle_, nullptr), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("Try to Registering Invalid Provider").empty());
  CountedProvider kept(&deleted, "kept");
  EXPECT_EQ(InsertAndRegisterProvider(&log_, nullptr, &kept), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("Try to Registering Invalid Handle").empty());
  _RsrcMonitorHandle empty;
  EXPECT_EQ(InsertAndRegisterProvider(&log_, &empty, &kept), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("Try to Registering Invalid HXPerfManager object").empty());
  EXPECT_EQ(deleted, 0);

  // Registration refused by the manager (it runs): the provider is deleted.
  ASSERT_EQ(handle_->pPerfManager->Run(), 0);
  EXPECT_EQ(InsertAndRegisterProvider(&log_, handle_, new CountedProvider(&deleted, "late")), -1);
  EXPECT_EQ(deleted, 1);
  EXPECT_FALSE(inst_.LogLinesContaining(
                        "[System Resource Monitor] Registering [late]Provider has been Failed...")
                   .empty());
  EXPECT_EQ(Names(*handle_), (std::vector<std::string>{"first"}));

  handle_->pPerfManager->Stop();
  DestructHandle(handle_);  // manager first, then every provider
  handle_ = nullptr;
  EXPECT_EQ(deleted, 2);
  DestructHandle(nullptr);  // ignored
}

TEST_F(MonitorHandle, ProvidersFollowTheConfiguration) {
  const std::vector<std::string> os = {
      NameOf<CHxPerfProviderLinuxSystem>(), NameOf<CHxPerfProviderLinuxTCP>(),
      NameOf<CHxPerfProviderLinuxDisk>(), NameOf<CHxPerfProviderLinuxProcess>()};
  AddProvidersToHandle(nullptr, handle_);
  EXPECT_EQ(Names(*handle_), os);

  _RsrcMonitorHandle* second = new _RsrcMonitorHandle;
  second->pPerfManager = new CHxPerfManager(&env_);
  ASSERT_EQ(second->pPerfManager->Initialize(&log_), 0);
  inst_.SetConfig("Hxd", "CollectStreamStats", "1");
  AddProvidersToHandle(&log_, second, &env_);
  std::vector<std::string> all = os;
  all.insert(all.begin(), NameOf<CHxPerfProviderTarnellJobs>());
  EXPECT_EQ(Names(*second), all);
  DestructHandle(second);

  // Monitoring disabled: only the jobs provider stays.
  _RsrcMonitorHandle* third = new _RsrcMonitorHandle;
  third->pPerfManager = new CHxPerfManager(&env_);
  ASSERT_EQ(third->pPerfManager->Initialize(&log_), 0);
  inst_.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  AddProvidersToHandle(&log_, third, &env_);
  EXPECT_EQ(Names(*third), (std::vector<std::string>{NameOf<CHxPerfProviderTarnellJobs>()}));
  EXPECT_FALSE(
      inst_.LogLinesContaining("AddProvidersToHandle:System Resource Monitor is disabled for linux")
          .empty());
  DestructHandle(third);
}

// Path of the loaded system library.
std::string SystemLibraryPath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&StartSystemresourceMonitorLog), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  return info.dli_fname;
}

TEST(MonitorExports, DaemonEntryPointsHavePlainNames) {
  if (system("command -v nm >/dev/null 2>&1") != 0) GTEST_SKIP() << "nm is not installed";
  const std::string lib = SystemLibraryPath();
  ASSERT_FALSE(lib.empty());
  std::string out;
  ASSERT_EQ(hxtest::RunAndCapture("/bin/sh", {"-c", "nm -D --defined-only '" + lib + "'"}, &out),
            0);
  for (const char* name :
       {"StartSystemresourceMonitorLog", "StopSystemresourceMonitorLog", "GetGenericResourceAgent",
        "InitializeThrottlingManagersForHXD", "UnInitializeThrottlingManagersForHXD"}) {
    // A line "<address> T <name>": the symbol is defined, global, unmangled.
    EXPECT_NE(out.find(std::string(" T ") + name + "\n"), std::string::npos) << name;
  }
}

}  // namespace
