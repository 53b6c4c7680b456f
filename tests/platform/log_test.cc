// The debug log, the metrics log, and the configuration values they read.
#include <regex>

#include "platform/ev_debug.h"
#include "platform/hx_metrics.h"
#include "platform/hx_platform_info.h"
#include "tests/platform/platform_test_util.h"

namespace {

using LogTest = plattest::PlatformTest;

// One line per call: time, pid, thread, level, hex tag and the text without a
// trailing newline. Lines above the configured level are dropped, level -1
// always passes; the level is decimal or hex with an optional minus, anything
// else means the default 3. An unusable directory drops the line and keeps
// the caller's errno; long lines of concurrent threads arrive whole.
TEST_F(LogTest, DebugLinesAreFormattedFilteredAndWhole) {
  EvDebug log;
  log.debugLvl(3, 0xABCDEF0123456789ULL, "%s: value [%d]\n", "Op()", 42);
  log.DebugLvl("Func", -1, "text %u", 7u);
  const auto lines = instance_.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )" + std::to_string(getpid()) + R"( \d+ )";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + R"(3 0xabcdef0123456789 Op\(\): value \[42\])"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + "-1 0x0 Func: text 7"))) << lines[1];
  const std::vector<std::pair<const char*, int>> levels = {
      {"1", 1},   {" 0x10 ", 16}, {"-1", -1}, {"-0x2", -2}, {"5x", 3},          {"", 3},
      {"-", 3},   {"0", 0},       {"2147483647", 2147483647}, {"2147483648", 3}, {nullptr, 3}};
  for (const auto& [value, level] : levels) {
    value ? instance_.SetConfig("Platform", "DebugLevel", value) : instance_.RemoveConfig("Platform", "DebugLevel");
    instance_.ClearLog();
    EXPECT_EQ(log.GetDebugLevel(), level) << value;
    for (int l = -1; l <= 20; ++l) log.debugLvl(l, 0, "at %d", l);
    EXPECT_EQ(instance_.LogLines().size(), 1u + std::max(0, std::min(level, 20) + 1)) << value;
  }
  hxtest::WriteFile(Path("afile"), "x");
  instance_.SetConfig("Platform", "LogFilesDirectory", Path("afile/sub"));
  errno = 1234;
  log.debugLvl(1, 0, "%s", "lost line");
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(EvDebug::LogFilePath(), "");
  instance_.SetConfig("Platform", "LogFilesDirectory", instance_.logDir());
  instance_.ClearLog();
  const std::string big(10000, 'b');
  std::vector<std::thread> threads(4);
  for (auto& t : threads) t = std::thread([&] { for (int i = 0; i < 50; ++i) EvDebug().debugLvl(1, 0, "%s|end", big.c_str()); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(instance_.LogLines().size(), 200u);
  for (const auto& l : instance_.LogLines()) ASSERT_EQ(l.substr(l.size() - big.size() - 4), big + "|end");
}

int64_t g_fakeMs = 0;

// The level is cached: a change written behind this process's back is seen
// once a second has passed since the last look, not before, and at once when
// the clock goes back.
TEST_F(LogTest, ChangedLevelIsSeenWithinASecondAndNotLookedUpBefore) {
  g_fakeMs = 5000;
  EvDebug::SetSettingsClockForTest([] { return g_fakeMs; });
  const std::string props = instance_.root() + "/registry/Halvex/" + instance_.focus() + "/Platform/.properties";
  const std::string original = hxtest::ReadFile(props);
  const std::vector<std::tuple<int64_t, const char*, int>> steps = {  // advance, level written or nullptr, seen
      {0, nullptr, 20}, {0, "7", 20},       {999, nullptr, 20}, {1, nullptr, 7},
      {500, "1234", 7}, {499, nullptr, 7}, {1, nullptr, 1234}, {-50, "3", 3}};
  EvDebug log;
  for (const auto& [advanceMs, write, expected] : steps) {
    g_fakeMs += advanceMs;
    if (write) hxtest::WriteFile(props, original + "DebugLevel " + write + "\n");
    EXPECT_EQ(log.GetDebugLevel(), expected) << "at " << g_fakeMs;
  }
  EvDebug::SetSettingsClockForTest(nullptr);
}

// Metrics lines are appended as category|name|text; a file grown past the
// limit (whole MiB) is moved to generation 1 before the next line, the older
// ones up into the first free generation, the oldest dropped when all are
// taken. Neither log writes through a symlink planted as its file.
TEST(MetricsLog, AppendsLinesAndRotatesBySize) {
  const uint64_t kMiB = 1 << 20;
  const auto size = [](const std::string& p) { return std::filesystem::exists(p) ? uint64_t{std::filesystem::file_size(p)} : 0; };
  // Setting, size of the current file, what generations 1..n start with before
  // and after one line ("" = absent).
  const std::vector<std::tuple<const char*, uint64_t, std::vector<std::string>, std::vector<std::string>>> cases = {
      {"10", 11 * kMiB - 1, {}, {""}},
      {"3", 11 * kMiB, {"g1", "", "g3"}, {"cur", "g1", "g3", ""}},
      {"2", 12 * kMiB, {"g1", "g2"}, {"cur", "g1", ""}}};
  for (const auto& [count, current, before, after] : cases) {
    hxtest::TestInstance inst;
    inst.SetConfig("Platform", "MetricsLogCount", count);
    const auto gen = [&](size_t g) { return inst.logDir() + (g ? "/metrics_000" + std::to_string(g) : "/metrics") + ".log"; };
    hxtest::WriteFile(gen(0), "cur");
    ASSERT_EQ(0, truncate(gen(0).c_str(), static_cast<off_t>(current)));
    for (size_t g = 1; g <= before.size(); ++g)
      if (!before[g - 1].empty()) hxtest::WriteFile(gen(g), before[g - 1]);
    HxMetricsCollector::DumpStaticData("S", "N", "line");
    const bool rotated = after[0] == "cur";
    EXPECT_EQ(size(gen(0)), rotated ? 9 : current + 9) << count;
    EXPECT_EQ(size(gen(1)), rotated ? current : 0u) << count;
    for (size_t g = 1; g <= after.size(); ++g) EXPECT_EQ(hxtest::ReadFile(gen(g)).substr(0, 3), after[g - 1]) << count;
  }
  // Growth while the file is kept open: rotated before the first line after
  // it has passed the limit, the lines split between the two.
  hxtest::TestInstance inst;
  inst.SetConfig("Platform", "MetricsLogSizeMB", "1");
  HxMetricsCollector::DumpStaticData("System", "CPU", "12.5");
  EXPECT_EQ(hxtest::ReadFile(inst.logDir() + "/metrics.log"), "System|CPU|12.5\n");
  const std::string text(100 * 1024, 't');
  const uint64_t line = 4 + text.size() + 1, lines = (2 * kMiB - 16 + line - 1) / line;  // to reach 2 MiB
  for (uint64_t i = 0; i < lines + 3; ++i) HxMetricsCollector::DumpStaticData("S", "N", text.c_str());
  EXPECT_EQ(size(inst.logDir() + "/metrics_0001.log"), 16 + lines * line);
  EXPECT_EQ(size(inst.logDir() + "/metrics.log"), 3 * line);
  hxtest::TestInstance planted;  // a new instance: both writers look at their files afresh
  hxtest::WriteFile(planted.root() + "/victim", "keep");
  for (const char* file : {"/hxdebug.log", "/metrics.log"}) {
    ASSERT_EQ(symlink((planted.root() + "/victim").c_str(), (planted.logDir() + file).c_str()), 0);
  }
  EvDebug().debugLvl(1, 0, "planted");
  HxMetricsCollector::DumpStaticData("S", "N", "planted");
  EXPECT_EQ(hxtest::ReadFile(planted.root() + "/victim"), "keep");
}

// A number is decimal or 0x-hex only when the whole text (blanks around aside)
// is one that fits; a string is the rest of the line after the first blanks,
// the last line of a name winning; absent values leave the caller's default.
TEST_F(LogTest, ConfigurationValuesParseStrictly) {
  const bool wide = sizeof(long) == 8;
  const std::vector<std::tuple<const char*, bool, unsigned long>> numbers = {
      {"1234", true, 1234}, {" 0x1F\t", true, 31}, {"0XfF", true, 255}, {"017", true, 17}, {"0", true, 0}, {"12abc", false, 0},
      {"", false, 0}, {"0x", false, 0}, {"0x0x1F", false, 0}, {"-5", false, 0}, {"+5", false, 0}, {"1 2", false, 0},
      {"99999999999999999999999", false, 0}, {wide ? "18446744073709551615" : "4294967295", true, -1UL}, {wide ? "18446744073709551616" : "4294967296", false, 0}};
  HxPlatformInfo info;
  for (const auto& [text, ok, value] : numbers) {
    instance_.SetConfig("Hxd", "Value", text);
    unsigned long v = 77;
    EXPECT_EQ(info.getNumber("Hxd", "Value", &v) != 0, ok) << "'" << text << "'";
    EXPECT_EQ(v, ok ? value : 77u) << "'" << text << "'";
  }
  instance_.SetConfig("Sec", "Name", "");  // makes the section, whose file is then replaced
  hxtest::WriteFile(instance_.root() + "/registry/Halvex/" + instance_.focus() + "/Sec/.properties", "Name \t value  blanks \r\nEmpty\nNameLonger x\nTabbed\tx\ty\nTwice 1\nTwice 2\n");
  const std::vector<std::pair<const char*, const char*>> strings = {
      {"Name", "value  blanks "}, {"Empty", ""}, {"Tabbed", "x\ty"}, {"Twice", "2"}, {"Nam", nullptr}, {"", nullptr}};
  for (const auto& [name, value] : strings) {
    std::string s = "absent";
    EXPECT_EQ(info.getString("Sec", name, &s) != 0, value != nullptr) << name;
    EXPECT_EQ(s, value ? value : "absent") << name;
  }
  info.setFocus("SomeOtherInstance");
  EXPECT_EQ(info.getString("Sec", "Name", nullptr), 0) << "another instance's store";
}

}  // namespace
