// Faults injected through the syscall seam and from the caller's side: /proc
// reads that fail mid-way, segment calls and file locks that fail, a callback
// that throws. Every one must end in a result, with the table lock free and
// no segment removed that others use.
#include <errno.h>
#include <fcntl.h>

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/hx_sys.h"
#include "tests/throttling/t2_test_util.h"

namespace {

using t2test::Params;

// The fault in force: calls of the faked entries fail with this errno, the
// first `failures` of them (-1: all).
int g_errno = 0;
int g_failures = 0;
bool Fails() {
  if (g_failures == 0) return false;
  if (g_failures > 0) --g_failures;
  return true;
}
ssize_t FailingRead(int fd, void* buffer, size_t size) {
  if (Fails()) {
    errno = g_errno;
    return -1;
  }
  return read(fd, buffer, size);
}
void* FailingShmat(int id, const void* address, int flags) {
  if (Fails()) {
    errno = g_errno;
    return reinterpret_cast<void*>(-1);
  }
  return shmat(id, address, flags);
}
int FailingShmget(key_t key, size_t size, int flags) {
  if (Fails()) {
    errno = g_errno;
    return -1;
  }
  return shmget(key, size, flags);
}
int FailingFcntlLock(int fd, int command, struct flock* lock) {
  if (Fails()) {
    errno = g_errno;
    return -1;
  }
  return fcntl(fd, command, lock);
}

// Restores the real calls however the test ends.
struct SeamReset {
  ~SeamReset() {
    HxSysReset();
    g_failures = 0;
  }
};

// Whether another thread can take the named mutex within ms.
bool LockFreeWithin(const std::string& name, long ms) {
  int result = -9;
  std::thread other([&] {
    CError error;
    CNamedMutex mutex(name.c_str(), error, true);
    result = mutex.lock(ms, true);
    if (result == 0) mutex.unlock();
  });
  other.join();
  return result == 0;
}

class FaultTest : public t2test::T2Fixture {
 protected:
  std::string MutexName() const { return inst_.focus() + "_HX_THROTTLE_CLOUD_MUTEX_OUT"; }
  std::string KeyFile() const { return t1test::KeyFile(inst_, "_HX_THROTTLE_CLOUD_SHMEM_OUT"); }
  SeamReset reset_;
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
    uint64_t ticks = 0;
    timespec start{};
    EXPECT_EQ(MDProcess(getppid()).getStartTicks(ticks), c.readable);
    if (c.readable) {
      EXPECT_EQ(ticks, realTicks);
    }
    g_failures = c.failures;
    EXPECT_EQ(MDProcess(getpid()).getRunningProcessStartTime(start), c.readable);

    // Registration and its clean-up pass read /proc throughout.
    g_failures = c.failures;
    _TMSRegParams p = Params(1);
    const unsigned long long h = m_.RegisterStream(p);
    ASSERT_NE(h, kTMInvalidHandle);
    EXPECT_EQ(TMOwnerMark(Stream(h)), c.readable ? realTicks + 1 : 0u);
    ForcedPass();  // an owner whose start cannot be read counts as alive
    EXPECT_EQ(Rate(h), 0u);
    EXPECT_TRUE(LockFreeWithin(MutexName(), 100));
    HxSysReset();
    EXPECT_EQ(m_.UnregisterStream(h), 0);
  }
}

