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
  const int stdinCopy = dup(0);
  close(0);  // without stdin the log file gets descriptor 0
  log.debugLvl(3, 0xABCDEF0123456789ULL, "%s: value [%d]\n", "Op()", 42);
  log.DebugLvl("Func", -1, "text %u", 7u);
  dup2(stdinCopy, 0);
  close(stdinCopy);
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

// Metrics lines are appended as category|name|text; a file grown past the
// limit (whole MiB) is moved to generation 1 before the next line, the older
// ones up into the first free generation, the oldest dropped when all are
// taken.
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
    EXPECT_EQ(rotated ? hxtest::ReadFile(gen(0)) : "S|N|line\n", "S|N|line\n");
    for (size_t g = 1; g <= after.size(); ++g) EXPECT_EQ(hxtest::ReadFile(gen(g)).substr(0, 3), after[g - 1]) << count;
  }
}

// A number is decimal or 0x-hex only when the whole text (blanks and the line
// end aside) is one that fits; absent values leave the caller's default. (The
// fuzz target fuzz_properties checks strings against a model of the format.)
TEST_F(LogTest, ConfigurationValuesParseStrictly) {
  const bool wide = sizeof(long) == 8;
  const std::vector<std::tuple<const char*, bool, unsigned long>> numbers = {
      {"1234", true, 1234}, {" 0x1F\t", true, 31}, {"0XfF", true, 255}, {"017", true, 17}, {"0", true, 0}, {"12abc", false, 0},
      {"", false, 0}, {"0x", false, 0}, {"0x0x1F", false, 0}, {"-5", false, 0}, {"+5", false, 0}, {"1 2", false, 0},
      {"99999999999999999999999", false, 0}, {wide ? "18446744073709551615" : "4294967295", true, -1UL}, {wide ? "18446744073709551616" : "4294967296", false, 0},
      {"7\r", true, 7}};
  HxPlatformInfo info;
  for (const auto& [text, ok, value] : numbers) {
    instance_.SetConfig("Hxd", "Value", text);
    unsigned long v = 77;
    EXPECT_EQ(info.getNumber("Hxd", "Value", &v) != 0, ok) << "'" << text << "'";
    EXPECT_EQ(v, ok ? value : 77u) << "'" << text << "'";
  }
  info.setFocus("SomeOtherInstance");
  EXPECT_EQ(info.getString("Hxd", "Value", nullptr), 0) << "another instance's store";
}

}  // namespace
