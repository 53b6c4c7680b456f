// The named mutex between threads, forked processes and programs of both
// ABIs, in both kinds (shared word and fcntl file lock).
#include "platform/named_mutex.h"

#include "tests/platform/platform_test_util.h"

namespace {

// The parameter is the process-wide switch (set before the test's mutex "M"
// is made), so helper processes use the same kind as the test.
class NamedMutexTest : public plattest::PlatformTest, public ::testing::WithParamInterface<const char*> {
 protected:
  ~NamedMutexTest() override { unsetenv("HX_NAMED_MUTEX"); }
  bool shared() const { return std::string(GetParam()) == "futex"; }
  // Whether another process can take "M" at once.
  bool FreeForOtherProcess() {
    return plattest::InChild([] {
             CError e;
             CNamedMutex m("M", e, true);
             return m.lock(0, false) == 0 && m.unlock() == 0 ? 0 : 1;
           }) == 0;
  }
  // Waits (polling, at most 30 s) until another process holds "M": then a
  // try fails at once.
  bool HeldElsewhere() {
    for (int i = 0; i < 6000 && mutex.lock(0, false) == 0; ++i) {
      mutex.unlock();
      UASLEEP(5);
    }
    return mutex.lock(0, false) == -2;
  }
  const int kindSet_ = setenv("HX_NAMED_MUTEX", GetParam(), 1);
  CError error;
  CNamedMutex mutex{"M", error, true};
};

INSTANTIATE_TEST_SUITE_P(Kinds, NamedMutexTest, ::testing::Values("futex", "fcntl"));

// A holder in another program of either ABI: a try fails at once, a timed lock
// waits out its time and fails, a longer one gets the lock at the release; two
// programs counting under the lock lose no update. The lock file is removed
// first while this process has it open: the new file at the path counts.
TEST_P(NamedMutexTest, ProgramsOfBothAbisExcludeEachOtherAndTimedLocksWaitTheirTime) {
  ASSERT_EQ(unlink((CNamedMutex::LockDirectory() + "/M.lock").c_str()), 0);
  UASLEEP(150);  // a holder compares its file with the path every 100 ms
  const std::string child = hxtest::ChildPath("named_mutex_child"), other = hxtest::OtherAbiChildPath("named_mutex_child");
  for (const std::string& holder : {child, other}) {
    if (holder.empty()) continue;  // the other ABI's build is not configured
    hxtest::WriteFile(Path("counter"), "0");
    const pid_t pid = hxtest::Spawn(holder, {"M", Path("counter"), "1", "1500"});
    ASSERT_TRUE(HeldElsewhere()) << holder;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mutex.lock(300, true), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280));
    ASSERT_EQ(mutex.lock(30000, true), 0) << error.GetText();
    EXPECT_EQ(hxtest::ReadFile(Path("counter")), "1") << "the holder finished first";
    EXPECT_EQ(mutex.unlock(), 0);
    EXPECT_EQ(hxtest::WaitExit(pid), 0);
  }
  hxtest::WriteFile(Path("counter"), "0");
  const pid_t a = hxtest::Spawn(child, {"Count", Path("counter"), "50", "1"});
  const pid_t b = hxtest::Spawn(other.empty() ? child : other, {"Count", Path("counter"), "50", "1"});
  EXPECT_EQ(hxtest::WaitExit(a) + hxtest::WaitExit(b), 0);
  EXPECT_EQ(hxtest::ReadFile(Path("counter")), "100");
}

// When a forked holder is killed, the next holder takes over and is told once;
// a liveness check that fails never counts as a death (two holders).
TEST_P(NamedMutexTest, HolderKilledInsideIsTakenOverAndReportedOnce) {
  EXPECT_EQ(mutex.kind(), shared() ? CNamedMutex::kShared : CNamedMutex::kFileLock);
  const pid_t holder = fork();
  if (holder == 0) {
    mutex.lock(-1, true);
    for (;;) pause();
  }
  ASSERT_TRUE(HeldElsewhere());
  kill(holder, SIGKILL);
  EXPECT_EQ(hxtest::WaitExit(holder), 128 + SIGKILL);
  HxSys()->fcntlLock = [](int fd, int command, struct flock* lock) {
    return command == F_GETLK ? (errno = EIO, -1) : fcntl(fd, command, lock);
  };
  EXPECT_EQ(shared() ? mutex.lock(100, true) : -2, -2) << "a failed liveness check is no death";
  HxSysReset();
  ASSERT_EQ(mutex.lock(20000, true), 0) << error.GetText();
  EXPECT_TRUE(mutex.TakeOwnerDied());
  EXPECT_FALSE(mutex.TakeOwnerDied()) << "reported once";
  EXPECT_FALSE(FreeForOtherProcess());
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_TRUE(FreeForOtherProcess());
}

// Every name gets a regular file of its own inside the lock directory, long
// names too; an empty name, a planted symlink and an open directory are
// refused, and so is every lock through them. Without a liveness byte the
// lock falls back to file locks and says so.
TEST_P(NamedMutexTest, NamesMapToDistinctFilesAndUnsafeOnesAreRefused) {
  const std::string dir = CNamedMutex::LockDirectory(), n(300, 'n');
  EXPECT_EQ(dir, instance_.jobResultsDir() + "/.locks");
  const std::vector<std::string> names = {"a/b", "a_b", "a%2Fb", "../escape", ".hidden", "x y\n", n + "1", n + "2"};
  for (const std::string& name : names) {
    CNamedMutex m(name.c_str(), error, true);
    ASSERT_EQ(error.GetCode(), 0) << name << ": " << error.GetText();
  }
  std::string kinds;
  ASSERT_EQ(hxtest::RunAndCapture("/usr/bin/find", {dir, "-mindepth", "1", "-printf", "%y"}, &kinds), 0);
  EXPECT_EQ(kinds, std::string(names.size() + 1, 'f'));  // and the test's own "M"
  ASSERT_EQ(symlink(Path("victim").c_str(), (dir + "/Evil.lock").c_str()), 0);
  for (const char* refused : {"", "Evil", "Open"}) {
    ASSERT_EQ(*refused == 'O' ? chmod(dir.c_str(), 0777) : 0, 0);
    CNamedMutex m(refused, error, true);
    EXPECT_NE(error.GetCode(), 0) << refused;
    EXPECT_LT(m.lock(-1, true), 0);
    EXPECT_LT(m.unlock(), 0);
  }
  EXPECT_NE(access(Path("victim").c_str(), F_OK), 0) << "nothing created through the link";
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  HxSys()->fcntlLock = [](int, int, struct flock*) { return errno = ENOLCK, -1; };
  CNamedMutex fallback("Fallback", error, true);
  HxSysReset();
  EXPECT_EQ(fallback.kind(), CNamedMutex::kFileLock);
  EXPECT_EQ(instance_.LogLinesContaining("using file locks").size(), shared() ? 1u : 0u);
}

}  // namespace