TEST_F(FaultTest, FailedAttachNeverRemovesATableInUse) {
  const int id = t1test::SegmentOf(KeyFile());
  ASSERT_GE(id, 0);
  _TMSRegParams p = Params(3);
  const unsigned long long h = m_.RegisterStream(p);
  struct Case {
    const char* what;
    std::function<void()> inject;
  };
  const Case cases[] = {
      {"shmat ENOMEM", [] { HxSys()->shmat = FailingShmat, g_errno = ENOMEM; }},
      {"shmget ENOSPC", [] { HxSys()->shmget = FailingShmget, g_errno = ENOSPC; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A second process-local manager of the same table (a 32-bit job process
    // short of address space, say) fails to attach.
    t2test::Manager late(&env_);
    c.inject();
    g_failures = -1;
    EXPECT_EQ(late.Initialize(inst_.focus().c_str(), 5, kTMKindCloudOutbound), -1);
    HxSysReset();
    EXPECT_EQ(t1test::SegmentOf(KeyFile()), id);
    EXPECT_TRUE(LockFreeWithin(MutexName(), 100));
    EXPECT_EQ(Rate(h), 0u);  // the table still serves its users
  }

  // Where the failing call created the segment itself, it removes it.
  t2test::Manager other(&env_);
  HxSys()->shmat = FailingShmat;
  g_errno = ENOMEM;
  g_failures = -1;
  EXPECT_EQ(other.Initialize(inst_.focus().c_str(), 5, kTMKindCloudInbound), -1);
  HxSysReset();
  EXPECT_EQ(t1test::SegmentOf(t1test::KeyFile(inst_, "_HX_THROTTLE_CLOUD_SHMEM_IN")), -1);
  EXPECT_EQ(m_.UnregisterStream(h), 0);
}

// Every operation fails with its failure result, touching no output, both on
// a manager that was never initialised and when the file lock fails; and
// afterwards nothing is held.
TEST_F(FaultTest, EveryOperationFailsWhenTheLockCannotBeHad) {
  _TMSRegParams p = Params(1);
  const unsigned long long h = m_.RegisterStream(p);
  auto runAll = [&](CHxThrottlingManager& m) {
    unsigned int value = 17;
    unsigned long long total = 5;
    std::vector<_TMAllJobStreamInfo> jobs;
    _TMStats stats;
    _TMSRegParams q = Params(2);
    EXPECT_EQ(m.RegisterStream(q), kTMInvalidHandle);
    EXPECT_EQ(m.GetThroughputRate(h, 0, value), -1);
    EXPECT_EQ(m.SetComputerMaxThroghput(5), -1);
    EXPECT_EQ(m.SetJobMaxThroghput(1, 5), -1);
    EXPECT_EQ(m.GetComputerThroughput(value), -1);
    EXPECT_EQ(m.UnregisterStream(h), -1);
    EXPECT_EQ(m.UpdateStreamStats(h, stats), -1);
    EXPECT_EQ(m.GetDataSizeInfo(total, jobs), -1);
    EXPECT_EQ(m.EnumerateJobsInfo(nullptr, nullptr, 1), -1);
    EXPECT_EQ(m.SnapshotJobsInfo(nullptr, nullptr), -1);
    EXPECT_FALSE(m.Lock());
    EXPECT_EQ(value, 17u);
    EXPECT_EQ(total, 5u);
  };
  {
    SCOPED_TRACE("never initialised");
    CHxThrottlingManager never;
    runAll(never);
    EXPECT_EQ(never.Uninitialize(), 0);
  }
  {
    // The file-lock kind of the table lock takes an fcntl lock on every
    // outermost lock; the shared-word kind only to announce its process.
    SCOPED_TRACE("file lock fails");
    setenv("HX_NAMED_MUTEX", "fcntl", 1);
    t2test::Manager fileLocked(&env_);
    ASSERT_EQ(fileLocked.Initialize(inst_.focus().c_str(), 5, kTMKindCloudInbound), 0);
    HxSys()->fcntlLock = FailingFcntlLock;
    g_errno = ENOLCK;
    g_failures = -1;
    runAll(fileLocked);
    EXPECT_EQ(fileLocked.Uninitialize(), -1);  // stays attached
    t2test::Manager late(&env_);
    EXPECT_EQ(late.Initialize(inst_.focus().c_str(), 5, kTMKindCloudInbound), -1);
    HxSysReset();
    unsetenv("HX_NAMED_MUTEX");
    EXPECT_EQ(fileLocked.Uninitialize(), 0);
  }
  EXPECT_TRUE(LockFreeWithin(MutexName(), 100));
  EXPECT_EQ(Rate(h), 0u);
  EXPECT_TRUE(LogCount("Cannot lock mutex") > 0);
  EXPECT_EQ(m_.UnregisterStream(h), 0);
}

TEST_F(FaultTest, ThrowingCallbackEndsTheWalkWithTheLockFree) {
  struct Thrower : IEnumerateJobInfoCallback {
    int calls = 0;
    int OnThrottelingInfo(void*, _TMJobInfo*, _TMStreamInfo*, unsigned int) override {
      ++calls;
      throw std::runtime_error("callback fault");
    }
  } thrower;
  _TMSRegParams p1 = Params(1), p2 = Params(2);
  const unsigned long long a = m_.RegisterStream(p1), b = m_.RegisterStream(p2);
  EXPECT_EQ(m_.EnumerateJobsInfo(nullptr, &thrower, 1), -1);
  EXPECT_EQ(m_.SnapshotJobsInfo(nullptr, &thrower), -1);
  EXPECT_EQ(thrower.calls, 2);
  EXPECT_TRUE(LockFreeWithin(MutexName(), 100));
  EXPECT_EQ(LogCount("[ERROR] failed on an exception: callback fault"), 2u);
  EXPECT_EQ(m_.UnregisterStream(a), 0);
  EXPECT_EQ(m_.UnregisterStream(b), 0);
}

// The caller's 0x2 is the table's own unresponsive mark: taken as given, the
// stream would be counted twice and halve its job's per-stream rate.
TEST_F(FaultTest, CallersUnresponsiveFlagIsNotTaken) {
  ASSERT_EQ(m_.SetComputerMaxThroghput(900), 0);
  _TMSRegParams marked = Params(1, 1, 0, kTMStreamUnresponsive | 0x10);
  _TMSRegParams plain = Params(1, 2);
  const unsigned long long a = m_.RegisterStream(marked), b = m_.RegisterStream(plain);
  EXPECT_EQ(Stream(a).Flags, kTMStreamInUse | 0x10u);
  EXPECT_EQ(Rate(a), 450u);
  EXPECT_EQ(Rate(a), 450u);
  EXPECT_EQ(Job(a).ActiveThrottStreamCount, 2u);
  EXPECT_EQ(m_.UnregisterStream(a), 0);
  EXPECT_EQ(m_.UnregisterStream(b), 0);
}

}  // namespace
