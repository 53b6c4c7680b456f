// The named mutex between threads, forked processes and programs of both
// ABIs, in both kinds (shared word and fcntl file lock).
#include "platform/named_mutex.h"

#include <grp.h>

#include <fstream>

#include "tests/platform/platform_test_util.h"

namespace {

// The parameter is the process-wide switch (set before the test's mutex "M"
// is made), so helper processes use the same kind as the test.
class NamedMutexTest : public plattest::PlatformTest, public ::testing::WithParamInterface<const char*> {
 protected:
  ~NamedMutexTest() override { unsetenv("HX_NAMED_MUTEX"); }
  bool shared() const { return std::string(GetParam()) == "futex"; }
  // Whether another process takes name at once: 0, 2 when it is held, else
  // another failure.
  static int TakesAtOnce(const char* name) {
    return plattest::InChild([name] {
      CError e;
      CNamedMutex m(name, e, true);
      const int r = m.lock(0, false);
      return r == 0 ? (m.unlock() == 0 ? 0 : 3) : -r;
    });
  }
  // A process that took "M" and was killed holding it: its pid.
  pid_t KilledHolder() {
    const pid_t holder = fork();
    if (holder == 0) _exit(mutex.lock(-1, true) + pause());
    EXPECT_TRUE(HeldElsewhere());
    kill(holder, SIGKILL);
    EXPECT_EQ(hxtest::WaitExit(holder), 128 + SIGKILL);
    return holder;
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

using R = std::vector<int>;  // results, in the order of the calls

// A holder in another program of either ABI: a try fails at once, a timed lock
// fails when its time runs out, a longer one gets the lock at the release; two
// programs and this process counting under the lock lose no update. The lock
// file is removed first while this process has it open: the new file at the
// path counts.
TEST_P(NamedMutexTest, ProgramsOfBothAbisExcludeEachOtherAndTimedLocksWaitTheirTime) {
  ASSERT_EQ(unlink((CNamedMutex::LockDirectory() + "/M.lock").c_str()), 0);  // never locked: the first lock looks
  const std::string child = hxtest::ChildPath("named_mutex_child"), other = hxtest::OtherAbiChildPath("named_mutex_child");
  for (const std::string& holder : {child, other}) {
    if (holder.empty()) continue;  // the other ABI's build is not configured
    hxtest::WriteFile(Path("counter"), "0");
    const pid_t pid = hxtest::Spawn(holder, {"M", Path("counter"), "1", "1500"});
    ASSERT_TRUE(HeldElsewhere()) << holder;
    EXPECT_EQ(mutex.lock(300, true), -2);
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
  KilledHolder();
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
  // Still to repair, told once per holding; only the holder marks it done.
  EXPECT_EQ((R{mutex.TakeOwnerDied(), mutex.TakeOwnerDied(), TakesAtOnce("M"), mutex.MarkRepaired(), mutex.unlock(), mutex.MarkRepaired()}),
            (R{1, 0, 2, 0, 0, -1}));
  EXPECT_EQ((R{plattest::InChild(toldOnce), TakesAtOnce("M")}), (R{1, 0})) << "repaired";
}

pid_t g_deadPid = 0;     // a killed holder, whose pid (and so slot) a new process gets
pid_t g_newHolder = 0;   // that new process once it holds the lock
int g_heldPipe[2];
CNamedMutex* g_mutex = nullptr;

// What the header promises, for the kind of the parameter: each row does
// something and checks what must follow.
TEST_P(NamedMutexTest, EveryPromiseOfTheHeaderHolds) {
  const std::string dir = CNamedMutex::LockDirectory(), file = dir + "/M.lock";
  const std::vector<std::pair<const char*, std::function<void()>>> promises = {
      {"only the holding thread unlocks, as often as it locked; other threads get -2", [&] {
         EXPECT_LT(mutex.unlock(), 0);
         ASSERT_EQ((R{mutex.lock(-1, true), mutex.lock(0, false)}), (R{0, 0}));
         R other;
         std::thread([&] { other = {mutex.unlock(), mutex.lock(0, false), mutex.lock(50, true)}; }).join();
         EXPECT_EQ(other, (R{-1, -2, -2}));
         EXPECT_EQ(mutex.unlock(), 0);
         EXPECT_EQ(TakesAtOnce("M"), 2) << "one level still held";
         EXPECT_EQ(mutex.unlock(), 0);
         EXPECT_LT(mutex.unlock(), 0);
         EXPECT_EQ(TakesAtOnce("M"), 0);
       }},
      {"objects of one name share the lock; closing one leaves the other working", [&] {
         auto other = std::make_unique<CNamedMutex>("M", error, true);
         EXPECT_EQ((R{other->lock(0, false), mutex.lock(0, false), other->unlock()}), (R{0, 0, 0})) << "the same holder";
         other.reset();
         EXPECT_EQ(TakesAtOnce("M"), 2);
         EXPECT_EQ(mutex.unlock(), 0);
       }},
      {"a holder whose lock was taken over (its liveness wrongly read as dead) is told at unlock", [&] {
         if (!shared()) return;  // file locks are the kernel's
         ASSERT_EQ(mutex.lock(-1, true), 0);
         EXPECT_EQ(plattest::InChild([] {
                     HxSys()->fcntlLock = [](int fd, int command, struct flock* lock) {
                       const int rc = fcntl(fd, command, lock);
                       if (command == F_GETLK) lock->l_type = F_UNLCK;
                       return rc;
                     };
                     CError e;
                     return CNamedMutex("M", e, true).lock(0, false);  // and dies holding it
                   }), 0);
         EXPECT_LT(mutex.unlock(), 0);
       }},
      {"a child made by fork holds nothing of its parent's", [&] {
         ASSERT_EQ(mutex.lock(-1, true), 0);
         EXPECT_EQ(plattest::InChild([&] {
                     const bool refused = mutex.unlock() < 0 && mutex.MarkRepaired() < 0;
                     return refused && TakesAtOnce("M") == 2 && mutex.lock(0, false) == -2 ? 0 : 1;
                   }), 0);
         EXPECT_EQ((R{TakesAtOnce("M"), mutex.unlock()}), (R{2, 0}));
       }},
      {"a removed lock file: holders move to the file at the path and close the old one", [&] {
         const int fds = plattest::CountFds();
         auto moved = std::make_unique<CNamedMutex>("Moved", error, true);
         int go[2];
         char c;
         ASSERT_EQ(pipe(go), 0);
         const pid_t early = fork();  // has the old file open
         if (early == 0) _exit(read(go[0], &c, 1) == 1 && moved->lock(5000, true) == 0 && moved->unlock() == 0 ? 0 : 1);
         EXPECT_EQ(unlink((dir + "/Moved.lock").c_str()), 0);
         ASSERT_EQ(moved->lock(-1, true), 0) << error.GetText();
         EXPECT_EQ((R{TakesAtOnce("Moved"), moved->unlock(), static_cast<int>(write(go[1], "g", 1))}), (R{2, 0, 1}));
         EXPECT_EQ(hxtest::WaitExit(early), 0) << "the old file's lock was left held";
         close(go[0]);
         close(go[1]);
         EXPECT_EQ((moved.reset(), plattest::CountFds()), fds) << "the old file left open";
       }},
      {"a lock file replaced by one that cannot be opened fails every lock until it can", [&] {
         CNamedMutex replaced("Replaced", error, true);
         const std::string path = dir + "/Replaced.lock";
         ASSERT_EQ((R{unlink(path.c_str()), symlink(Path("victim").c_str(), path.c_str())}), (R{0, 0}));
         EXPECT_EQ((R{replaced.lock(-1, true), replaced.lock(-1, true), replaced.lock(-1, true)}), (R{-1, -1, -1}));
         EXPECT_NE(access(Path("victim").c_str(), F_OK), 0) << "nothing created through the link";
         ASSERT_EQ(unlink(path.c_str()), 0);
         EXPECT_EQ((R{replaced.lock(-1, true), replaced.unlock()}), (R{0, 0})) << error.GetText();
       }},
      {"a lock file of another magic or format is refused and left as it is; a new one is stamped", [&] {
         const std::string path = dir + "/Format.lock";
         ASSERT_EQ(TakesAtOnce("Format"), 0);
         const std::string stamped = hxtest::ReadFile(path);
         ASSERT_GE(stamped.size(), 16u);
         for (const size_t flip : {0, 12, 16}) {  // a byte of the magic, of the format, none
           std::string content = stamped;
           content[flip] ^= flip < 16;
           hxtest::WriteFile(path, content);
           CNamedMutex m("Format", error, true);
           const bool ok = flip == 16, refused = std::string(error.GetText()).find("of another format") != std::string::npos;
           EXPECT_EQ((R{m.lock(0, false), refused, ok || hxtest::ReadFile(path) == content}), (R{ok ? 0 : -1, !ok, 1})) << error.GetText();
           if (ok) m.unlock();
         }
       }},
      {"a lock file shrunk between two locks kills nobody", [&] {
         EXPECT_EQ(plattest::InChild([&] {
                     const R results = {mutex.lock(-1, true), mutex.unlock(), truncate(file.c_str(), 0), mutex.lock(-1, true), mutex.unlock()};
                     return results == R(5, 0) ? 0 : 1;
                   }), 0);
       }},
      {"a dead holder's slot taken anew between the liveness check and the exchange stays taken", [&] {
         if (!shared() || geteuid() != 0) return;  // choosing the next pid needs root
         g_mutex = &mutex;
         g_deadPid = KilledHolder();
         ASSERT_EQ(pipe(g_heldPipe), 0);
         HxSys()->fcntlLock = [](int fd, int command, struct flock* lock) {
           const int rc = fcntl(fd, command, lock);
           for (int i = 0; command == F_GETLK && g_newHolder == 0 && i < 50; ++i) {  // now a new process takes the slot
             hxtest::WriteFile("/proc/sys/kernel/ns_last_pid", std::to_string(g_deadPid - 1));
             const pid_t p = fork();
             if (p == 0 && getpid() == g_deadPid && g_mutex->lock(-1, true) == 0 && write(g_heldPipe[1], "h", 1) == 1) pause();
             if (p == 0) _exit(0);
             char c;
             g_newHolder = p == g_deadPid && read(g_heldPipe[0], &c, 1) == 1 ? p : (hxtest::WaitExit(p), 0);
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
// refused, and so is every lock through them.
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
  EXPECT_EQ(chmod(dir.c_str(), 0755), 0);
}

// Segments process pid created that still exist.
int SegmentsOf(pid_t pid) {
  std::ifstream in("/proc/sysvipc/shm");
  int count = 0;
  for (long key, id, perms, size, cpid; in.ignore(1 << 12, '\n') >> key >> id >> perms >> size >> cpid;) count += cpid == pid;
  return count;
}

// A failing or short system call on the lock file makes lock() fail with an
// error, or leaves it working where the call is not needed (the shared word
// writes nothing; a failed liveness byte or segment falls back to file locks
// and says so) or made again (interrupted); either way no lock stays held, no descriptor or segment is
// left, and the lock works once the call does.
TEST_P(NamedMutexTest, FailingFileCallsFailCleanly) {
  const struct {
    const char* call;
    void (*inject)();
    R futex, fcntl;  // lock(), kind() == kShared
  } rows[] = {
      {"pread", [] { HxSys()->pread = [](int, void*, size_t, off_t) -> ssize_t { return errno = EIO, -1; }; }, {-1, 0}, {-1, 0}},
      {"short pread", [] { HxSys()->pread = [](int fd, void* b, size_t n, off_t o) { return pread(fd, b, n / 32, o); }; }, {-1, 0}, {-1, 0}},
      {"pwrite (a full disk)", [] { HxSys()->pwrite = [](int, const void*, size_t, off_t) -> ssize_t { return errno = ENOSPC, -1; }; }, {0, 1}, {-1, 0}},
      {"short pwrite", [] { HxSys()->pwrite = [](int fd, const void* b, size_t n, off_t o) { return pwrite(fd, b, n / 2, o); }; }, {0, 1}, {-1, 0}},
      {"fstat", [] { HxSys()->fstat = [](int, struct stat*) { return errno = EIO, -1; }; }, {-1, 0}, {-1, 0}},
      {"fcntl", [] { HxSys()->fcntlLock = [](int, int, struct flock*) { return errno = ENOLCK, -1; }; }, {-1, 0}, {-1, 0}},
      {"interrupted fcntl", [] { HxSys()->fcntlLock = [](int fd, int command, struct flock* lock) {
         static int calls = 0; return ++calls % 2 ? (errno = EINTR, -1) : fcntl(fd, command, lock); }; }, {0, 1}, {0, 0}},
  };
  ASSERT_EQ(TakesAtOnce("Fault"), 0);  // the file exists, stamped
  for (const auto& row : rows) {
    SCOPED_TRACE(row.call);
    const R before = {plattest::CountFds(), SegmentsOf(getpid()), 0};
    row.inject();
    auto m = std::make_unique<CNamedMutex>("Fault", error, true);
    const R result = {m->lock(-1, true), m->kind() == CNamedMutex::kShared};
    EXPECT_EQ(result[0] == 0 ? m->unlock() : error.GetCode() != 0 ? 0 : 1, 0) << error.GetText();
    m.reset();
    HxSysReset();
    EXPECT_EQ(result, shared() ? row.futex : row.fcntl) << error.GetText();
    EXPECT_EQ((R{plattest::CountFds(), SegmentsOf(getpid()), TakesAtOnce("Fault")}), before);
  }
  EXPECT_EQ(instance_.LogLinesContaining("using file locks").size(), shared() ? 2u : 0u);
  const pid_t killed = fork();  // leaves its segment behind, which removing the lock file removes
  if (killed == 0) _exit(kill(getpid(), CNamedMutex("Fault", error, true).lock(0, false) == 0 ? SIGKILL : SIGTERM));
  EXPECT_EQ(hxtest::WaitExit(killed), 128 + SIGKILL);
  EXPECT_EQ((R{SegmentsOf(killed), CNamedMutex::RemoveLockFile(CNamedMutex::LockDirectory() + "/Fault.lock"), SegmentsOf(killed)}), (R{shared(), 0, 0}));
}

}  // namespace
