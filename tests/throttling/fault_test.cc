// Faults and the table's lifetime in one process: /proc reads, segment calls
// and file locks failing through the syscall seam, a throwing callback,
// refused and repeated Initialize, who removes the segment, the daemon's
// reset, and one manager uninitialised under its own threads (run it under
// TSan). Every fault must end in a failure result, with the table lock free
// and no segment removed that others use.
#include <errno.h>
#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "platform/hx_sys.h"
#include "platform/md_process.h"
#include "platform/sync_point.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

using thrtest::Params;

// The fault in force: the faked entries fail with this errno, the first
// `failures` calls (-1: all).
int g_errno = 0;
int g_failures = 0;
bool Fails() {
  if (g_failures == 0) return false;
  if (g_failures > 0) --g_failures;
  errno = g_errno;
  return true;
}
ssize_t FailingRead(int fd, void* buffer, size_t size) {
  return Fails() ? -1 : read(fd, buffer, size);
}
void* FailingShmat(int id, const void* address, int flags) {
  return Fails() ? reinterpret_cast<void*>(-1) : shmat(id, address, flags);
}
int FailingFcntlLock(int fd, int command, struct flock* lock) {
  return Fails() ? -1 : fcntl(fd, command, lock);
}

// A clock that throws while clockFails is set.
struct FaultyEnv : hxtest::FakeEnv {
  bool clockFails = false;
  uint32_t NowSeconds() override {
    if (clockFails) throw std::runtime_error("clock fault");
    return now;
  }
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.now = static_cast<uint32_t>(time(nullptr));
    // Configuration for the inbound and outbound tables, which cloud tables ignore.
    inst_.SetConfig("Hxd", "ComputerThroughputMBPH", "5000");
    inst_.SetConfig("Hxd", "ThrottleLanFreeSDT", "0");
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 5, kTMKindCloudOutbound), 0);
  }
  void TearDown() override {
    HxSysReset();
    g_failures = 0;
    EXPECT_EQ(m_.Uninitialize(), 0);
  }
  std::string KeyFile(unsigned int kind = kTMKindCloudOutbound) const {
    return hx::TableKeyFile(inst_.jobResultsDir(), inst_.focus(), kind);
  }
  bool LockFree() {
    return thrtest::LockFreeWithin(hx::TableMutexName(inst_.focus(), kTMKindCloudOutbound), 100);
  }
  unsigned long long Register(uint32_t job) {
    _TMSRegParams p = Params(job);
    return m_.RegisterStream(p);
  }
  int Rate(unsigned long long h) {
    unsigned int rate = 0;
    return m_.GetThroughputRate(h, 0, rate);
  }

  hxtest::TestInstance inst_;
  FaultyEnv env_;
  thrtest::Manager m_{&env_};
};

TEST_F(FaultTest, ProcReadsThatFailAreResultsAndLeaveTheLockFree) {
  uint64_t realTicks = 0;
  ASSERT_TRUE(MDProcess(getppid()).getStartTicks(realTicks));
  struct Case {
    int error, failures;
    bool readable;
  };
  // ESRCH: the process exited mid-read; EINTR is retried.
  for (const Case c : {Case{ESRCH, -1, false}, Case{EIO, -1, false}, Case{EINTR, 3, true}}) {
    SCOPED_TRACE(c.error);
    HxSys()->read = FailingRead;
    g_errno = c.error;
    g_failures = c.failures;
    // Registration and its clean-up pass read /proc throughout.
    const unsigned long long h = Register(1);
    ASSERT_NE(h, kTMInvalidHandle);
    const _TMStreamRecord& stream = m_.table()->Jobs[h >> 48].Streams[(h >> 32) & 0xFFFF];
    EXPECT_EQ(TMOwnerMark(stream), c.readable ? realTicks + 1 : 0u);
    ASSERT_TRUE(m_.Lock());
    m_.CheckAndCleanupStreams(true);  // an owner whose start cannot be read counts as alive
    m_.Unlock();
    EXPECT_EQ(Rate(h), 0);
    EXPECT_TRUE(LockFree());
    HxSysReset();
    EXPECT_EQ(m_.UnregisterStream(h), 0);
  }
}

