// Real processes on one table: a process of the other ABI sharing the table
// and the throughput (each build runs it, so both directions are covered), the
// repair a lock holder killed at any store leaves to the next holder, and
// chaos: job processes of both ABIs doing every operation while a killer sends
// SIGKILL to workers and owners (often inside the lock), or while random bytes
// are written into the live table. Afterwards no stream of a dead owner is
// left and the last process out removes the segment. HX_CHAOS_SECONDS and
// HX_CORRUPTIONS lengthen the chaos.
#include <signal.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <ucontext.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/md_process.h"
#include "tests/throttling/table_invariants.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

using thrtest::Child;
using thrtest::Params;

long EnvNumber(const char* name, long fallback) {
  const char* v = getenv(name);
  return v != nullptr && *v != '\0' ? strtol(v, nullptr, 10) : fallback;
}

// The parent pid of pid from /proc, or -1.
pid_t ParentOf(pid_t pid) {
  const std::string stat = hxtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  char state = 0;
  int ppid = -1;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2
             ? ppid
             : -1;
}

// Kills this process just before its n-th store into [base, base + size):
// the range is read-only, and each write fault lets one instruction through
// (the trap flag stops it) before the range is read-only again.
namespace store_trap {
char *base = nullptr, *open[2] = {nullptr, nullptr};  // a store may span two pages
size_t size = 0;
long left = 0;
const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

void OnWrite(int, siginfo_t* info, void* context) {
  char* at = static_cast<char*>(info->si_addr);
  if (at < base || at >= base + size) return (void)signal(SIGSEGV, SIG_DFL);  // crash on
  if (left-- == 0) kill(getpid(), SIGKILL);
  char* page = base + (at - base) / kPage * kPage;
  mprotect(open[open[0] != nullptr] = page, kPage, PROT_READ | PROT_WRITE);
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] |= 0x100;
}
void OnStep(int, siginfo_t*, void* context) {
  for (char*& page : open) {
    if (page != nullptr) mprotect(page, kPage, PROT_READ);
    page = nullptr;
  }
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] &= ~0x100;
}
void Arm(void* table, size_t bytes, long stores) {
  base = static_cast<char*>(table);
  size = bytes;
  left = stores;
  struct sigaction a = {};
  a.sa_flags = SA_SIGINFO;
  a.sa_sigaction = OnWrite;
  sigaction(SIGSEGV, &a, nullptr);
  a.sa_sigaction = OnStep;
  sigaction(SIGTRAP, &a, nullptr);
  // Pages read in first: a first touch that is a write is not always trapped.
  for (size_t at = 0; at < size && at < 64 * kPage; at += kPage) (void)*(volatile char*)(base + at);
  mprotect(base, size, PROT_READ);
}
}  // namespace store_trap

class ProcessesTest : public ::testing::Test {
 protected:
  // Throttling at 1200 MB/h on the machine; this process attached.
  void Attach() {
    inst_.SetConfig("Hxd", "ComputerThroughputMBPH", "1200");
    inst_.SetConfig("Platform", "DebugLevel", "3");
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  }
  void TearDown() override { EXPECT_EQ(m_.Uninitialize(), 0); }
  std::string F(const std::string& name) const { return inst_.root() + "/" + name; }
  void Go(const std::string& name) const { hxtest::WriteFile(F(name), ""); }
  std::string KeyFile() const { return hx::TableKeyFile(inst_.jobResultsDir(), inst_.focus(), kTMKindOutbound); }
  std::unique_ptr<Child> Start(const std::vector<std::string>& script, bool otherAbi = false) {
    return std::make_unique<Child>(script, inst_.root(), otherAbi);
  }

  // A chaos owner with its workers.
  struct Owner {
    std::unique_ptr<Child> child;
    bool otherAbi = false, killed = false;
    std::vector<pid_t> Workers() const {
      std::vector<pid_t> w;
      for (const std::string& line : child->Lines("worker ")) w.push_back(atoi(line.c_str() + 7));
      return w;
    }
  };
  void StartOwner(bool otherAbi, const char* mode) {
    const std::string seed = std::to_string(owners_.size());
    owners_.push_back({Start({"chaos", mode, "2", F("stop"), seed}, otherAbi), otherAbi});
  }

  // Lets every process end, then: owners not killed exited 0 and reported no
  // worker's abnormal end or unexpected result, and every worker not killed
  // said it ended cleanly (workers of killed owners end when they see it).
  void StopAllAndExpectNoAbnormalEnd() {
    Go("stop");
    for (Owner& o : owners_) EXPECT_TRUE(o.killed || o.child->Wait() == 0) << o.child->pid();
    for (const Owner& o : owners_) {
      for (const std::string& line : o.child->Lines("abnormal")) ADD_FAILURE() << line;
      for (const std::string& line : o.child->Lines("unexpected")) ADD_FAILURE() << line;
      for (pid_t w : o.Workers()) {
        const std::string clean = "clean " + std::to_string(w);
        EXPECT_TRUE(killedWorkers_.count(w) != 0 || hxtest::WaitFor([&] {
          const std::vector<std::string> lines = o.child->Lines("clean ");
          return std::find(lines.begin(), lines.end(), clean) != lines.end();
        })) << "worker " << w << " was not killed and did not end cleanly";
      }
    }
  }

