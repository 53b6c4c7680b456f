// The named mutex between threads, forked processes and programs of both
// ABIs, in both kinds (shared word and fcntl file lock).
#include "platform/named_mutex.h"

#include <grp.h>
#include <sys/mount.h>

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
// programs and this process counting under the lock lose no update. The lock file is removed
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
  const pid_t a = hxtest::Spawn(child, {"M", Path("counter"), "50", "1"});
  const pid_t b = hxtest::Spawn(other.empty() ? child : other, {"M", Path("counter"), "50", "1"});
  for (int i = 0; i < 50; ++i) {  // this process counts too, after programs closed the lock
    ASSERT_EQ(mutex.lock(-1, true), 0);
    hxtest::WriteFile(Path("counter"), std::to_string(std::stoi(hxtest::ReadFile(Path("counter"))) + 1));
    ASSERT_EQ(mutex.unlock(), 0);
  }
  EXPECT_EQ(hxtest::WaitExit(a) + hxtest::WaitExit(b), 0);
  EXPECT_EQ(hxtest::ReadFile(Path("counter")), "150");
}

// When a forked holder is killed, the next holder takes over and is told;
// so is every later holder until one marks the repair done (a holder that only
// looks, as an Initialize whose attach then fails, leaves it to the next). A
// liveness check that fails never counts as a death (two holders).
TEST_P(NamedMutexTest, HolderKilledInsideIsReportedUntilRepaired) {
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
  const auto toldOnce = [] {
    CError e;
    CNamedMutex m("M", e, true);
    return m.lock(20000, true) == 0 && m.TakeOwnerDied() && !m.TakeOwnerDied() && m.unlock() == 0 ? 0 : 1;
  };
  EXPECT_EQ(plattest::InChild(toldOnce), 0) << "a holder that does not repair";
  ASSERT_EQ(mutex.lock(20000, true), 0) << error.GetText();
  EXPECT_TRUE(mutex.TakeOwnerDied()) << "still to repair";
  EXPECT_FALSE(mutex.TakeOwnerDied()) << "told once per holding";
  EXPECT_FALSE(FreeForOtherProcess());
  EXPECT_EQ(mutex.MarkRepaired(), 0) << error.GetText();
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_LT(mutex.MarkRepaired(), 0) << "only the holder marks";
  EXPECT_EQ(plattest::InChild(toldOnce), 1) << "repaired";
  EXPECT_TRUE(FreeForOtherProcess());
}

pid_t g_deadPid = 0;     // a killed holder, whose pid (and so slot) a new process gets
pid_t g_newHolder = 0;   // that new process once it holds the lock
int g_heldPipe[2];
CNamedMutex* g_mutex = nullptr;