// A manager (a 32-bit job process short of address space, say) that fails
// to attach removes the segment only where it created it: a table in use
// stays and still serves its users.
TEST_F(FaultTest, FailedAttachNeverRemovesATableInUse) {
  const int id = thrtest::TableSegmentOf(KeyFile());
  const unsigned long long h = Register(3);
  for (unsigned int kind : {kTMKindCloudOutbound, kTMKindCloudInbound}) {
    thrtest::Manager late(&env_);
    HxSys()->shmat = FailingShmat;
    g_errno = ENOMEM;
    g_failures = -1;
    EXPECT_EQ(late.Initialize(inst_.focus().c_str(), 5, kind), -1);
    HxSysReset();
    EXPECT_TRUE(LockFree());
  }
  EXPECT_EQ(thrtest::TableSegmentOf(KeyFile()), id);
  EXPECT_EQ(thrtest::TableSegmentOf(KeyFile(kTMKindCloudInbound)), -1);
  EXPECT_EQ(Rate(h), 0);
  EXPECT_EQ(m_.UnregisterStream(h), 0);
}

// Every operation returns its failure result, touches no output and leaves
// nothing held: on a manager never initialised, refused (unknown kind,
// configuration, a key file that is a dangling link) or whose file lock
// fails; and when an exception is thrown inside it -- by the clock, a system
// call or the caller's callback -- which it logs under its own name.
TEST_F(FaultTest, EveryOperationFailsCleanly) {
  const unsigned long long h = Register(1);
  unsigned int value = 17;
  unsigned long long total = 5;
  std::vector<_TMAllJobStreamInfo> jobs;
  _TMStats stats;
  _TMSRegParams q = Params(2);
  using M = CHxThrottlingManager;
  struct Op {
    const char* label;
    bool readsClock;
    std::function<int(M&)> call;
  };
  const Op ops[] = {
      {"RegisterStream()", true, [&](M& m) { return m.RegisterStream(q) == kTMInvalidHandle ? -1 : 0; }},
      {"GetThroughputRate()", true, [&](M& m) { return m.GetThroughputRate(h, 0, value); }},
      {"SetComputerMaxThroghput()", true, [](M& m) { return m.SetComputerMaxThroghput(5); }},
      {"SetJobMaxThroghput()", true, [](M& m) { return m.SetJobMaxThroghput(1, 5); }},
      {"GetComputerThroughput()", false, [&](M& m) { return m.GetComputerThroughput(value); }},
      {"UpdateStreamStats", false, [&](M& m) { return m.UpdateStreamStats(h, stats); }},
      {"GetDataSizeInfo()", false, [&](M& m) { return m.GetDataSizeInfo(total, jobs); }},
      {"EnumerateJobsInfo()", true, [](M& m) { return m.EnumerateJobsInfo(nullptr, nullptr, 1); }},
      {"EnumerateJobsInfo()", true, [](M& m) { return m.SnapshotJobsInfo(nullptr, nullptr); }},
      {"UnregisterStream()", true, [&](M& m) { return m.UnregisterStream(h); }},
  };
  auto runAll = [&](M& m) {
    for (const Op& op : ops) EXPECT_EQ(op.call(m), -1) << op.label;
    EXPECT_FALSE(m.Lock());
    EXPECT_EQ(value, 17u);
    EXPECT_EQ(total, 5u);
  };
  {
    CHxThrottlingManager never;
    runAll(never);
    EXPECT_EQ(never.Uninitialize(), 0);
    EXPECT_EQ(never.Initialize(inst_.focus().c_str(), 1, 5), -1) << "unknown table kind";
    runAll(never);
    inst_.SetConfig("Hxd", "DontUseParallelThrottling", "1");
    EXPECT_EQ(never.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), -1);
    runAll(never);
    inst_.RemoveConfig("Hxd", "DontUseParallelThrottling");
    ASSERT_EQ(symlink("nowhere", KeyFile(kTMKindInbound).c_str()), 0);
    EXPECT_EQ(never.Initialize(inst_.focus().c_str(), 1, kTMKindInbound), -1);
    runAll(never);
    EXPECT_EQ(thrtest::TableSegmentOf(KeyFile(kTMKindOutbound)), -1);
  }
  {
    // The file-lock kind of the table lock takes an fcntl lock on every
    // outermost lock.
    setenv("HX_NAMED_MUTEX", "fcntl", 1);
    thrtest::Manager fileLocked(&env_);
    ASSERT_EQ(fileLocked.Initialize(inst_.focus().c_str(), 5, kTMKindCloudInbound), 0);
    HxSys()->fcntlLock = FailingFcntlLock;
    g_errno = ENOLCK;
    g_failures = -1;
    runAll(fileLocked);
    EXPECT_EQ(fileLocked.Uninitialize(), -1);  // stays attached
    thrtest::Manager late(&env_);
    EXPECT_EQ(late.Initialize(inst_.focus().c_str(), 5, kTMKindCloudInbound), -1);
    HxSysReset();
    unsetenv("HX_NAMED_MUTEX");
    EXPECT_EQ(fileLocked.Uninitialize(), 0);
  }
  EXPECT_GT(inst_.LogLinesContaining("Cannot lock mutex").size(), 0u);

  struct Thrower : IEnumerateJobInfoCallback {
    int OnThrottelingInfo(void*, _TMJobInfo*, _TMStreamInfo*, unsigned int) override {
      throw std::runtime_error("callback fault");
    }
  } thrower;
  thrtest::Manager other(&env_);
  const char* focus = inst_.focus().c_str();
  std::vector<std::tuple<const char*, std::string, std::function<int()>>> thrown = {
      {"EnumerateJobsInfo()", "callback", [&] { return m_.EnumerateJobsInfo(nullptr, &thrower, 1); }},
      {"EnumerateJobsInfo()", "callback", [&] { return m_.SnapshotJobsInfo(nullptr, &thrower); }},
      {"Initialize()", "shmget", [&] { return other.Initialize(focus, 5, kTMKindCloudInbound); }},
  };
  for (const Op& op : ops) if (op.readsClock) thrown.emplace_back(op.label, "clock", [&] { return op.call(m_); });
  thrown.emplace_back("Uninitialize()", "shmctl", [&] { return m_.Uninitialize(); });
  for (const auto& [label, fault, call] : thrown) {
    SCOPED_TRACE(std::string(label) + " " + fault);
    inst_.ClearLog();
    env_.clockFails = fault == "clock";
    if (fault == "shmget") HxSys()->shmget = [](key_t, size_t, int) -> int { throw std::runtime_error("shmget fault"); };
    if (fault == "shmctl") HxSys()->shmctl = [](int, int, shmid_ds*) -> int { throw std::runtime_error("shmctl fault"); };
    EXPECT_EQ(call(), -1);
    env_.clockFails = false;
    HxSysReset();
    EXPECT_EQ(inst_.LogLinesContaining(std::string(label) + ": [ERROR] failed on an exception: " + fault + " fault").size(), 1u);
    EXPECT_TRUE(LockFree());
  }
  EXPECT_EQ(other.Uninitialize(), 0);
}