  // The lock is free at once; one registration's clean-up leaves nothing of a
  // dead owner and the raw table sound; the last detach removes the segment.
  void ExpectCleanTableAndNoSegmentLeft() {
    EXPECT_TRUE(thrtest::LockFreeWithin(hx::TableMutexName(inst_.focus(), kTMKindOutbound), 100));
    _TMSRegParams p = Params(999);
    const unsigned long long h = m_.RegisterStream(p);
    ASSERT_NE(h, kTMInvalidHandle);
    EXPECT_EQ(m_.UnregisterStream(h), 0);
    EXPECT_EQ(t1test::TableViolations(*m_.table(), {true}), std::vector<std::string>{});
    for (const _TMJobRecord& job : m_.table()->Jobs) {
      for (const _TMStreamRecord& s : job.Streams) {
        if ((job.Flags & kTMJobInUse) != 0 && (s.Flags & kTMStreamInUse) != 0) {
          EXPECT_TRUE(MDProcess(s.ProcessID).isAlive()) << "stream of dead owner " << s.ProcessID;
        }
      }
    }
    EXPECT_EQ(m_.Uninitialize(), 0);
    EXPECT_EQ(thrtest::TableSegmentOf(KeyFile()), -1);
  }

  hxtest::TestInstance inst_;
  thrtest::Manager m_;
  std::vector<Owner> owners_;
  std::set<pid_t> killedWorkers_;
  const bool both_ = !hxtest::OtherAbiChildPath("job_child").empty();
  std::mt19937 rng_{static_cast<unsigned int>(getpid())};
};

// A job process of the other ABI (of this one where that build is absent)
// on one table with this one: its arrival halves this process's share and its
// departure restores it; this process sees every field of its streams as it
// was written and its bytes, which outlive its streams. The other build runs
// this test too, so each ABI reads what the other wrote.
TEST_F(ProcessesTest, OtherAbiProcessSharesTheTable) {
  Attach();
  _TMSRegParams p = Params(8);
  const unsigned long long mine = m_.RegisterStream(p);
  unsigned int rate = 0;
  ASSERT_EQ(m_.GetThroughputRate(mine, 0x1122334455ULL, rate), 0);
  EXPECT_EQ(rate, 1200u);
  auto c = Start({"reg", "7", "70", "0", "0x10", "@other-abi", "stats", "0", "0x200000002", "1",
                  "2", "3", "4", "5", "6", "7", "9", "rate", "0", "0x998877665545", "wait",
                  F("gox"), "unreg", "0"},
                 both_);
  EXPECT_EQ(c->Line("rate 0"), "rate 0 0 600");
  ASSERT_EQ(m_.GetThroughputRate(mine, 0x1122334455ULL, rate), 0);
  EXPECT_EQ(rate, 600u);

  thrtest::Copies probe;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &probe, 0), 0);
  ASSERT_EQ(probe.jobs.size(), 2u);
  const auto& theirs = probe.jobs[1];
  EXPECT_EQ(theirs.first.JobID, 7u);
  EXPECT_EQ(theirs.first.PerStreamMBPH, 600u);
  EXPECT_EQ(theirs.first.JobType, 9u);
  ASSERT_EQ(theirs.second.size(), 1u);
  const _TMStreamInfo& ts = theirs.second[0];
  EXPECT_EQ(uint64_t{ts.SizeProcessed}, 0x998877665545ULL);
  EXPECT_EQ(ts.RCID, 70u);
  EXPECT_EQ(ts.Flags, 0x11u);
  EXPECT_EQ(std::string(ts.ComputerName), "other-abi");
  EXPECT_EQ(uint64_t{ts.LastStats.ReadSize}, 0x200000002ULL);
  EXPECT_EQ(ts.LastStats.SIDBLookupTime, 7u);
  EXPECT_EQ(uint64_t{ts.CurrentStats.NetworkSize}, 1u);
  unsigned long long theirHandle = 0;
  ASSERT_EQ(sscanf(c->Line("reg 0").c_str(), "reg 0 %llx", &theirHandle), 1);
  EXPECT_EQ(ts.Handle, theirHandle);

  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs;
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  EXPECT_EQ(total, 0x1122334455ULL + 0x998877665545ULL);
  EXPECT_EQ(jobs.size(), 2u);
  Go("gox");
  EXPECT_EQ(c->Wait(), 0);
  EXPECT_EQ(c->Line("unreg 0"), "unreg 0 0");
  ASSERT_EQ(m_.GetThroughputRate(mine, 0x1122334455ULL, rate), 0);
  EXPECT_EQ(rate, 1200u);
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  EXPECT_EQ(total, 0x1122334455ULL + 0x998877665545ULL);
  EXPECT_EQ(jobs.size(), 1u);
  EXPECT_EQ(m_.UnregisterStream(mine), 0);
}

