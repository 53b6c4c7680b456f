// Fault injection with real processes: job processes of both ABIs doing every
// operation on one table while a killer sends SIGKILL to workers and their
// owners (often inside the table lock); and a writer of random bytes into a
// live table. Afterwards the lock is free, one registration's clean-up leaves
// nothing of the dead, the raw table passes the independent invariant check,
// no process that was not killed ended abnormally, and the last detach
// removes the segment. HX_CHAOS_SECONDS and HX_CORRUPTIONS lengthen the runs.
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/md_process.h"
#include "tests/throttling/throttling_test_util.h"
#include "tests/throttling/table_invariants.h"

namespace {

long EnvNumber(const char* name, long fallback) {
  const char* v = getenv(name);
  return v != nullptr && *v != '\0' ? strtol(v, nullptr, 10) : fallback;
}

// The parent pid of pid from /proc, or -1.
pid_t ParentOf(pid_t pid) {
  const std::string stat = hxtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  int ppid = -1;
  char state = 0;
  if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) {
    return -1;
  }
  return ppid;
}

// One chaos_child owner process and what it printed.
struct Owner {
  pid_t pid = -1;
  bool otherAbi = false;
  bool killed = false;
  int status = -1;
  std::string out;
  std::vector<pid_t> Workers() const {
    std::vector<pid_t> w;
    for (const std::string& line : Lines("worker ")) w.push_back(atoi(line.c_str() + 7));
    return w;
  }
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> lines;
    size_t pos = 0;
    const std::string text = hxtest::ReadFile(out);
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      if (text.compare(pos, prefix.size(), prefix) == 0) lines.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    return lines;
  }
};

class ChaosTest : public ::testing::Test {
 protected:
  std::string KeyFile() const { return thrtest::KeyFile(inst_, "_HX_THROTTLE_SHMEM_OUT"); }
  std::string Stop() const { return inst_.root() + "/stop"; }

  void StartOwner(bool otherAbi, const char* mode, int workers) {
    Owner o;
    o.otherAbi = otherAbi;
    o.out = inst_.root() + "/owner" + std::to_string(owners_.size()) + ".out";
    const std::string program = otherAbi ? hxtest::OtherAbiChildPath("chaos_child")
                                         : hxtest::ChildPath("chaos_child");
    o.pid = hxtest::Spawn(program,
                          {mode, std::to_string(workers), Stop(), std::to_string(owners_.size())},
                          o.out);
    owners_.push_back(o);
  }

  // Lets every process end: owners see the stop file and wait for their
  // workers; orphaned workers see their owner gone. False when some process
  // is still there after 120 s.
  bool StopAll() {
    thrtest::Touch(Stop());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (Owner& o : owners_) {
      if (o.killed) continue;
      int status = 0;
      while (waitpid(o.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(o.pid, SIGKILL);
          waitpid(o.pid, &status, 0);
          return false;
        }
        usleep(10000);
      }
      o.status = status;
    }
    // Workers of killed owners: no longer our descendants' children, they
    // are waited for by looking (each is checked to be one of ours).
    for (const Owner& o : owners_) {
      for (pid_t w : o.Workers()) {
        while (kill(w, 0) == 0 && ParentOf(w) != -1 && ParentOf(w) != o.pid &&
               o.Lines("clean " + std::to_string(w)).empty() && !killedWorkers_.count(w)) {
          if (std::chrono::steady_clock::now() > deadline) return false;
          usleep(10000);
        }
      }
    }
    return true;
  }

  // Workers that ended by themselves must have said so; owners not killed
  // must have exited 0 without reporting a worker's abnormal end.
  void ExpectNoAbnormalEnd() {
    int abnormal = 0;
    for (const Owner& o : owners_) {
      for (const std::string& line : o.Lines("abnormal")) ADD_FAILURE() << line;
      for (const std::string& line : o.Lines("unexpected")) ADD_FAILURE() << line;
      if (!o.killed) {
        EXPECT_EQ(o.status, 0) << "owner " << o.pid;
      }
      for (pid_t w : o.Workers()) {
        if (killedWorkers_.count(w) == 0 && o.Lines("clean " + std::to_string(w)).empty()) {
          ++abnormal;
        }
      }
    }
    EXPECT_EQ(abnormal, 0) << "workers that were not killed and did not end cleanly";
  }

  // One registration's clean-up, then the raw table: nothing of a dead owner,
  // no job slot without streams that no limit holds, the invariants; then the
  // last detach removes the segment.
  void ExpectCleanTableAndNoSegmentLeft(CHxThrottlingManager& m) {
    _TMSRegParams p = thrtest::Params(999);
    const unsigned long long h = m.RegisterStream(p);
    ASSERT_NE(h, kTMInvalidHandle);
    EXPECT_EQ(m.UnregisterStream(h), 0);
    {
      thrtest::Peek peek(KeyFile());
      ASSERT_TRUE(peek.ok());
      const _TMThrottleTable& t = *peek.table();
      EXPECT_EQ(t1test::TableViolations(t, {true}), std::vector<std::string>{});
      for (const _TMJobRecord& job : t.Jobs) {
        if (job.Flags != kTMJobInUse) continue;
        for (const _TMStreamRecord& s : job.Streams) {
          if ((s.Flags & kTMStreamInUse) != 0) {
            EXPECT_TRUE(MDProcess(s.ProcessID).isAlive()) << "stream of dead owner " << s.ProcessID;
          }
        }
      }
    }
    EXPECT_EQ(m.Uninitialize(), 0);
    EXPECT_EQ(thrtest::SegmentOf(KeyFile()), -1);
  }