// A second Initialize of the same table counts nothing; of another table it
// is refused and the first stays attached. The last process attached removes
// the segment, whatever RefCount says: a process killed without Uninitialize
// leaves its count behind, and a foreign writer or a reset can zero it while
// others are attached.
TEST_F(FaultTest, TheAttachCountDecidesWhoIsLast) {
  EXPECT_EQ(m_.table()->ComputerThrottleMBPH, 0u);
  _TMSRegParams lanFree = Params(1, 1, 0, kTMStreamNotThrottled);
  EXPECT_EQ(m_.UnregisterStream(m_.RegisterStream(lanFree)), 0);
  EXPECT_EQ(lanFree.Flags, 0u) << "LAN-free streams of cloud tables are throttled";
  struct Case {
    uint32_t refCount;   // written over the count before Uninitialize
    bool otherAttached;  // another attach (not counted) stays
  };
  for (const Case c : {Case{0, false}, Case{1689, false}, Case{0, true}, Case{2, true}}) {
    SCOPED_TRACE("RefCount " + std::to_string(c.refCount) + (c.otherAttached ? " other" : ""));
    inst_.ClearLog();
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 5, kTMKindCloudOutbound), 0);  // the first: a second one
    EXPECT_EQ(m_.Initialize(inst_.focus().c_str(), 5, kTMKindCloudInbound), -1);
    ASSERT_EQ(m_.table()->RefCount, 1u);
    m_.table()->RefCount = c.refCount;
    void* other = c.otherAttached ? shmat(thrtest::TableSegmentOf(KeyFile()), nullptr, SHM_RDONLY) : nullptr;
    EXPECT_EQ(m_.Uninitialize(), 0);
    EXPECT_EQ(thrtest::TableSegmentOf(KeyFile()) == -1, !c.otherAttached);
    EXPECT_EQ(thrtest::TableSegmentOf(KeyFile(kTMKindCloudInbound)), -1);
    if (other != nullptr) shmdt(other);
    EXPECT_EQ(inst_.LogLinesContaining("[ERROR] RefCount already 0").size(), c.refCount == 0 ? 1u : 0u);
    shmctl(hx::TableSegmentOf(KeyFile()), IPC_RMID, nullptr);
  }
}

