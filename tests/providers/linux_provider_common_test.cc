// Behaviour every operating-system provider shares: identity, Initialize,
// the configured interval, and ignoring agent types it does not serve.
#include <functional>
#include <memory>

#include "gtest/gtest.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

struct ProviderKind {
  const char* className;
  const char* displayName;
  ResourceAgentType type;
  std::function<iCHxPerfProvider*(HxEnv*)> make;
};

const ProviderKind kKinds[] = {
    {"CHxPerfProviderLinuxSystem", "Linux System perf counters", RSRC_AGENT_SYSTEM,
     [](HxEnv* e) { return new CHxPerfProviderLinuxSystem(e); }},
    {"CHxPerfProviderLinuxTCP", "Linux System perf counters TCP/IP", RSRC_AGENT_TCPIP,
     [](HxEnv* e) { return new CHxPerfProviderLinuxTCP(e); }},
    {"CHxPerfProviderLinuxDisk", "Linux System perf counters DISK", RSRC_AGENT_LOGICAL_DISK,
     [](HxEnv* e) { return new CHxPerfProviderLinuxDisk(e); }},
    {"CHxPerfProviderLinuxProcess", "Linux System perf counters process", RSRC_AGENT_PROCESS,
     [](HxEnv* e) { return new CHxPerfProviderLinuxProcess(e); }},
};

class ProviderCommonTest : public ::testing::TestWithParam<ProviderKind> {
 protected:
  hxtest::TestInstance instance;
  hxtest::FakeEnv env;
  std::unique_ptr<iCHxPerfProvider> provider{GetParam().make(&env)};
};

TEST_P(ProviderCommonTest, NamesItselfAndItsOneAgentType) {
  std::string name;
  provider->GetPerfProviderName(name);
  EXPECT_EQ(name, GetParam().displayName);
  std::vector<ResourceAgentType> types = {RSRC_AGENT_HBA_FC, RSRC_AGENT_JOBS_STATS};
  provider->GetSupprotedAgentTypes(types);
  EXPECT_EQ(types, std::vector<ResourceAgentType>{GetParam().type});
}

TEST_P(ProviderCommonTest, InitializeRejectsNullCallbackAndKeepsTheFirstOne) {
  const std::string prefix = std::string(GetParam().className) + "::Initialize";
  EXPECT_EQ(provider->Initialize(nullptr, nullptr), -1);
  EXPECT_EQ(instance.LogLinesContaining(prefix + ":[ERROR]Invalid Callback address").size(), 1u);

  hxtest::CaptureCallback first, second;
  EvDebug log;
  EXPECT_EQ(provider->Initialize(&log, &first), 0);
  EXPECT_EQ(provider->Initialize(nullptr, &second), 0);
  EXPECT_EQ(instance.LogLinesContaining(prefix + ": Already initialized").size(), 1u);
  EXPECT_EQ(provider->Uninitialize(), 0);
  EXPECT_EQ(provider->Initialize(nullptr, &second), 0);  // still initialised
  EXPECT_EQ(instance.LogLinesContaining(prefix + ": Already initialized").size(), 2u);
}

TEST_P(ProviderCommonTest, IntervalComesFromConfiguration) {
  EXPECT_EQ(provider->GetUpdateIntervalMinutes(GetParam().type), 15u);
  instance.SetConfig("Hxd", "SysRsrcMonMinutes", "0");
  EXPECT_EQ(provider->GetUpdateIntervalMinutes(GetParam().type), 0u);
  instance.SetConfig("Hxd", "SysRsrcMonMinutes", "1440");
  EXPECT_EQ(provider->GetUpdateIntervalMinutes(RSRC_AGENT_NONE), 1440u);
}

TEST_P(ProviderCommonTest, OtherAgentTypesRunNothingAndReportNothing) {
  hxtest::CaptureCallback callback;
  ASSERT_EQ(provider->Initialize(nullptr, &callback), 0);
  for (int t = 0; t <= 11; ++t) {
    if (t != GetParam().type) provider->UpdatePerfCounters(static_cast<ResourceAgentType>(t));
  }
  EXPECT_TRUE(env.commands.empty());
  EXPECT_TRUE(callback.reports.empty());
}

INSTANTIATE_TEST_SUITE_P(AllLinuxProviders, ProviderCommonTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<ProviderKind>& info) {
                           return std::string(info.param.className).substr(20);
                         });

}  // namespace
