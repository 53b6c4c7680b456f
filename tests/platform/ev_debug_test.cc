#include "platform/ev_debug.h"

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/hx_metrics.h"
#include "platform/hx_platform_info.h"
#include "tests/common/test_env.h"

namespace {

class EvDebugTest : public ::testing::Test {
 protected:
  hxtest::TestInstance instance_;
  EvDebug log_;
};

TEST_F(EvDebugTest, WritesOneFormattedLinePerCall) {
  log_.debugLvl(3, 0xABCDEF0123456789ULL, "%s: value [%d]\n", "Op()", 42);
  log_.debugLvl(-1, static_cast<uint64_t>(-1), "%s", "monitor error");
  log_.DebugLvl("Func", 1, "text %u", 7u);
  auto lines = instance_.LogLines();
  ASSERT_EQ(lines.size(), 3u);
  std::regex head(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (\d+) (\d+) (-?\d+) (0x[0-9a-f]+) (.*)$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, head)) << lines[0];
  EXPECT_EQ(m[1].str(), std::to_string(getpid()));
  EXPECT_EQ(m[3].str(), "3");
  EXPECT_EQ(m[4].str(), "0xabcdef0123456789");
  EXPECT_EQ(m[5].str(), "Op(): value [42]") << "the trailing newline is not doubled";
  ASSERT_TRUE(std::regex_match(lines[1], m, head)) << lines[1];
  EXPECT_EQ(m[3].str(), "-1");
  EXPECT_EQ(m[4].str(), "0xffffffffffffffff");
  ASSERT_TRUE(std::regex_match(lines[2], m, head)) << lines[2];
  EXPECT_EQ(m[5].str(), "Func: text 7");
  EXPECT_EQ(EvDebug::LogFilePath(), instance_.logDir() + "/hxdebug.log");
}

TEST_F(EvDebugTest, ThresholdComesFromConfigurationAndChangesAreSeen) {
  EXPECT_EQ(log_.GetDebugLevel(), 20);
  instance_.SetConfig("Platform", "DebugLevel", "1");
  EXPECT_EQ(log_.GetDebugLevel(), 1);
  log_.debugLvl(1, 0, "kept");
  log_.debugLvl(2, 0, "dropped");
  log_.debugLvl(-1, 0, "always");
  for (const char* text : {"kept", "dropped", "always"}) {
    EXPECT_EQ(instance_.LogLinesContaining(text).size(), std::string(text) == "dropped" ? 0u : 1u) << text;
  }

  instance_.RemoveConfig("Platform", "DebugLevel");
  EXPECT_EQ(log_.GetDebugLevel(), 3) << "default";
  instance_.SetConfig("Platform", "DebugLevel", "-1");
  EXPECT_EQ(log_.GetDebugLevel(), -1);
  log_.debugLvl(0, 0, "level zero");
  EXPECT_EQ(instance_.LogLinesContaining("level zero").size(), 0u);
  instance_.SetConfig("Platform", "DebugLevel", "5x");
  EXPECT_EQ(log_.GetDebugLevel(), 3) << "garbage: default";
}

int64_t g_fakeMs = 0;
int64_t FakeClock() { return g_fakeMs; }

// The level is cached: a change written behind this process's back is seen
// once a second has passed since the last look, not before.
TEST_F(EvDebugTest, ChangedLevelIsSeenWithinASecondAndNotLookedUpBefore) {
  g_fakeMs = 5000;
  EvDebug::SetSettingsClockForTest(FakeClock);
  const std::string props =
      instance_.root() + "/registry/Halvex/" + instance_.focus() + "/Platform/.properties";
  auto writeLevel = [&](const std::string& level) {
    std::string text = hxtest::ReadFile(props);
    size_t at = text.find("DebugLevel ");
    ASSERT_NE(at, std::string::npos);
    size_t end = text.find('\n', at);
    text.replace(at, end - at, "DebugLevel " + level);
    hxtest::WriteFile(props, text);
  };
  struct Step {
    int64_t advanceMs;
    const char* write;  // new level written before the step, or nullptr
    int expected;
  };
  const Step steps[] = {
      {0, nullptr, 20}, {0, "7", 20},       {999, nullptr, 20}, {1, nullptr, 7},
      {500, "1234", 7}, {499, nullptr, 7}, {1, nullptr, 1234}, {-50, "3", 3},
  };
  for (const Step& step : steps) {
    g_fakeMs += step.advanceMs;
    if (step.write) writeLevel(step.write);
    EXPECT_EQ(log_.GetDebugLevel(), step.expected) << "at " << g_fakeMs;
  }
  EvDebug::SetSettingsClockForTest(nullptr);
}

TEST_F(EvDebugTest, ConcurrentWritersNeverSplitLines) {
  std::vector<std::thread> threads;
  const std::string payload(300, 'x');
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      EvDebug log;
      for (int i = 0; i < 200; ++i) log.debugLvl(1, static_cast<uint64_t>(t), "T%d %s", t, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
  auto lines = instance_.LogLines();
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& l : lines) {
    ASSERT_EQ(l.substr(l.size() - payload.size() - 3, 1), "T") << l;
    ASSERT_EQ(l.substr(l.size() - payload.size()), payload);
  }
}

TEST_F(EvDebugTest, UnwritableLogDirectoryNeverFailsTheCaller) {
  hxtest::WriteFile(instance_.root() + "/afile", "x");
  instance_.SetConfig("Platform", "LogFilesDirectory", instance_.root() + "/afile/sub");
  errno = 1234;
  log_.debugLvl(1, 0, "%s", "lost line");
  EXPECT_EQ(errno, 1234) << "the caller's errno is preserved";
  EXPECT_EQ(EvDebug::LogFilePath(), "");
  // A long line is written whole.
  instance_.SetConfig("Platform", "LogFilesDirectory", instance_.logDir());
  std::string big(10000, 'b');
  log_.debugLvl(1, 0, "%s|end", big.c_str());
  ASSERT_EQ(instance_.LogLinesContaining("|end").size(), 1u);
  EXPECT_NE(instance_.LogLinesContaining("|end")[0].find(big + "|end"), std::string::npos);
}

TEST_F(EvDebugTest, MetricsSinkAppendsToTheLogDirectory) {
  HxMetricsCollector::DumpStaticData("System", "CPU", "12.5");
  HxMetricsCollector::DumpStaticData("Process", "hxd", "a,b");
  EXPECT_EQ(hxtest::ReadFile(instance_.logDir() + "/metrics.log"), "System|CPU|12.5\nProcess|hxd|a,b\n");
  EXPECT_EQ(HxJobPerfManager::GetPerfCounterName(4000000000u), "JobType4000000000");
}

}  // namespace