// A process that forks is still the last user when it leaves, whatever its
// child does with the manager it inherited: a child that only sleeps or
// uninitialises that copy uses nothing and gives back no count (the segment
// goes with the parent); one that uses it attaches and counts for itself
// (the segment goes with the last of the two).
TEST_F(FaultTest, AForkedChildIsAUserOnlyOnceItUsesTheTable) {
  enum What { kSleeps, kUninitializes, kUses };
  for (const What what : {kSleeps, kUninitializes, kUses}) {
    SCOPED_TRACE(what);
    if (m_.table() == nullptr) {
      ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 5, kTMKindCloudOutbound), 0);
    }
    const unsigned long long h = Register(4);
    int go[2], said[2];
    ASSERT_TRUE(pipe(go) == 0 && pipe(said) == 0);
    const pid_t child = fork();
    if (child == 0) {
      char r = 0;
      if (what == kUninitializes) r = static_cast<char>(m_.Uninitialize() != 0);
      if (what == kUses) r = static_cast<char>(Rate(h) != 0 || m_.UnregisterStream(h) != 0);
      if (write(said[1], &r, 1) != 1 || read(go[0], &r, 1) != 1) _exit(2);
      _exit(m_.Uninitialize() != 0);
    }
    char r = 9;
    EXPECT_TRUE(read(said[0], &r, 1) == 1 && r == 0);
    EXPECT_EQ(m_.table()->RefCount, what == kUses ? 2u : 1u);
    EXPECT_EQ(m_.UnregisterStream(h), 0);
    EXPECT_EQ(m_.Uninitialize(), 0);
    EXPECT_EQ(thrtest::TableSegmentOf(KeyFile()) != -1, what == kUses);
    EXPECT_EQ(write(go[1], "x", 1), 1);
    EXPECT_EQ(hxtest::WaitExit(child), 0);
    EXPECT_EQ(thrtest::TableSegmentOf(KeyFile()), -1);
    shmctl(hx::TableSegmentOf(KeyFile()), IPC_RMID, nullptr);
    for (int fd : {go[0], go[1], said[0], said[1]}) close(fd);
  }
}

