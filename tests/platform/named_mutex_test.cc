#include "platform/named_mutex.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/ua_sleep.h"
#include "tests/common/test_env.h"

namespace {

// Waits (polling) until path holds text; false after 30 s.
bool WaitForFile(const std::string& path, const std::string& text) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (hxtest::ReadFile(path).find(text) != std::string::npos) return true;
    UASLEEP(5);
  }
  return false;
}

// Whether another process can take the lock right now.
bool FreeForOtherProcess(const std::string& name) {
  return hxtest::WaitExit(hxtest::Spawn(hxtest::ChildPath("named_mutex_child"), {"try", name, "-"})) == 0;
}

// Every property holds for both kinds; the parameter is the process-wide
// switch, so helper processes use the same kind as the test.
class NamedMutexTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { setenv("HX_NAMED_MUTEX", GetParam(), 1); }
  void TearDown() override { unsetenv("HX_NAMED_MUTEX"); }
  CNamedMutex::Kind kind() const {
    return std::string(GetParam()) == "fcntl" ? CNamedMutex::kFileLock : CNamedMutex::kShared;
  }
  hxtest::TestInstance instance_;
  std::string File(const std::string& name) const { return instance_.root() + "/" + name; }
  // Two processes each add 1 to a shared counter file `rounds` times under the
  // lock; returns the final count (lost updates show a lock that does not exclude).
  std::string CountInTwoProcesses(const std::string& childA, const std::string& childB,
                                  const std::string& name, int rounds) {
    std::string counter = File("counter");
    hxtest::WriteFile(counter, "0");
    pid_t a = hxtest::Spawn(childA, {"count", name, counter, std::to_string(rounds)});
    pid_t b = hxtest::Spawn(childB, {"count", name, counter, std::to_string(rounds)});
    EXPECT_EQ(hxtest::WaitExit(a), 0);
    EXPECT_EQ(hxtest::WaitExit(b), 0);
    return hxtest::ReadFile(counter);
  }
};

INSTANTIATE_TEST_SUITE_P(Kinds, NamedMutexTest, ::testing::Values("futex", "fcntl"));

TEST_P(NamedMutexTest, HolderKilledWithSigkillIsTakenOverAndReported) {
  std::string marker = File("marker");
  pid_t child = hxtest::Spawn(hxtest::ChildPath("named_mutex_child"), {"hold", "Killed", marker});
  ASSERT_TRUE(WaitForFile(marker, "locked"));

  CError error;
  CNamedMutex mutex("Killed", error, true);
  ASSERT_EQ(error.GetCode(), 0) << error.GetText();
  EXPECT_EQ(mutex.kind(), kind());
  EXPECT_EQ(mutex.lock(100, true), -2) << "the child holds the lock";
  EXPECT_EQ(mutex.lock(0, false), -2);
  EXPECT_NE(error.GetCode(), 0);
  EXPECT_FALSE(mutex.TakeOwnerDied());

  kill(child, SIGKILL);
  EXPECT_EQ(hxtest::WaitExit(child), 128 + SIGKILL);
  ASSERT_EQ(mutex.lock(20000, true), 0) << error.GetText();
  EXPECT_TRUE(mutex.TakeOwnerDied()) << "the new holder learns that the last one died inside";
  EXPECT_FALSE(mutex.TakeOwnerDied()) << "reported once";
  EXPECT_FALSE(FreeForOtherProcess("Killed"));
  EXPECT_EQ(mutex.unlock(), 0);

  // A holder that released normally leaves nothing to report.
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(FreeForOtherProcess("Killed"));
    ASSERT_EQ(mutex.lock(-1, true), 0);
    EXPECT_FALSE(mutex.TakeOwnerDied()) << round;
    EXPECT_EQ(mutex.unlock(), 0);
  }
}

TEST_P(NamedMutexTest, ARemovedLockFileIsNotLockedAlone) {
  CError error;
  CNamedMutex mutex("Removed", error, true);  // opens the lock file now
  ASSERT_EQ(mutex.lock(-1, true), 0);
  ASSERT_EQ(mutex.unlock(), 0);
  ASSERT_EQ(system(("rm -rf '" + CNamedMutex::LockDirectory() + "'").c_str()), 0);
  UASLEEP(150);  // a holder compares its file with the path every 100 ms

  // The child creates a new lock file and holds it; this process must wait
  // for it rather than lock the removed file.
  std::string marker = File("marker");
  pid_t holder = hxtest::Spawn(hxtest::ChildPath("named_mutex_child"), {"holdfor", "Removed", marker, "300"});
  ASSERT_TRUE(WaitForFile(marker, "locked"));
  ASSERT_EQ(mutex.lock(-1, true), 0) << error.GetText();
  EXPECT_EQ(hxtest::ReadFile(marker), "locked released");
  EXPECT_FALSE(FreeForOtherProcess("Removed"));
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(hxtest::WaitExit(holder), 0);
  EXPECT_TRUE(FreeForOtherProcess("Removed"));
}

