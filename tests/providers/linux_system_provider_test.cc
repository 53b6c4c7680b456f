#include "providers/linux_system_provider.h"

#include <cerrno>

#include "gtest/gtest.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

using hxtest::CaptureCallback;
using hxtest::ReplayEnv;

// The system provider with a sysinfo the test controls.
class TestSystemProvider : public CHxPerfProviderLinuxSystem {
 public:
  using CHxPerfProviderLinuxSystem::CHxPerfProviderLinuxSystem;
  int error = 0;
  struct sysinfo info = {};
  int QuerySysinfo(struct sysinfo* out) override {
    *out = info;
    return error;
  }
};

const char kTop[] = "top -bH -n 1 | head -3 | sed 1,2d | awk '{print $2 + $4 + $6}'";
const char kCpus[] = "getconf _NPROCESSORS_ONLN";
const char kMemAvail[] = "grep -w MemAvailable /proc/meminfo|awk '{print $2}'";
const char kSwap[] = "vmstat -S K | sed 1,2d | awk '{print $3}'";
const char kFree[] = "vmstat -S K | sed 1,2d | awk '{print $4}'";

class SystemProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hxtest::LoadFixture("system_real.txt", &env);
    provider.info.mem_unit = 1;
    provider.info.totalram = 1024u * 1000000u;  // 1000000 KB
    provider.info.freeram = 1024u * 250000u;
    ASSERT_EQ(provider.Initialize(nullptr, &callback), 0);
  }
  // The one row of one update.
  std::vector<std::string> UpdateRow() {
    const hxtest::Rows rows =
        hxtest::UpdateRows(provider, callback, RSRC_AGENT_SYSTEM, "System", 10);
    EXPECT_TRUE(env.unknownCommands.empty()) << env.unknownCommands[0];
    EXPECT_EQ(rows.size(), 1u);
    return rows.empty() ? std::vector<std::string>() : rows[0];
  }

  hxtest::TestInstance instance;
  ReplayEnv env;
  TestSystemProvider provider{&env};
  CaptureCallback callback;
};

TEST_F(SystemProviderTest, RecordedOutputsGiveOneRowInColumnOrder) {
  auto recorded = [&](const char* cmd) {
    return env.replies.at(std::string("LC_ALL=C ") + cmd).output;
  };
  const std::vector<std::string> row = UpdateRow();
  ASSERT_EQ(row.size(), callback.reports.at(0).items.columns.size());
  for (const std::string& value : row) EXPECT_TRUE(hxtest::IsNumeric(value)) << value;
  EXPECT_EQ(row[1], "1000000");  // sysinfo: 1024000000 bytes
  EXPECT_EQ(row[3], std::to_string(std::stoull(recorded(kSwap)) + std::stoull(recorded(kFree))));
  EXPECT_EQ(row[7] + "\n", recorded("ps -A --no-headers | wc -l"));
  EXPECT_EQ(row[9] + "\n", recorded("ps -AL --no-headers | wc -l"));
  for (const std::string& cmd : env.commands) EXPECT_EQ(cmd.rfind("LC_ALL=C ", 0), 0u) << cmd;
}

TEST_F(SystemProviderTest, SysinfoFailureLogsAndReportsNothing) {
  instance.SetConfig("Platform", "DebugLevel", "15");
  provider.error = EFAULT;
  provider.UpdatePerfCounters(RSRC_AGENT_SYSTEM);
  EXPECT_TRUE(callback.reports.empty());
  EXPECT_TRUE(env.commands.empty());
  const auto lines = instance.LogLinesContaining(
      "CHxPerfProviderLinuxSystem::UpdatePerfCounters:[ERROR]Get sysinfo  failed " +
      std::to_string(EFAULT));
  EXPECT_EQ(lines.size(), 1u);
}

// Each step replaces one command's reply and checks one column of the next row.
TEST_F(SystemProviderTest, CommandRepliesAndTheirFailures) {
  struct Step {
    const char* command;  // nullptr: no new reply
    int result;
    const char* output;
    size_t column;
    const char* value;  // nullptr: no update
  } steps[] = {
      {kTop, 0, "12.5\n", 0, nullptr},
      {kCpus, 0, "4\n", 0, "3.125000"},
      {kCpus, 1, "", 0, "12.500000"},     // getconf failing: one processor
      {kCpus, 0, "0\n", 0, "12.500000"},  // 0 counts as 1, never a division by zero
      {kMemAvail, 0, "500000\n", 2, "50"},
      {kMemAvail, 1, "", 2, "25"},  // falls back to freeram / totalram
      {kMemAvail, 0, "", 2, "0"},   // no MemAvailable line
      {kSwap, 1, "", 3, nullptr},
      {kFree, 1, "", 3, "0"},  // vmstat failing
      {nullptr, 0, "", 4, "0"},
      {kSwap, 0, "1000\n", 3, nullptr},
      {kFree, 0, "3000\n", 3, "4000"},
      {nullptr, 0, "", 4, "75"},
      {kSwap, 0, "4294967296\n", 3, nullptr},  // sums beyond 2^32 KB stay whole
      {kFree, 0, "4294967296\n", 3, "8589934592"},
      {nullptr, 0, "", 4, "50"},
  };
  for (const Step& s : steps) {
    if (s.command) env.Reply(s.command, s.result, s.output);
    if (s.value) {
      EXPECT_EQ(UpdateRow().at(s.column), s.value) << (s.command ? s.command : "");
    }
  }
  provider.info.mem_unit = 4096;  // shifted before multiplying, never wrapping
  provider.info.totalram = 1000000;
  EXPECT_EQ(UpdateRow()[1], "3997696");
  provider.info.totalram = 2147483648u;  // 8 TiB of pages: beyond 2^32 KB
  EXPECT_EQ(UpdateRow()[1], "8589934592");
}

}  // namespace
