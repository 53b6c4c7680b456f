// Behaviour every operating-system provider shares: Initialize, the
// configured interval, ignoring agent types it does not serve, and a
// well-formed row from the real commands of this machine.
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

#include "gtest/gtest.h"
#include "providers/linux_disk_provider.h"
#include "providers/linux_process_provider.h"
#include "providers/linux_system_provider.h"
#include "providers/linux_tcp_provider.h"
#include "platform/hx_platform_info.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

struct ProviderKind {
  const char* className;
  ResourceAgentType type;
  const char* programs;  // the real commands need these
  // Per column: 'n' numeric, 't' text, '-' empty.
  const char* shape;
  std::function<iCHxPerfProvider*(HxEnv*)> make;
};

const ProviderKind kKinds[] = {
    {"CHxPerfProviderLinuxSystem", RSRC_AGENT_SYSTEM, "top getconf vmstat ps ipcs awk",
     "nnnnnnnnnn",
     [](HxEnv* e) { return new CHxPerfProviderLinuxSystem(e); }},
    {"CHxPerfProviderLinuxTCP", RSRC_AGENT_TCPIP, "ip awk", "tnnnnn----",
     [](HxEnv* e) { return new CHxPerfProviderLinuxTCP(e); }},
    {"CHxPerfProviderLinuxDisk", RSRC_AGENT_LOGICAL_DISK, "awk df", "tnnnnnnnnn",
     [](HxEnv* e) { return new CHxPerfProviderLinuxDisk(e); }},
    {"CHxPerfProviderLinuxProcess", RSRC_AGENT_PROCESS, "ps getconf awk wc", "ntnnnn--nnnnt",
     [](HxEnv* e) { return new CHxPerfProviderLinuxProcess(e); }},
};

class ProviderCommonTest : public ::testing::TestWithParam<ProviderKind> {
 protected:
  hxtest::TestInstance instance;
  hxtest::FakeEnv env;
  std::unique_ptr<iCHxPerfProvider> provider{GetParam().make(&env)};
};

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

// Skips, saying why, where a command is missing or there is nothing to report.
TEST_P(ProviderCommonTest, RealCommandsGiveWellFormedRows) {
  std::istringstream programs(GetParam().programs);
  for (std::string program; programs >> program;) {
    if (!hxtest::HaveCommand(program)) GTEST_SKIP() << program << " is not installed here";
  }
  hxtest::ReplayEnv real;  // real commands, test clock
  real.passThrough = {""};
  std::unique_ptr<iCHxPerfProvider> p{GetParam().make(&real)};
  const std::string dir = HxRegistryRoot() + instance.focus() + "/Runtime";
  std::filesystem::create_directories(dir);  // this process as one of the platform's own
  hxtest::WriteFile(dir + "/.properties", "pid " + std::to_string(getpid()) + "\n");
  hxtest::CaptureCallback callback;
  ASSERT_EQ(p->Initialize(nullptr, &callback), 0);
  p->UpdatePerfCounters(GetParam().type);
  real.now += 60;  // the network provider reports from its second sample on
  p->UpdatePerfCounters(GetParam().type);
  if (callback.reports.empty()) GTEST_SKIP() << "nothing to report on this machine";
  const std::string shape = GetParam().shape;
  for (const auto& row : callback.SingleRows()) {
    ASSERT_EQ(row.size(), shape.size());
    for (size_t i = 0; i < shape.size(); ++i) {
      const bool ok = shape[i] == 'n'   ? hxtest::IsNumeric(row[i])
                      : shape[i] == 't' ? !row[i].empty()
                                        : row[i].empty();
      EXPECT_TRUE(ok) << "column " << i << ": '" << row[i] << "'";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllLinuxProviders, ProviderCommonTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<ProviderKind>& info) {
                           return std::string(info.param.className).substr(20);
                         });

// The "C" locale reaches every command of a command line, whatever locale
// the process runs in, so that no later stage prints decimal commas.
TEST(ProviderCommandLine, EveryStageRunsInTheCLocale) {
  struct Probe : CHxLinuxPerfProviderBase {
    Probe() : CHxLinuxPerfProviderBase(RSRC_AGENT_SYSTEM, "Probe", "Probe", nullptr) {}
    void UpdatePerfCounters(ResourceAgentType) override {}
    using CHxLinuxPerfProviderBase::RunCommand;
  } probe;
  const char* saved = getenv("LC_ALL");
  const std::string restore = saved ? saved : "";
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  for (const char* command : {"printenv LC_ALL", "echo x | printenv LC_ALL",
                              "echo x | cat | sh -c 'printenv LC_ALL'",
                              "true && echo x | printenv LC_ALL"}) {
    std::string out;
    EXPECT_TRUE(probe.RunCommand(command, &out)) << command;
    EXPECT_EQ(out, "C\n") << command;
  }
  if (saved) {
    setenv("LC_ALL", restore.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

}  // namespace