TEST_P(NamedMutexTest, ReentrantForTheHolderThreadOnlyThroughEveryObjectOfTheName) {
  CError e1, e2;
  CNamedMutex a("Shared", e1, true);
  CNamedMutex b("Shared", e2, true);
  ASSERT_EQ(a.lock(-1, true), 0);
  ASSERT_EQ(b.lock(-1, true), 0) << "same thread: re-entrant through either object";
  ASSERT_EQ(a.lock(0, false), 0);

  std::atomic<int> otherResult{1};
  std::thread other([&] {
    CError e3;
    CNamedMutex c("Shared", e3, true);
    otherResult = c.lock(50, true);
    if (otherResult == 0) c.unlock();
  });
  other.join();
  EXPECT_EQ(otherResult.load(), -2) << "another thread must not get it through a third object";
  int foreignUnlock = 0;
  std::thread([&] { foreignUnlock = a.unlock(); }).join();
  EXPECT_LT(foreignUnlock, 0) << "a thread that does not hold it cannot release it";

  EXPECT_EQ(a.unlock(), 0);
  EXPECT_EQ(a.unlock(), 0);
  EXPECT_FALSE(FreeForOtherProcess("Shared")) << "one level is still held";
  EXPECT_EQ(b.unlock(), 0);
  EXPECT_TRUE(FreeForOtherProcess("Shared"));
  EXPECT_LT(b.unlock(), 0) << "unlocking more often than locked";
  EXPECT_NE(e2.GetCode(), 0);
}

TEST_P(NamedMutexTest, ThreadsAndProcessesOfBothAbisExcludeEachOther) {
  constexpr int kRounds = 3000;
  long counter = 0;  // deliberately not atomic: the lock alone protects it
  auto work = [&] {
    CError error;
    CNamedMutex mutex("Threads", error, true);
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_EQ(mutex.lock(-1, true), 0);
      volatile long seen = counter;
      for (volatile int pause = 0; pause < 50; ++pause) {
      }
      counter = seen + 1;
      ASSERT_EQ(mutex.unlock(), 0);
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 2 * kRounds);

  std::string child = hxtest::ChildPath("named_mutex_child");
  EXPECT_EQ(CountInTwoProcesses(child, child, "Procs", 60), "120");

  std::string other = hxtest::OtherAbiChildPath("named_mutex_child");
  if (other.empty()) GTEST_SKIP() << "the other ABI's build is not configured (HX_OTHER_ABI_BIN_DIR)";
  // The other ABI holds it: this process must wait for its release.
  std::string marker = File("marker");
  pid_t holder = hxtest::Spawn(other, {"holdfor", "CrossAbi", marker, "300"});
  ASSERT_TRUE(WaitForFile(marker, "locked"));
  CError error;
  CNamedMutex mutex("CrossAbi", error, true);
  ASSERT_EQ(mutex.lock(-1, true), 0);
  EXPECT_EQ(hxtest::ReadFile(marker), "locked released");
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(hxtest::WaitExit(holder), 0);
  // Both ABIs update one file under the lock: no update may be lost.
  EXPECT_EQ(CountInTwoProcesses(other, child, "CrossAbi", 40), "80");
}

// A child made by fork (no exec) holds nothing of its parent, excludes it,
// and is taken over when killed inside.
TEST_P(NamedMutexTest, ForkedChildIsAProcessOfItsOwn) {
  CError error;
  CNamedMutex mutex("Forked", error, true);
  ASSERT_EQ(mutex.lock(-1, true), 0);
  pid_t busy = fork();
  if (busy == 0) _exit(mutex.lock(0, false) == -2 ? 0 : 1);
  EXPECT_EQ(hxtest::WaitExit(busy), 0) << "the parent's hold is not the child's";
  EXPECT_EQ(mutex.unlock(), 0);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    if (mutex.lock(-1, true) != 0) _exit(2);
    char c = 'x';
    if (write(ready[1], &c, 1) != 1) _exit(3);
    for (;;) pause();
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(mutex.lock(0, false), -2) << "the child holds it";
  kill(holder, SIGKILL);
  EXPECT_EQ(hxtest::WaitExit(holder), 128 + SIGKILL);
  ASSERT_EQ(mutex.lock(20000, true), 0) << error.GetText();
  EXPECT_TRUE(mutex.TakeOwnerDied());
  EXPECT_EQ(mutex.unlock(), 0);
}