// The segment object: bad keys and sizes refused without creating anything;
// a segment of another size (a table of an older layout) replaced by a zeroed
// one while its old users keep their mapping; removal only when asked.
TEST_F(FaultTest, SegmentsOfAnotherSizeAreReplaced) {
  const std::string keyFile = inst_.jobResultsDir() + "/test_key";
  hxtest::WriteFile(keyFile, "");
  const unsigned int key = static_cast<unsigned int>(hx::TableKeyOf(keyFile));
  std::unique_ptr<CHxShMem, void (*)(CHxShMem*)> a(GetCHxShMem(), FreeCHxShMem),
      b(GetCHxShMem(), FreeCHxShMem);
  bool created = false;
  int sysError = 99;
  EXPECT_EQ(a->Connect(0u, 4096u, created, sysError), 2);
  EXPECT_EQ(a->Connect(key, 0u, created, sysError), 2);
  EXPECT_EQ(a->Connect("name", 4096u, created, sysError), -1);
  EXPECT_EQ(thrtest::TableSegmentOf(keyFile), -1) << "nothing may be created";
  ASSERT_EQ(a->Connect(key, 8192u, created, sysError), 0);
  char* first = static_cast<char*>(a->GetMemPointer());
  strcpy(first + 8191 - 4, "kept");
  ASSERT_EQ(b->Connect(key, 16384u, created, sysError), 0);
  EXPECT_TRUE(created);
  EXPECT_EQ(static_cast<char*>(b->GetMemPointer())[8191 - 4], 0);
  EXPECT_STREQ(first + 8191 - 4, "kept");
  EXPECT_EQ(a->Disconnect(false), 0);
  EXPECT_EQ(b->Disconnect(true), 0);
  EXPECT_EQ(thrtest::TableSegmentOf(keyFile), -1);
}

// A job holds 512 streams: the next one is refused. A free position naming
// no valid job slot refuses a new job instead of handing out a slot in use.
TEST_F(FaultTest, FullJobsAndBadFreePositionsRefuseRegistration) {
  ASSERT_NE(Register(9), kTMInvalidHandle);
  m_.table()->JobAT[m_.table()->JobATIndex] = 9999;
  EXPECT_EQ(Register(10), kTMInvalidHandle);
  std::set<int> slots;  // the other 511 without a clean-up pass each
  char name[] = "h";
  ASSERT_TRUE(m_.Lock());
  const int job = m_.GetJobIndex(9);
  for (unsigned int i = 1; i < 512; ++i) slots.insert(m_.ReserveStreamIndex(job, 100 + i, 9, 1, 0, 2, name));
  m_.Unlock();
  EXPECT_TRUE(slots.size() == 511 && *slots.begin() >= 0);
  EXPECT_EQ(Register(9), kTMInvalidHandle);
}

// The daemon's start resets both of its tables in place, keeping the count
// of attached managers and the unique ids; its end detaches them.
TEST_F(FaultTest, DaemonStartResetsTablesKeepingCountAndUniqueId) {
  ASSERT_EQ(m_.Uninitialize(), 0);
  ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 5, kTMKindOutbound), 0);
  _TMThrottleTable& t = *m_.table();
  const unsigned long long h = Register(9);
  ASSERT_TRUE(m_.Lock());
  t.TotalSizeProcessed = 12345;
  t.Jobs[0].Streams[0].LastStats.JobType = 6;  // kept by a reset in place
  m_.Unlock();

  ASSERT_EQ(InitializeThrottlingManagersForHXD(nullptr), 0);
  EXPECT_EQ(t.RefCount, 2u);
  EXPECT_EQ(t.UniqueID, static_cast<uint32_t>(h));
  EXPECT_EQ(uint64_t{t.TotalSizeProcessed}, 0u);
  EXPECT_EQ(t.ActiveJobCount, 0u);
  for (uint32_t i = 0; i < kTMMaxJobs; ++i) {
    ASSERT_EQ(t.JobAT[i], i);
    ASSERT_EQ(t.Jobs[i].StreamAT[511], 511u);
    ASSERT_EQ(t.Jobs[i].Flags, 0u);
  }
  const _TMStreamRecord& s = t.Jobs[0].Streams[0];
  EXPECT_EQ(s.Flags | s.UniqueID | s.StartTime | s.ProcessID, 0u);
  EXPECT_EQ(s.LastStats.JobType, 6u);
  EXPECT_EQ(Rate(h), 2);
  EXPECT_EQ(inst_.LogLinesContaining("HXDInitialize(): Succeeded...").size(), 2u);
  EXPECT_EQ(UnInitializeThrottlingManagersForHXD(), 0);
  EXPECT_EQ(t.RefCount, 1u);
  EXPECT_EQ(thrtest::TableSegmentOf(KeyFile(kTMKindInbound)), -1);
}

