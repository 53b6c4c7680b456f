#include "providers/linux_system_provider.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <algorithm>

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

const char kCpuTimes[] = "grep '^cpu ' /proc/stat";
const char kCpuWindow[] = "grep '^cpu ' /proc/stat; sleep 1; grep '^cpu ' /proc/stat";
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
    return env.replies.at(std::string(hxprov::kCommandPrefix) + cmd).output;
  };
  const std::vector<std::string> row = UpdateRow();
  ASSERT_EQ(row.size(), callback.reports.at(0).items.columns.size());
  for (const std::string& value : row) EXPECT_TRUE(hxtest::IsNumeric(value)) << value;
  EXPECT_EQ(row[1], "1000000");  // sysinfo: 1024000000 bytes
  EXPECT_EQ(row[3], std::to_string(std::stoull(recorded(kSwap)) + std::stoull(recorded(kFree))));
  EXPECT_EQ(row[7] + "\n", recorded("ps -A --no-headers | wc -l"));
  EXPECT_EQ(row[9] + "\n", recorded("ps -AL --no-headers | wc -l"));
  for (const std::string& cmd : env.commands) EXPECT_EQ(cmd.rfind(hxprov::kCommandPrefix, 0), 0u) << cmd;
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

// CPU-Usage from recorded /proc/stat readings: each step gives the replies of
// one update and the figure it must print. Readings are "cpu user nice system
// idle iowait irq softirq steal guest guest_nice".
TEST_F(SystemProviderTest, CpuUsageIsTheBusyShareSinceThePreviousReading) {
  struct Step {
    int timesResult;     // -2: the single reading is not asked for
    const char* times;   // the single reading
    int windowResult;    // -2: the one-second window is not asked for
    const char* window;  // two readings one second apart
    const char* usage;
  } steps[] = {
      // No kept reading: the window. 100 busy of 200 ticks.
      {-2, "", 0, "cpu  100 0 100 800 0 0 0 0 0 0\ncpu  150 0 150 900 0 0 0 0 0 0\n", "50.000000"},
      // Since the window's second reading (busy 300 of 1200): irq, softirq and
      // steal are busy, iowait is idle; 50 busy of 410.
      {0, "cpu  160 10 170 1160 100 5 5 0 0 0\n", -2, "", "12.195122"},
      // Guest time is part of user time already; short lines of old kernels.
      {0, "cpu  260 10 170 1260 100 5 5 0 80 20\n", -2, "", "50.000000"},
      {0, "cpu 290 10 170 1390\n", -2, "", "40.000000"},
      // Counters that did not advance or went back (a processor taken
      // offline), or a reading that fails or cannot be read: the window.
      {0, "cpu 290 10 170 1390\n", 0, "cpu 0 0 0 0\ncpu 1 0 0 3\n", "25.000000"},
      {0, "cpu 0 0 0 2\n", 0, "cpu 10 0 0 10\ncpu 10 0 0 20\n", "0.000000"},
      {1, "", 0, "cpu 0 0 0 0\ncpu 1 0 0 1\n", "50.000000"},
      {0, "cpu  x 1 2 3\n", 0, "cpu 0 0 0 0\ncpu 3 0 0 1\n", "75.000000"},
      {0, "cpu1 9 9 9 9\n", 0, "cpu 0 0 0 0\ncpu 4 0 0 0\n", "100.000000"},
      // A window that fails or holds no usable pair gives 0 and keeps nothing.
      {1, "", 1, "", "0.000000"},
      {-2, "", 0, "cpu 5 0 0 5\n", "0.000000"},
      {-2, "", 0, "cpu 5 0 0 5\ncpu 5 0 0 5\n", "0.000000"},
      {-2, "", 0, "cpu 5 0 0 5\ncpu 4 0 0 9\n", "0.000000"},
      {-2, "", 0, "cpu 1 2 3\ncpu 9 9 9\n", "0.000000"},
      {-2, "", 0, "cpu 0 0 0 0\ncpu 999999999999999999 0 0 1\n", "0.000000"},
      {-2, "", 0, "cpu 0 0 0 0\ncpu 1 0 0 7\n", "12.500000"},
      {0, "cpu 99999999999999999 0 0 8\n", -2, "", "100.000000"},  // 17 digits
  };
  int n = 0;
  for (const Step& s : steps) {
    env.replies.erase(hxprov::kCommandPrefix + std::string(kCpuTimes));
    env.replies.erase(hxprov::kCommandPrefix + std::string(kCpuWindow));
    if (s.timesResult != -2) env.Reply(kCpuTimes, s.timesResult, s.times);
    if (s.windowResult != -2) env.Reply(kCpuWindow, s.windowResult, s.window);
    env.commands.clear();
    EXPECT_EQ(UpdateRow().at(0), s.usage) << "step " << n;
    auto asked = [&](const char* c) {
      return std::count(env.commands.begin(), env.commands.end(),
                        hxprov::kCommandPrefix + std::string(c));
    };
    EXPECT_EQ(asked(kCpuTimes), s.timesResult != -2 ? 1 : 0) << "step " << n;
    EXPECT_EQ(asked(kCpuWindow), s.windowResult != -2 ? 1 : 0) << "step " << n;
    ++n;
  }
}

// Busy share of this machine's processor time between two readings of
// /proc/stat taken by the test itself.
struct ProcStat {
  double busy = 0, total = 0;
  static ProcStat Read() {
    std::istringstream in(hxtest::ReadFile("/proc/stat"));
    std::string cpu;
    double f[8] = {};
    in >> cpu;
    for (double& v : f) in >> v;
    ProcStat s;
    s.busy = f[0] + f[1] + f[2] + f[5] + f[6] + f[7];
    s.total = s.busy + f[3] + f[4];
    return s;
  }
  static double Share(const ProcStat& a, const ProcStat& b) {
    return b.total > a.total ? (b.busy - a.busy) * 100.0 / (b.total - a.total) : 0.0;
  }
};

// The real machine: with one processor kept busy by a child process and then
// without it, CPU-Usage matches what /proc/stat shows for the same interval.
TEST_F(SystemProviderTest, RealCpuUsageMatchesProcStatUnderLoadAndWithout) {
  // Only the processor readings run for real; the rest stays recorded.
  env.replies.erase(hxprov::kCommandPrefix + std::string(kCpuTimes));
  env.replies.erase(hxprov::kCommandPrefix + std::string(kCpuWindow));
  env.passThrough = {"/proc/stat"};
  const pid_t spinner = fork();
  ASSERT_GE(spinner, 0);
  if (spinner == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (volatile unsigned long i = 0;; i = i + 1) {
    }
  }
  UpdateRow();  // the first reading to measure from
  std::string figures;
  for (const char* phase : {"one core busy", "no load of ours"}) {
    const ProcStat before = ProcStat::Read();
    usleep(2000000);  // the measured interval itself
    const ProcStat after = ProcStat::Read();
    const double reported = std::stod(UpdateRow().at(0));
    const double shown = ProcStat::Share(before, after);
    EXPECT_NEAR(reported, shown, 15.0) << phase;
    figures += std::string(phase) + ": CPU-Usage " + std::to_string(reported) +
               ", /proc/stat " + std::to_string(shown) + "; ";
    if (spinner > 0 && kill(spinner, SIGKILL) == 0) waitpid(spinner, nullptr, 0);
  }
  RecordProperty("figures", figures);
  std::printf("%s\n", figures.c_str());
}

}  // namespace