TEST_P(NamedMutexTest, HostileNamesStayInsideTheLockDirectoryAndEmptyIsRefused) {
  const char* names[] = {"a/b", "a_b", "a%2Fb", "../escape", ".hidden", "x y\n"};
  CError error;
  for (const char* n : names) {
    CNamedMutex m(n, error, true);
    ASSERT_EQ(error.GetCode(), 0) << n;
  }
  std::string dir = CNamedMutex::LockDirectory();
  EXPECT_EQ(dir, instance_.root() + "/registry/Halvex/.locks");
  // One regular file per name and nothing else: no name made a directory.
  std::string kinds;
  ASSERT_EQ(hxtest::RunAndCapture("/usr/bin/find", {dir, "-mindepth", "1", "-printf", "%y"}, &kinds), 0);
  EXPECT_EQ(kinds, std::string(sizeof(names) / sizeof(names[0]), 'f'));
  EXPECT_NE(access((instance_.root() + "/registry/Halvex/escape.lock").c_str(), F_OK), 0);

  // Holding one does not block a look-alike name.
  CNamedMutex slash("a/b", error, true);
  ASSERT_EQ(slash.lock(-1, true), 0);
  EXPECT_TRUE(FreeForOtherProcess("a_b"));
  EXPECT_FALSE(FreeForOtherProcess("a/b"));
  EXPECT_EQ(slash.unlock(), 0);

  // An empty name is refused, and so is every lock through it.
  CNamedMutex empty("", error, true);
  EXPECT_NE(error.GetCode(), 0);
  EXPECT_STRNE(error.GetText(), "");
  EXPECT_LT(empty.lock(-1, true), 0);
  EXPECT_LT(empty.unlock(), 0);
}

// A lock file reached through a symlink or a hard link, or a lock directory
// that is not a real directory of this user closed to others, is refused and
// what the link leads to is left as found (a mapped lock file is written).
TEST_P(NamedMutexTest, LockFilesAreNeverOpenedThroughSymlinksOrInOpenDirectories) {
  const std::string dir = CNamedMutex::LockDirectory();
  const std::string victim = File("victim");
  struct Case {
    const char* what;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"symlinked lock file",
       [&] {
         ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
         ASSERT_EQ(symlink(victim.c_str(), (dir + "/Evil.lock").c_str()), 0);
       }},
      {"symlinked lock directory",
       [&] {
         ASSERT_EQ(system(("mkdir -p '" + File("elsewhere") + "' '" + instance_.root() + "/registry/Halvex'").c_str()), 0);
         ASSERT_EQ(symlink(File("elsewhere").c_str(), dir.c_str()), 0);
       }},
      {"hard-linked lock file",
       [&] {
         ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
         hxtest::WriteFile(victim, "precious");
         ASSERT_EQ(link(victim.c_str(), (dir + "/Evil.lock").c_str()), 0);
       }},
      {"lock directory writable by others",
       [&] {
         ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
         ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
       }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(system(("rm -rf '" + dir + "' '" + File("elsewhere") + "' '" + victim + "'").c_str()), 0);
    c.plant();
    CError error;
    CNamedMutex mutex("Evil", error, true);
    EXPECT_NE(error.GetCode(), 0) << c.what;
    EXPECT_LT(mutex.lock(0, false), 0) << c.what;
    EXPECT_EQ(hxtest::ReadFile(victim), access(victim.c_str(), F_OK) == 0 ? "precious" : "")
        << c.what << ": nothing created or written through the link";
    struct stat st;
    EXPECT_TRUE(stat(victim.c_str(), &st) != 0 || st.st_size == 8) << c.what;
    EXPECT_NE(access((File("elsewhere") + "/Evil.lock").c_str(), F_OK), 0) << c.what;
  }
  ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
  CError error;
  CNamedMutex fresh("Evil", error, true);
  EXPECT_EQ(error.GetCode(), 0) << error.GetText();
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0022, 0u) << "created closed to others";
}

}  // namespace
