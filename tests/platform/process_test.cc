// Shell commands, process start times read from /proc, and events.
#include <sys/resource.h>


#include "platform/hx_process.h"
#include "platform/hx_thread.h"
#include "platform/md_process.h"
#include "tests/platform/platform_test_util.h"

namespace {

int g_reads = 0;

int Shell(const std::string& command, std::string* out, std::string* err = nullptr) {
  return HxProcess::system(command.c_str(), out, err, 0, true);
}

// Output and error are captured exactly whatever their size (1 MB each,
// written alternately: far beyond a pipe's buffer), replacing what the strings
// held; the status is the shell's; stdin is at its end; no descriptor leaks
// into the command or stays behind. The time
// limit kills the whole command (subshell and background job included) and
// keeps the output so far; a background descendant does not hold the caller.
TEST(HxProcessTest, CapturesOutputAndStatusAndLeaksNoDescriptor) {
  const int fds = plattest::CountFds();
  std::string out, err;
  EXPECT_EQ(Shell("head -c 1048576 /dev/zero | tr '\\0' o & head -c 1048576 /dev/zero | tr '\\0' e >&2; wait", &out, &err), 0);
  EXPECT_EQ(out + err, std::string(1 << 20, 'o') + std::string(1 << 20, 'e'));
  const std::vector<std::tuple<const char*, unsigned, int, const char*>> cases = {  // command, limit ms, status, output|error
      {"printf 'a b\\n\\n  c\\t'; printf 'oops\\n' >&2", 30000, 0, "a b\n\n  c\t|oops\n"}, {"cat; exit 3", 30000, 3, "|"},
      {"kill -9 $$", 30000, 128 + SIGKILL, "|"}, {"ls /proc/$$/fd", 30000, 0, "0\n1\n2\n|"},
      {"echo started; (sleep 30); sleep 30 & wait", 500, -2, "started\n|"}, {"sleep 4 & echo done", 10000, 0, "done\n|"}};
  for (const auto& [command, limitMs, status, outAndErr] : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HxProcess::systemWithTimeout(command, &out, &err, limitMs), status) << command;
    EXPECT_EQ(out + "|" + err, outAndErr) << command;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << command;
  }
  EXPECT_NE(Shell("hx_no_such_command_here", nullptr, &err), 0);
  const std::string hostile = "a'b \"$(echo x)\" ;c\n'";
  EXPECT_EQ(Shell("printf %s " + HxShellQuote(hostile), &out), 0);
  EXPECT_EQ(out, hostile) << "one word, expanded to exactly itself";
  EXPECT_EQ(plattest::CountFds(), fds);
}

// A command that cannot be started for want of descriptors, or whose end
// cannot be seen (SIGCHLD ignored), is a failure and leaves nothing behind.
TEST(HxProcessTest, FailuresToRunAreReportedAndLeakNothing) {
  const int fds = plattest::CountFds();
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (int freeFds : {1, 3, 4}) {  // no first pipe, no second pipe, no /dev/null
    const struct rlimit low = {256, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(2)) >= 0;) filler.push_back(fd);
    for (int i = 0; i < freeFds; ++i, filler.pop_back()) close(filler.back());
    const int rc = Shell("echo ran", nullptr);
    for (int fd : filler) close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_NE(rc, 0) << freeFds;
    EXPECT_EQ(plattest::CountFds(), fds) << freeFds;
  }
  const auto previous = signal(SIGCHLD, SIG_IGN);
  EXPECT_NE(Shell("echo ran", nullptr), 0);
  signal(SIGCHLD, previous);
  EXPECT_EQ(plattest::CountFds(), fds);
}

// Reads of the command's output that are interrupted or find the pipe empty
// are tried again, and a pipe at its end is not read again while the command
// goes on.
TEST(HxProcessTest, InterruptedReadsLoseNothingAndEndedPipesAreLeftAlone) {
  static int fault;
  for (const int err : {EINTR, EAGAIN}) {
    g_reads = 0;
    fault = err;
    HxSys()->read = [](int fd, void* b, size_t n) { return g_reads++ % 2 ? read(fd, b, n) : (errno = fault, -1); };
    std::string out, error;
    EXPECT_EQ(Shell("printf abc; printf def >&2; exec >&- 2>&-; sleep 0.3", &out, &error), 0) << err;
    HxSysReset();
    EXPECT_EQ(out + "|" + error, "abc|def") << err;
    EXPECT_LE(g_reads, 20) << err;
  }
}