  hxtest::TestInstance inst_;
  std::vector<Owner> owners_;
  std::set<pid_t> killedWorkers_;
};

TEST_F(ChaosTest, KilledJobProcessesAndOwnersNeverHurtTheSurvivors) {
  const bool both = !hxtest::OtherAbiChildPath("chaos_child").empty();
  const long seconds = EnvNumber("HX_CHAOS_SECONDS", 10);
  const int kOwners = 4, kWorkers = 2;
  for (int i = 0; i < kOwners; ++i) StartOwner(both && i % 2 == 1, "strict", kWorkers);
  std::mt19937 rng(static_cast<unsigned int>(getpid()));
  std::map<bool, int> kills;  // by ABI: false this one, true the other
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng() % 10));
    Owner& o = owners_[rng() % owners_.size()];
    if (o.killed) continue;
    if (rng() % 6 == 0) {
      kill(o.pid, SIGKILL);
      o.status = hxtest::WaitExit(o.pid);
      o.killed = true;
      ++kills[o.otherAbi];
      StartOwner(o.otherAbi, "strict", kWorkers);
      continue;
    }
    std::vector<pid_t> workers;
    for (pid_t w : o.Workers()) {
      if (killedWorkers_.count(w) == 0) workers.push_back(w);
    }
    if (workers.empty()) continue;
    const pid_t w = workers[rng() % workers.size()];
    // Only a live child of this owner: never a pid that was reused.
    if (ParentOf(w) != o.pid) continue;
    if (kill(w, SIGKILL) == 0) {
      killedWorkers_.insert(w);
      ++kills[o.otherAbi];
    }
  }
  ASSERT_TRUE(StopAll());
  printf("chaos: %d kills (this ABI), %d kills (other ABI), %zu owners, %zu repairs logged\n",
         kills[false], kills[true], owners_.size(),
         thrtest::LogCount(inst_, "CheckAndRepairTable(): [ERROR]"));
  EXPECT_GT(kills[false], 0);
  if (both) {
    EXPECT_GT(kills[true], 0);
  }
  ExpectNoAbnormalEnd();

  // The lock is free at once: a killed holder never wedges it.
  const auto before = std::chrono::steady_clock::now();
  CError error;
  CNamedMutex mutex((inst_.focus() + "_HX_THROTTLE_MUTEX_OUT").c_str(), error, true);
  ASSERT_EQ(mutex.lock(100, true), 0);
  EXPECT_LE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
  mutex.unlock();

  thrtest::Manager m;
  ASSERT_EQ(m.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  ExpectCleanTableAndNoSegmentLeft(m);
}

TEST_F(ChaosTest, RandomBytesWrittenIntoALiveTableCrashNobody) {
  const long corruptions = EnvNumber("HX_CORRUPTIONS", 10000);
  const bool both = !hxtest::OtherAbiChildPath("chaos_child").empty();
  for (int i = 0; i < 3; ++i) StartOwner(both && i == 1, "loose", 2);
  struct Repairer : thrtest::Manager {
    using CHxThrottlingManager::CheckAndRepairTable;
  };
  // The writer attaches the table as any process of the machine could.
  Repairer m;
  ASSERT_EQ(m.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  const int id = thrtest::SegmentOf(KeyFile());
  ASSERT_GE(id, 0);
  unsigned char* bytes = static_cast<unsigned char*>(shmat(id, nullptr, 0));
  ASSERT_NE(bytes, reinterpret_cast<unsigned char*>(-1));
  std::mt19937 rng(static_cast<unsigned int>(getpid()));
  // Mostly where the processes work: the header and the first job slots'
  // counts, allocation tables and first streams.
  for (long i = 0; i < corruptions; ++i) {
    const unsigned int where = rng() % 10;
    uint32_t offset;
    if (where < 3) {
      offset = rng() % kTMHeaderSize;
    } else if (where < 9) {
      const uint32_t job = kTMHeaderSize + (rng() % 8) * kTMJobRecordSize;
      offset = job + rng() % (0x868 + 16 * kTMStreamRecordSize);
    } else {
      offset = rng() % (kTMTableSize - 8);
    }
    const unsigned int length = 1 + rng() % 8;
    for (unsigned int k = 0; k < length && offset + k < kTMTableSize; ++k) {
      bytes[offset + k] = static_cast<unsigned char>(rng());
    }
    if (i % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  shmdt(bytes);
  ASSERT_TRUE(StopAll());
  printf("corruption: %ld corruptions applied\n", corruptions);
  ExpectNoAbnormalEnd();

  // What is left is made sound by the repair pass, then cleaned.
  ASSERT_TRUE(m.Lock());
  m.CheckAndRepairTable("test");
  m.Unlock();
  ExpectCleanTableAndNoSegmentLeft(m);
}

}  // namespace