// A timetable change a few seconds ahead (the zone is shifted by seconds so
// that it falls on a minute): job processes of both ABIs that only query see
// the new machine limit within a second of it, with no registration, attach
// or daemon after it.
TEST_F(ProcessesTest, ScheduledChangeReachesProcessesThatOnlyQuery) {
  const int64_t boundary = time(nullptr) + 8;
  const int shift = static_cast<int>((60 - boundary % 60) % 60);  // local = UTC + shift s
  const char* oldTz = getenv("TZ");
  const std::string savedTz = oldTz ? oldTz : "";
  char tz[32];
  snprintf(tz, sizeof(tz), "HXT-00:00:%02d", shift);
  setenv("TZ", tz, 1);
  const int minute = static_cast<int>((boundary + shift) % 86400 / 60);
  auto hhmm = [](int m) {
    char text[8];
    snprintf(text, sizeof(text), "%02d:%02d", m / 60 % 24, m % 60);
    return std::string(text);
  };
  inst_.SetConfig("Hxd", "ThroughputSchedule",
                  hhmm((minute + 1440 - 30) % 1440) + ",555 " + hhmm(minute) + ",777:888");
  Attach();
  const std::string until = std::to_string(boundary + 2);
  std::unique_ptr<Child> children[] = {Start({"reg", "5", "1", "0", "0", "watch", "0", until}),
                                       Start({"reg", "6", "1", "0", "0", "watch", "0", until}, both_)};
  for (auto& c : children) {
    EXPECT_EQ(c->Wait(), 0);
    const std::vector<std::string> lines = c->Lines("limit ");
    ASSERT_EQ(lines.size(), 2u) << "started after the change, or saw another limit";
    unsigned int before = 0, after = 0;
    long long seenMs = 0;
    ASSERT_EQ(sscanf(lines[0].c_str(), "limit %u", &before), 1);
    ASSERT_EQ(sscanf(lines[1].c_str(), "limit %u %lld", &after, &seenMs), 2);
    EXPECT_EQ(before, 555u);
    EXPECT_EQ(after, 777u);
    const long long delayMs = seenMs - boundary * 1000;
    printf("scheduled change seen %lld ms after it\n", delayMs);
    EXPECT_TRUE(delayMs >= 0 && delayMs < 1000) << delayMs;
  }
  if (oldTz) setenv("TZ", savedTz.c_str(), 1); else unsetenv("TZ");
}

// A holder killed at each store of an unregistration in turn: the next
// holder repairs the table (once per death), and after that and the stream's
// unregistration, when it is still there, its bytes and statistics count
// exactly once in the table and in its job.
TEST_F(ProcessesTest, AHolderKilledAtAnyStoreOfAnUnregistrationCountsTheStreamOnce) {
  Attach();
  _TMSRegParams p = Params(40);
  ASSERT_NE(m_.RegisterStream(p), kTMInvalidHandle);  // keeps the job
  _TMStats stats;
  stats.ReadSize = 0x300000003ULL;
  stats.SIDBLookupTime = 7;
  stats.JobType = 2;
  const uint64_t bytes = 0x123456789ULL;
  const _TMThrottleTable& t = *m_.table();
  const _TMJobRecord& job = t.Jobs[m_.GetJobIndex(40)];
  long store = 0, kills = 0, missed = 0;
  inst_.ClearLog();
  bool done = false;
  while (!done && store < 3000 && missed < 20 && !HasFailure()) {
    const unsigned long long h = m_.RegisterStream(p);
    unsigned int rate = 0;
    ASSERT_EQ(m_.GetThroughputRate(h, bytes, rate), 0);
    ASSERT_EQ(m_.UpdateStreamStats(h, stats), 0);
    const uint64_t total = t.TotalSizeProcessed, jobSize = job.JobSizeProcessed;
    const uint64_t read = job.JobStats.ReadSize, lookups = job.JobStats.SIDBLookupTime;
    const pid_t holder = fork();
    if (holder == 0) {
      thrtest::Manager own;
      if (own.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound) != 0) _exit(3);
      store_trap::Arm(own.table(), kTMTableSize, store);
      const int r = own.UnregisterStream(h);
      _exit(r != 0 ? 4 : store_trap::left != 0 ? 5 : 0);  // 5: stores not trapped
    }
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ASSERT_TRUE(killed || code == 0 || code == 5) << status;
    done = code == 0;
    kills += killed;
    missed += code == 5;  // the same instant again
    ASSERT_TRUE(m_.Lock());  // the repair, where the holder died inside
    m_.Unlock();
    SCOPED_TRACE("killed before store " + std::to_string(store));
    const _TMStreamRecord& kept = job.Streams[(h >> 32) & 0xFFFF];
    EXPECT_TRUE((kept.Flags & kTMStreamInUse) == 0 || strcmp(kept.ComputerName, "host") == 0);
    EXPECT_EQ(m_.UnregisterStream(h), 0);
    EXPECT_EQ(uint64_t{t.TotalSizeProcessed}, total + bytes);
    EXPECT_EQ(uint64_t{job.JobSizeProcessed}, jobSize + bytes);
    EXPECT_EQ(uint64_t{job.JobStats.ReadSize}, read + stats.ReadSize);
    EXPECT_EQ(job.JobStats.SIDBLookupTime, lookups + stats.SIDBLookupTime);
    EXPECT_EQ(job.ActiveStreamCount, 1u);
    EXPECT_EQ(t1test::TableViolations(t, {true}), std::vector<std::string>{});
    store += killed;
  }
  EXPECT_GT(store, 20) << "stores of an unregistration";
  EXPECT_TRUE(done);
  EXPECT_EQ(inst_.LogLinesContaining("(the previous lock holder died)").size(), size_t(kills));
}

