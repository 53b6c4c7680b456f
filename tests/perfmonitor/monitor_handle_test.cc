// Building and tearing down a monitor handle (no process-wide state), and the
// daemon entry points being exported under plain names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "perfmonitor/monitor_handle.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

// A provider that counts its destruction.
hxtest::FakeProvider* CountedProvider(int* deleted, const char* name) {
  auto* p = new hxtest::FakeProvider(name, {RSRC_AGENT_SYSTEM});
  p->deleted = deleted;
  return p;
}

std::vector<std::string> Names(const _RsrcMonitorHandle& h) {
  std::vector<std::string> names;
  for (iCHxPerfProvider* p : h.providers) {
    names.emplace_back();
    p->GetPerfProviderName(names.back());
  }
  return names;
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
  EXPECT_EQ(InsertAndRegisterProvider(&log_, handle_, CountedProvider(&deleted, "first")), 0);
  EXPECT_FALSE(inst_.LogLinesContaining(
                        "[System Resource Monitor] Registering [first]Provider has been Succeeded...")
                   .empty());

  // Invalid arguments are refused without touching the handle.
  EXPECT_EQ(InsertAndRegisterProvider(&log_, handle_, nullptr), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("Try to Registering Invalid Provider").empty());
  hxtest::FakeProvider kept("kept", {RSRC_AGENT_SYSTEM});
  EXPECT_EQ(InsertAndRegisterProvider(&log_, nullptr, &kept), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("Try to Registering Invalid Handle").empty());
  _RsrcMonitorHandle empty;
  EXPECT_EQ(InsertAndRegisterProvider(&log_, &empty, &kept), -1);
  EXPECT_FALSE(inst_.LogLinesContaining("Try to Registering Invalid HXPerfManager object").empty());
  EXPECT_EQ(deleted, 0);

  // Registration refused by the manager (it runs): the provider is deleted.
  ASSERT_EQ(handle_->pPerfManager->Run(), 0);
  EXPECT_EQ(InsertAndRegisterProvider(&log_, handle_, CountedProvider(&deleted, "late")), -1);
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

TEST_F(MonitorHandle, DisabledMonitoringKeepsOnlyTheJobsProvider) {
  inst_.SetConfig("Hxd", "CollectStreamStats", "1");
  inst_.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  AddProvidersToHandle(&log_, handle_, &env_);
  CHxPerfProviderTarnellJobs jobs;
  std::string name;
  jobs.GetPerfProviderName(name);
  EXPECT_EQ(Names(*handle_), (std::vector<std::string>{name}));
  EXPECT_FALSE(
      inst_.LogLinesContaining("AddProvidersToHandle:System Resource Monitor is disabled for linux")
          .empty());
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
