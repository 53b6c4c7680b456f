#include "platform/md_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "gtest/gtest.h"
#include "tests/common/test_env.h"

namespace {

TEST(MDProcessTest, StartTimeOfAFreshChildIsNow) {
  time_t before = time(nullptr);
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  MDProcess p(child);
  EXPECT_TRUE(p.isAlive());
  timespec start{};
  ASSERT_TRUE(p.getRunningProcessStartTime(start));
  // btime is whole seconds and ticks are 1/CLK_TCK: allow a couple of seconds.
  EXPECT_LE(std::llabs(static_cast<long long>(start.tv_sec) - before), 2) << start.tv_sec;
  EXPECT_GE(start.tv_nsec, 0);
  EXPECT_LT(start.tv_nsec, 1000000000L);

  kill(child, SIGKILL);
  // A zombie still exists; once reaped it is gone.
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_FALSE(p.isAlive());
  EXPECT_FALSE(p.getRunningProcessStartTime(start));
}

TEST(MDProcessTest, ACommandNameWithBlanksAndParenthesesIsParsed) {
  // The test binary under a name that confuses a naive /proc/<pid>/stat split.
  std::string dir = "/tmp";
  std::string link = dir + "/hx md) (x " + std::to_string(getpid());
  ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
  time_t before = time(nullptr);
  pid_t child = hxtest::Spawn(link, {"5"});
  // Wait for the exec, which gives the process its awkward name.
  for (int i = 0; i < 2000; ++i) {
    if (hxtest::ReadFile("/proc/" + std::to_string(child) + "/comm").rfind("hx md) (x", 0) == 0) break;
    usleep(1000);
  }
  unlink(link.c_str());
  EXPECT_EQ(hxtest::ReadFile("/proc/" + std::to_string(child) + "/comm").rfind("hx md) (x", 0), 0u);
  MDProcess p(child);
  timespec start{};
  bool ok = p.getRunningProcessStartTime(start);
  kill(child, SIGKILL);
  hxtest::WaitExit(child);
  ASSERT_TRUE(ok);
  EXPECT_LE(std::llabs(static_cast<long long>(start.tv_sec) - before), 2);
}

TEST(MDProcessTest, ImpossiblePidsAreNeverAlive) {
  EXPECT_FALSE(MDProcess(0).isAlive()) << "pid 0 would address our own process group";
  EXPECT_FALSE(MDProcess(-1).isAlive());
  EXPECT_FALSE(MDProcess(int64_t{1} << 40).isAlive());
  EXPECT_TRUE(MDProcess(getpid()).isAlive());
  EXPECT_TRUE(MDProcess(1).isAlive()) << "another user's process exists too";
  timespec t{};
  EXPECT_FALSE(MDProcess(-5).getRunningProcessStartTime(t));
}

}  // namespace

namespace {

// /proc/<pid>/stat text is outside input: only a complete number in field 22
// is taken.
TEST(MDProcessTest, StartTicksAreParsedFromHostileStatText) {
  const std::string fields = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ";
  struct Case {
    std::string text;
    bool ok;
    uint64_t ticks;
  };
  const Case cases[] = {
      {"42 (sh)" + fields + "123456 99 0\n", true, 123456},
      {"42 (a) b) (c)" + fields + "7 99\n", true, 7},  // the last ')' ends the name
      {"42 (sh)" + fields + "18446744073709551615\n", true, 18446744073709551615ULL},
      {"42 (sh)" + fields + "18446744073709551616\n", false, 0},  // overflows
      {"42 (sh)" + fields + "12x4 9\n", false, 0},
      {"42 (sh)" + fields, false, 0},  // cut before field 22
      {"42 (sh)" + fields + "-5 9\n", false, 0},
      {"no parenthesis 1 2 3", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t ticks = 0;
    EXPECT_EQ(MDParseStartTicks(c.text.c_str(), &ticks), c.ok);
    if (c.ok) {
      EXPECT_EQ(ticks, c.ticks);
    }
  }
}

}  // namespace