// No process that was not killed ends abnormally or sees an unexpected
// result, and the dead leave nothing behind.
TEST_F(ProcessesTest, KilledJobProcessesAndOwnersNeverHurtTheSurvivors) {
  for (int i = 0; i < 4; ++i) StartOwner(both_ && i % 2 == 1, "strict");
  int kills[2] = {0, 0};  // this ABI, the other
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::seconds(EnvNumber("HX_CHAOS_SECONDS", 10));
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng_() % 10));
    Owner& o = owners_[rng_() % owners_.size()];
    if (o.killed) continue;
    if (rng_() % 6 == 0) {
      o.child->Kill();
      o.killed = true;
      ++kills[o.otherAbi];
      StartOwner(o.otherAbi, "strict");
      continue;
    }
    std::vector<pid_t> workers = o.Workers();
    if (workers.empty()) continue;
    const pid_t w = workers[rng_() % workers.size()];
    // Only a live child of this owner: never a pid that was reused.
    if (killedWorkers_.count(w) == 0 && ParentOf(w) == o.child->pid() && kill(w, SIGKILL) == 0) {
      killedWorkers_.insert(w);
      ++kills[o.otherAbi];
    }
  }
  StopAllAndExpectNoAbnormalEnd();
  printf("chaos: %d kills (this ABI), %d kills (other ABI), %zu owners, %zu repairs logged\n",
         kills[0], kills[1], owners_.size(),
         inst_.LogLinesContaining("CheckAndRepairTable(): [ERROR]").size());
  EXPECT_GT(kills[0], 0);
  EXPECT_TRUE(!both_ || kills[1] > 0);
  ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  ExpectCleanTableAndNoSegmentLeft();
}

TEST_F(ProcessesTest, RandomBytesWrittenIntoALiveTableCrashNobody) {
  for (int i = 0; i < 3; ++i) StartOwner(both_ && i == 1, "loose");
  // The writer attaches the table as any process of the machine could.
  ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  unsigned char* bytes =
      static_cast<unsigned char*>(shmat(thrtest::TableSegmentOf(KeyFile()), nullptr, 0));
  ASSERT_NE(bytes, reinterpret_cast<unsigned char*>(-1));
  // Mostly where the processes work: the header and the first job slots'
  // counts, allocation tables and first streams.
  const long corruptions = EnvNumber("HX_CORRUPTIONS", 10000);
  for (long i = 0; i < corruptions; ++i) {
    const unsigned int where = rng_() % 10;
    uint32_t offset = rng_() % (kTMTableSize - 8);
    if (where < 3) {
      offset = rng_() % kTMHeaderSize;
    } else if (where < 9) {
      offset = kTMHeaderSize + (rng_() % 8) * kTMJobRecordSize +
               rng_() % (0x868 + 16 * kTMStreamRecordSize);
    }
    for (unsigned int k = 1 + rng_() % 8; k-- > 0;)
      bytes[offset + k] = static_cast<unsigned char>(rng_());
    if (i % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  shmdt(bytes);
  StopAllAndExpectNoAbnormalEnd();
  // What is left is made sound by the repair pass, then cleaned.
  ASSERT_TRUE(m_.Lock());
  m_.CheckAndRepairTable("test");
  m_.Unlock();
  ExpectCleanTableAndNoSegmentLeft();
}

}  // namespace
