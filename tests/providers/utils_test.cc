// Shared provider helpers: trim, configured process names, platform pids.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "providers/provider_utils.h"
#include "tests/common/test_env.h"

namespace {

TEST(ProviderUtilsTest, TrimRemovesOnlyOuterTabsBlanksAndNewlines) {
  std::string s = "\t a \tb \n";
  EXPECT_EQ("a \tb", trim(s));
  EXPECT_EQ("a \tb", s);  // in place
  std::string blanks = " \t\n  ";
  EXPECT_EQ("", trim(blanks));
  std::string kept = "\rx\r";  // carriage returns are not trimmed
  EXPECT_EQ("\rx\r", trim(kept));
}

TEST(ProviderUtilsTest, MonitorProcessNamesSplitTrimAndAppend) {
  hxtest::TestInstance inst;
  std::vector<std::string> names = {"keep", "a"};
  EXPECT_FALSE(GetMonitorProcessNames(names));  // missing
  inst.SetConfig("EventManager", "sMonitorProcessNames", "");
  EXPECT_FALSE(GetMonitorProcessNames(names));  // empty
  EXPECT_EQ((std::vector<std::string>{"keep", "a"}), names);

  inst.SetConfig("EventManager", "sMonitorProcessNames", " a , ,b,,\tc d ,");
  EXPECT_TRUE(GetMonitorProcessNames(names));
  EXPECT_EQ((std::vector<std::string>{"keep", "a", "a", "b", "c d"}), names);
}

TEST(ProviderUtilsTest, ProcessListReadsPidLinesAndTreatsThePathAsData) {
  hxtest::TestInstance inst;
  // A registry directory whose name would run a command if it reached the
  // shell unquoted.
  const std::string reg = inst.root() + "/r x;touch owned;y";
  const std::string runtime = reg + "/Halvex/" + inst.focus() + "/Runtime";
  for (const std::string& part : {reg, reg + "/Halvex", reg + "/Halvex/" + inst.focus(), runtime}) {
    ASSERT_EQ(0, mkdir(part.c_str(), 0777)) << part;
  }
  hxtest::WriteFile(runtime + "/.properties", "pid 123\nname hxd\npidfile 9\n  pid 5\npid 456 x\n");
  setenv("HXREG", reg.c_str(), 1);
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(inst.root().c_str()));
  const std::string pids = getProcesslist();
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ("123\n9\n456\n", pids);
  EXPECT_NE(0, access((inst.root() + "/owned").c_str(), F_OK));
}

}  // namespace