// A manual-reset event stays set for every wait until reset; an automatic one
// is consumed by one wait; set wakes a waiting thread.
TEST(HxEventTest, ManualEventsStaySetUntilResetAndAutomaticOnesServeOneWait) {
  HxEventH manual(true), automatic(false);
  manual.set();
  automatic.set();
  EXPECT_EQ((std::vector<int>{manual.wait(0), manual.wait(0), automatic.wait(0), automatic.wait(0)}), (std::vector<int>{0, 0, 0, 1}));
  manual.reset();
  automatic.set();
  automatic.reset();
  EXPECT_EQ(manual.wait(0) + automatic.wait(0), 2);
  std::thread waiter([&] { EXPECT_EQ(manual.wait(~0UL), 0); });
  manual.set();
  waiter.join();
}

// A process's start time is the boot time plus its start ticks, as read here
// from /proc independently, also when the library's reads come three bytes at
// a time between interruptions or the file gets descriptor 0; a failed open or
// read is no start time, a reaped process has none.
TEST(MDProcessTest, StartTimeMatchesProcWhateverTheReadsDo) {
  const pid_t child = fork();
  if (child == 0) _exit(pause());
  const std::string procStat = hxtest::ReadFile("/proc/stat");
  const uint64_t btime = std::stoull(procStat.substr(procStat.find("\nbtime ") + 7));
  uint64_t ticks = 0;  // the parser is checked against hostile text below
  ASSERT_TRUE(MDParseStartTicks(hxtest::ReadFile("/proc/" + std::to_string(child) + "/stat").c_str(), &ticks));
  const uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  using Open = int (*)(const char*, int, mode_t);  // nullptr: the real call
  using Read = ssize_t (*)(int, void*, size_t);
  const std::vector<std::tuple<Open, Read, bool>> cases = {
      {[](const char* p, int f, mode_t m) { return g_reads++ % 2 ? open(p, f, m) : (errno = EINTR, -1); },
       [](int fd, void* b, size_t n) { return g_reads++ % 2 ? read(fd, b, std::min<size_t>(n, 3)) : (errno = EINTR, -1); }, true},
      {[](const char*, int, mode_t) { return errno = EACCES, -1; }, nullptr, false},
      {nullptr, [](int fd, void* b, size_t n) { return g_reads++ ? (errno = ESRCH, -1) : read(fd, b, n / 2); }, false}};
  MDProcess p(child);
  const uint64_t expected = (btime + ticks / hz) * 1000000000ULL + ticks % hz * (1000000000 / hz);
  close(0);  // a daemon may run without stdin: a /proc file then gets descriptor 0
  for (const auto& [openCall, readCall, ok] : cases) {
    HxSys()->open = openCall ? openCall : HxSys()->open;
    HxSys()->read = readCall ? readCall : HxSys()->read;
    g_reads = 0;
    timespec start{};
    EXPECT_EQ(p.getRunningProcessStartTime(start), ok);
    HxSysReset();
    EXPECT_EQ(ok ? start.tv_sec * 1000000000ULL + start.tv_nsec : expected, expected);
  }
  EXPECT_EQ(open("/dev/null", O_RDONLY), 0) << "descriptor 0 is free again";
  EXPECT_TRUE(p.isAlive());
  kill(child, SIGKILL);
  EXPECT_EQ(hxtest::WaitExit(child), 128 + SIGKILL);
  timespec start{};
  EXPECT_FALSE(p.isAlive() || p.getRunningProcessStartTime(start));
}

// /proc/<pid>/stat text is outside input: the command name may hold blanks and
// parentheses, and only a complete number in field 22 is taken.
TEST(MDProcessTest, StartTicksAreParsedFromHostileStatText) {
  const std::string fields = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ";
  const std::vector<std::tuple<std::string, bool, uint64_t>> cases = {
      {"42 (sh)" + fields + "1234567890 99 0\n", true, 1234567890}, {"42 (a) b) (c)" + fields + "7 99\n", true, 7},
      {"42 (sh)" + fields + "18446744073709551615", true, 18446744073709551615ULL}, {"42 (sh)" + fields + "12x4 9\n", false, 0},
      {"42 (sh)" + fields + "18446744073709551616\n", false, 0}, {"42 (sh)" + fields, false, 0},
      {"42 (sh)" + fields + "-5 9\n", false, 0}, {"no parenthesis 1 2 3", false, 0}};
  for (const auto& [text, ok, expected] : cases) {
    uint64_t ticks = 0;
    EXPECT_EQ(MDParseStartTicks(text.c_str(), &ticks), ok) << text;
    EXPECT_EQ(ticks, expected) << text;
  }
  for (const int64_t pid : {0, -1, -getpid()}) EXPECT_FALSE(MDProcess(pid).isAlive()) << pid;
}

}  // namespace
