#include "platform/ev_debug.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

// Both log writers refuse a log file planted as a symlink and a log directory
// that other users control, and write normally otherwise.
TEST(LogWriters, NeverWriteThroughWhatOtherUsersControl) {
  struct Writer {
    const char* file;
    void (*write)();
  };
  const Writer writers[] = {
      {"hxdebug.log", [] { EvDebug().debugLvl(1, 0, "planted"); }},
      {"metrics.log", [] { HxMetricsCollector::DumpStaticData("S", "N", "planted"); }},
  };
  enum Attack { kNone, kSymlink, kWorldWritable, kOtherOwner };
  for (const Writer& w : writers) {
    for (Attack attack : {kNone, kSymlink, kWorldWritable, kOtherOwner}) {
      SCOPED_TRACE(std::string(w.file) + " attack " + std::to_string(attack));
      if (attack == kOtherOwner && geteuid() != 0) {
        std::printf("[  SKIPPED ] %s: needs root to give the directory away\n", w.file);
        continue;
      }
      hxtest::TestInstance inst;
      const std::string victim = inst.root() + "/victim", file = inst.logDir() + "/" + w.file;
      hxtest::WriteFile(victim, "keep");
      const int planted = attack == kSymlink        ? symlink(victim.c_str(), file.c_str())
                          : attack == kWorldWritable ? chmod(inst.logDir().c_str(), 0777)
                          : attack == kOtherOwner    ? chown(inst.logDir().c_str(), 65534, 65534)
                                                     : 0;
      ASSERT_EQ(0, planted);
      w.write();
      EXPECT_EQ(hxtest::ReadFile(victim), "keep");
      const std::string written = hxtest::ReadFile(file);
      EXPECT_EQ(written.find("planted") != std::string::npos, attack == kNone) << written;
    }
  }
}

TEST(MetricsSink, AppendsLinesAndRotatesBySize) {
  {
    hxtest::TestInstance inst;
    HxMetricsCollector::DumpStaticData("System", "CPU", "12.5");
    HxMetricsCollector::DumpStaticData("Process", "hxd", "a,b");
    EXPECT_EQ(hxtest::ReadFile(inst.logDir() + "/metrics.log"), "System|CPU|12.5\nProcess|hxd|a,b\n");
    EXPECT_EQ(HxJobPerfManager::GetPerfCounterName(4000000000u), "JobType4000000000");
  }
  const uint64_t kMiB = 1 << 20;
  const auto size = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  };
  // Found on disk: the current file's size and the generations present
  // ("" = absent); after one line, what each generation starts with.
  struct Case {
    const char* count;
    uint64_t current;
    std::vector<std::string> before, after;  // generations 1..n
    bool rotated;
  };
  const Case cases[] = {
      {"10", 11 * kMiB - 1, {}, {""}, false},
      {"3", 11 * kMiB, {"g1", "", "g3"}, {"cur", "g1", "g3", ""}, true},
      {"2", 12 * kMiB, {"g1", "g2"}, {"cur", "g1", ""}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("count ") + c.count);
    hxtest::TestInstance inst;
    inst.SetConfig("Platform", "MetricsLogCount", c.count);
    const auto gen = [&](size_t g) {
      char name[32];
      snprintf(name, sizeof(name), g == 0 ? "/metrics.log" : "/metrics_%04zu.log", g);
      return inst.logDir() + name;
    };
    hxtest::WriteFile(gen(0), "cur");
    ASSERT_EQ(0, truncate(gen(0).c_str(), static_cast<off_t>(c.current)));
    for (size_t g = 1; g <= c.before.size(); ++g) {
      if (!c.before[g - 1].empty()) hxtest::WriteFile(gen(g), c.before[g - 1]);
    }
    HxMetricsCollector::DumpStaticData("S", "N", "line");
    const uint64_t line = std::string("S|N|line\n").size();
    EXPECT_EQ(size(gen(0)), c.rotated ? line : c.current + line) << "the line lands in the current file";
    for (size_t g = 1; g <= c.after.size(); ++g) {
      EXPECT_EQ(hxtest::ReadFile(gen(g)).substr(0, 3), c.after[g - 1]) << g;
    }
    EXPECT_EQ(size(gen(1)), c.rotated ? c.current : 0u);
  }
  // Growth while the file is kept open: rotated before the first line after
  // it has passed the limit (whole MiB), the lines split between the two.
  hxtest::TestInstance inst;
  inst.SetConfig("Platform", "MetricsLogSizeMB", "1");
  const std::string text(100 * 1024, 't');
  const uint64_t lineSize = std::string("S|N|").size() + text.size() + 1;
  const uint64_t beforeRotation = (2 * kMiB + lineSize - 1) / lineSize;  // first count reaching 2 MiB
  for (uint64_t i = 0; i < beforeRotation + 3; ++i) HxMetricsCollector::DumpStaticData("S", "N", text.c_str());
  EXPECT_EQ(size(inst.logDir() + "/metrics_0001.log"), beforeRotation * lineSize);
  EXPECT_EQ(size(inst.logDir() + "/metrics.log"), 3 * lineSize);
}

}  // namespace