// What the header promises, for the kind of the parameter: each row does
// something and checks what must follow.
TEST_P(NamedMutexTest, EveryPromiseOfTheHeaderHolds) {
  const std::string dir = CNamedMutex::LockDirectory(), file = dir + "/M.lock";
  const auto takesAtOnce = [](const char* name) {
    return plattest::InChild([name] {
      CError e;
      CNamedMutex m(name, e, true);
      const int r = m.lock(0, false);
      return r == 0 ? (m.unlock() == 0 ? 0 : 3) : -r;
    });
  };
  const std::vector<std::pair<const char*, std::function<void()>>> promises = {
      {"only the holding thread unlocks, as often as it locked", [&] {
         EXPECT_LT(mutex.unlock(), 0);
         ASSERT_EQ(mutex.lock(-1, true), 0);
         ASSERT_EQ(mutex.lock(0, false), 0);
         int other = 0;
         std::thread([&] { other = mutex.unlock(); }).join();
         EXPECT_LT(other, 0);
         EXPECT_EQ(mutex.unlock(), 0);
         EXPECT_FALSE(FreeForOtherProcess()) << "one level still held";
         EXPECT_EQ(mutex.unlock(), 0);
         EXPECT_LT(mutex.unlock(), 0);
         EXPECT_TRUE(FreeForOtherProcess());
       }},
      {"a try or a timed lock while another thread holds gives -2", [&] {
         ASSERT_EQ(mutex.lock(-1, true), 0);
         int tried = 0, timed = 0;
         std::thread([&] {
           tried = mutex.lock(0, false);
           timed = mutex.lock(50, true);
         }).join();
         EXPECT_EQ(tried, -2);
         EXPECT_EQ(timed, -2);
         EXPECT_EQ(mutex.unlock(), 0);
       }},
      {"interrupted file-lock calls are made again", [&] {
         HxSys()->fcntlLock = [](int fd, int command, struct flock* lock) {
           static int calls = 0;
           return ++calls % 2 ? (errno = EINTR, -1) : fcntl(fd, command, lock);
         };
         CError e;
         CNamedMutex fresh("Interrupted", e, true);
         const int locked = fresh.lock(-1, true), unlocked = fresh.unlock();
         HxSysReset();
         EXPECT_EQ(fresh.kind(), mutex.kind());
         EXPECT_EQ(locked + unlocked, 0) << e.GetText();
         EXPECT_EQ(takesAtOnce("Interrupted"), 0);
       }},
      {"a child made by fork holds nothing of its parent's", [&] {
         ASSERT_EQ(mutex.lock(-1, true), 0);
         EXPECT_EQ(plattest::InChild([&] {
                     const bool refused = mutex.unlock() < 0 && mutex.MarkRepaired() < 0;
                     const int grandchild = plattest::InChild([&] { return mutex.lock(0, false) == -2 ? 0 : 1; });
                     return refused && grandchild == 0 && mutex.lock(0, false) == -2 ? 0 : 1;
                   }), 0);
         EXPECT_FALSE(FreeForOtherProcess());
         EXPECT_EQ(mutex.unlock(), 0);
       }},
      {"objects of one name share the lock; closing one leaves the other working", [&] {
         {
           CError e;
           CNamedMutex other("M", e, true);
           ASSERT_EQ(other.lock(0, false), 0);
           EXPECT_EQ(mutex.lock(0, false), 0) << "the same holder";
           EXPECT_EQ(other.unlock() + mutex.unlock(), 0);
         }
         ASSERT_EQ(mutex.lock(0, false), 0);
         EXPECT_FALSE(FreeForOtherProcess());
         EXPECT_EQ(mutex.unlock(), 0);
       }},
      {"a removed lock file: holders move to the file at the path and free the old one", [&] {
         CError e;
         CNamedMutex moved("Moved", e, true);
         int go[2];
         ASSERT_EQ(pipe(go), 0);
         const pid_t early = fork();  // has the old file open
         if (early == 0) {
           char c;
           _exit(read(go[0], &c, 1) == 1 && moved.lock(5000, true) == 0 && moved.unlock() == 0 ? 0 : 1);
         }
         EXPECT_EQ(unlink((dir + "/Moved.lock").c_str()), 0);
         ASSERT_EQ(moved.lock(-1, true), 0) << e.GetText();
         EXPECT_EQ(takesAtOnce("Moved"), 2);
         EXPECT_EQ(moved.unlock(), 0);
         EXPECT_EQ(write(go[1], "g", 1), 1);
         EXPECT_EQ(hxtest::WaitExit(early), 0) << "the old file's lock was left held";
         close(go[0]);
         close(go[1]);
       }},
      {"a lock file replaced by one that cannot be opened fails every lock until it can", [&] {
         CError e;
         CNamedMutex replaced("Replaced", e, true);
         const std::string path = dir + "/Replaced.lock";
         ASSERT_EQ(unlink(path.c_str()), 0);
         ASSERT_EQ(symlink(Path("victim").c_str(), path.c_str()), 0);
         for (int i = 0; i < 3; ++i) EXPECT_EQ(replaced.lock(-1, true), -1) << i;
         EXPECT_NE(access(Path("victim").c_str(), F_OK), 0) << "nothing created through the link";
         ASSERT_EQ(unlink(path.c_str()), 0);
         EXPECT_EQ(replaced.lock(-1, true), 0) << e.GetText();
         EXPECT_EQ(replaced.unlock(), 0);
       }},
      {"a lock file shrunk between two locks kills nobody", [&] {
         EXPECT_EQ(plattest::InChild([&] {
                     const bool before = mutex.lock(-1, true) == 0 && mutex.unlock() == 0;
                     return before && truncate(file.c_str(), 0) == 0 && mutex.lock(-1, true) == 0 &&
                                    mutex.unlock() == 0 ? 0 : 1;
                   }), 0);
       }},
      {"on a full file system the lock works (shared word) or fails cleanly", [&] {
         if (geteuid() != 0) return;  // mounting needs root
         ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=8k,mode=0755"), 0);
         const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
         const std::string block(4096, 'x');
         while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
         }
         close(fd);
         const int status = takesAtOnce("Full");
         EXPECT_EQ(umount(dir.c_str()), 0);
         EXPECT_EQ(status, shared() ? 0 : 1);
       }},
      {"another user takes a lock root made; with HxGroup only that group's members", [&] {
         if (geteuid() != 0) return;  // becoming nobody needs root
         ASSERT_EQ(chmod(instance_.root().c_str(), 0755), 0);
         const std::vector<std::tuple<const char*, const char*, mode_t, int>> users = {  // HxGroup, name, mode, child
             {"", "U0", 0666, 0}, {"nogroup", "U1", 0660, 0}, {"daemon", "U2", 0660, 2}};
         for (const auto& [group, name, mode, status] : users) {
           if (*group) instance_.SetConfig("Platform", "HxGroup", group);
           CError e;
           CNamedMutex made(name, e, true);
           struct stat st;
           ASSERT_EQ(stat((dir + "/" + name + ".lock").c_str(), &st), 0);
           EXPECT_EQ(st.st_mode & 07777, mode) << name;
           EXPECT_EQ(st.st_gid, *group ? getgrnam(group)->gr_gid : 0u) << name;
           const std::string program = hxtest::ChildPath("named_mutex_child"), counter = Path("counter");
           hxtest::WriteFile(counter, "0");
           ASSERT_EQ(chmod(counter.c_str(), 0666), 0);
           const int exited = plattest::InChild([&, name = name] {  // a program of its own: nothing inherited
             if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 9;
             if (access(program.c_str(), X_OK) != 0) return 10;  // a build out of nobody's reach
             return hxtest::WaitExit(hxtest::Spawn(program, {name, counter, "1", "0"}));
           });
           if (exited == 10) return;
           EXPECT_EQ(exited, status) << name;
           EXPECT_EQ(hxtest::ReadFile(counter), status == 0 ? "1" : "0") << name;
           instance_.RemoveConfig("Platform", "HxGroup");
         }
       }},
      {"a dead holder's slot taken anew between the liveness check and the exchange stays taken", [&] {
         if (!shared() || geteuid() != 0) return;  // choosing the next pid needs root
         g_mutex = &mutex;
         g_deadPid = fork();
         if (g_deadPid == 0) {
           mutex.lock(-1, true);
           for (;;) pause();
         }
         ASSERT_TRUE(HeldElsewhere());
         kill(g_deadPid, SIGKILL);
         EXPECT_EQ(hxtest::WaitExit(g_deadPid), 128 + SIGKILL);
         ASSERT_EQ(pipe(g_heldPipe), 0);
         HxSys()->fcntlLock = [](int fd, int command, struct flock* lock) {
           const int rc = fcntl(fd, command, lock);
           for (int i = 0; command == F_GETLK && g_newHolder == 0 && i < 50; ++i) {
             hxtest::WriteFile("/proc/sys/kernel/ns_last_pid", std::to_string(g_deadPid - 1));
             const pid_t p = fork();
             if (p == 0) {
               HxSysReset();
               if (getpid() != g_deadPid || g_mutex->lock(-1, true) != 0 || write(g_heldPipe[1], "h", 1) != 1) _exit(0);
               for (;;) pause();
             }
             char c;
             if (p == g_deadPid && read(g_heldPipe[0], &c, 1) == 1) g_newHolder = p;
             if (g_newHolder == 0) hxtest::WaitExit(p);
           }
           return rc;
         };
         const int result = mutex.lock(0, false);
         HxSysReset();
         close(g_heldPipe[0]);
         close(g_heldPipe[1]);
         if (g_newHolder == 0) return;  // the pid went to another process fifty times
         EXPECT_EQ(result, -2) << "taken from its live new holder";
         kill(g_newHolder, SIGKILL);
         EXPECT_EQ(hxtest::WaitExit(g_newHolder), 128 + SIGKILL);
       }},
  };
  for (const auto& [what, check] : promises) {
    SCOPED_TRACE(what);
    check();
  }
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