// A thread inside the lock that calls an operation (a nested lock) must not
// wait for an Uninitialize queued by another thread: that one waits for it.
// A new outermost Lock() does wait for the queued Uninitialize, and so fails.
TEST_F(FaultTest, NestedLockPassesAndNewLockWaitsForAQueuedUninitialize) {
  ASSERT_TRUE(m_.Lock());
  ASSERT_TRUE(m_.Lock());
  m_.Unlock();
  hxp::ScopedSyncOrder order({{"CHxThrottlingManager::LifeWriter:Announced", "FaultTest:Nested"},
                              {"CHxThrottlingManager::LifeWriter:Announced", "FaultTest:Outer"},
                              {"CHxThrottlingManager::Lock:Outermost", "FaultTest:Unlock"}});
  std::thread other([this] { EXPECT_EQ(m_.Uninitialize(), 0); });
  std::thread outer([this] {
    HX_SYNC_POINT("FaultTest:Outer");
    const bool ahead = m_.Lock();  // of the queued Uninitialize
    EXPECT_FALSE(ahead);
    if (ahead) m_.Unlock();
  });
  HX_SYNC_POINT("FaultTest:Nested");
  EXPECT_NE(Register(1), kTMInvalidHandle);
  HX_SYNC_POINT("FaultTest:Unlock");
  m_.Unlock();
  other.join();
  outer.join();
  EXPECT_EQ(m_.table(), nullptr);
}

// One manager used by several threads while another uninitialises and
// initialises it: every operation either works or fails with its failure
// result, and none touches a table or mutex that is gone.
TEST_F(FaultTest, OneManagerSurvivesUninitializeUnderItsThreads) {
  const std::string focus = inst_.focus();
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, done{0};
  std::vector<std::thread> users;
  for (uint32_t u = 0; u < 3; ++u) {
    users.emplace_back([&, u] {
      while (!stop.load()) {
        const unsigned long long h = Register(1 + u);
        unsigned int rate = 0;
        const int r = m_.GetThroughputRate(h, 1, rate);
        std::vector<_TMAllJobStreamInfo> jobs;
        unsigned long long total = 0;
        const int sized = m_.GetDataSizeInfo(total, jobs);
        const int enumerated = m_.EnumerateJobsInfo(nullptr, nullptr, 1);
        if (r < -1 || r > 2 || r == 1 || sized < -1 || sized > 0 || enumerated < -1 ||
            enumerated > 0 || (h != kTMInvalidHandle && m_.UnregisterStream(h) > 0)) {
          ++bad;
        }
        ++done;
      }
    });
  }
  // Each state change comes after the users made progress in the state before.
  const auto progress = [&done] { for (int from = done; done < from + 3;) std::this_thread::yield(); };
  for (int cycle = 0; cycle < 20; ++cycle) {
    progress();
    EXPECT_EQ(m_.Uninitialize(), 0);
    progress();
    EXPECT_EQ(m_.Initialize(focus.c_str(), 1, kTMKindCloudOutbound), 0);
  }
  stop = true;
  for (std::thread& t : users) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(m_.Uninitialize(), 0);
  EXPECT_EQ(thrtest::TableSegmentOf(KeyFile()), -1);
}

}  // namespace
