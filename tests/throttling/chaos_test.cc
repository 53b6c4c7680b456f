// Fault injection with real processes: job processes of both ABIs doing every
// operation on one table while a killer sends SIGKILL to workers and their
// owners (often inside the table lock); and a writer of random bytes into a
// live table. Afterwards the lock is free, one registration's clean-up leaves
// nothing of the dead, the raw table passes the independent invariant check,
// no process that was not killed ended abnormally, and the last detach
// removes the segment. HX_CHAOS_SECONDS and HX_CORRUPTIONS lengthen the runs.
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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
  return close != std::string::npos &&
                 sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2
             ? ppid
             : -1;
}

class ChaosTest : public ::testing::Test {
 protected:
  // A chaos_child owner process with its workers.
  struct Owner {
    std::unique_ptr<thrtest::Child> child;
    bool otherAbi = false, killed = false;
    std::vector<pid_t> Workers() const {
      std::vector<pid_t> w;
      for (const std::string& line : child->LinesStarting("worker "))
        w.push_back(atoi(line.c_str() + 7));
      return w;
    }
  };
  std::string KeyFile() const { return thrtest::KeyFile(inst_, "_HX_THROTTLE_SHMEM_OUT"); }
  std::string Stop() const { return inst_.root() + "/stop"; }

  void StartOwner(bool otherAbi, const char* mode) {
    const std::string program =
        otherAbi ? hxtest::OtherAbiChildPath("chaos_child") : hxtest::ChildPath("chaos_child");
    owners_.push_back(
        {std::make_unique<thrtest::Child>(
             program, std::vector<std::string>{mode, "2", Stop(), std::to_string(owners_.size())},
             inst_.root()),
         otherAbi, false});
  }

  // Lets every process end, then: owners not killed exited 0 and reported no
  // worker's abnormal end, and every worker not killed said it ended cleanly
  // (workers of killed owners end when they see their owner gone).
  void StopAllAndExpectNoAbnormalEnd() {
    thrtest::Touch(Stop());
    for (Owner& o : owners_) {
      EXPECT_TRUE(o.killed || o.child->Wait() == 0) << "owner " << o.child->pid();
    }
    for (const Owner& o : owners_) {
      for (const std::string& line : o.child->LinesStarting("abnormal")) ADD_FAILURE() << line;
      for (const std::string& line : o.child->LinesStarting("unexpected")) ADD_FAILURE() << line;
      for (pid_t w : o.Workers()) {
        const std::string clean = "clean " + std::to_string(w);
        bool said = killedWorkers_.count(w) != 0;
        for (int i = 0; i < 6000 && !said; ++i, usleep(10000)) {
          const std::vector<std::string> lines = o.child->LinesStarting("clean ");
          said = std::find(lines.begin(), lines.end(), clean) != lines.end();
        }
        EXPECT_TRUE(said) << "worker " << w << " was not killed and did not end cleanly";
      }
    }
  }

  // The lock is free at once; one registration's clean-up leaves nothing of a
  // dead owner and the raw table sound; the last detach removes the segment.
  void ExpectCleanTableAndNoSegmentLeft(thrtest::Manager& m) {
    EXPECT_TRUE(thrtest::LockFreeWithin(inst_.focus() + "_HX_THROTTLE_MUTEX_OUT", 100));
    _TMSRegParams p = thrtest::Params(999);
    const unsigned long long h = m.RegisterStream(p);
    ASSERT_NE(h, kTMInvalidHandle);
    EXPECT_EQ(m.UnregisterStream(h), 0);
    {
      thrtest::Peek peek(KeyFile());
      ASSERT_TRUE(peek.ok());
      EXPECT_EQ(t1test::TableViolations(*peek.table(), {true}), std::vector<std::string>{});
      for (const _TMJobRecord& job : peek.table()->Jobs) {
        for (const _TMStreamRecord& s : job.Streams) {
          if ((job.Flags & kTMJobInUse) != 0 && (s.Flags & kTMStreamInUse) != 0) {
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
  const bool both_ = !hxtest::OtherAbiChildPath("chaos_child").empty();
  std::mt19937 rng_{static_cast<unsigned int>(getpid())};
};

TEST_F(ChaosTest, KilledJobProcessesAndOwnersNeverHurtTheSurvivors) {
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
         thrtest::LogCount(inst_, "CheckAndRepairTable(): [ERROR]"));
  EXPECT_GT(kills[0], 0);
  EXPECT_TRUE(!both_ || kills[1] > 0);
  thrtest::Manager m;
  ASSERT_EQ(m.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  ExpectCleanTableAndNoSegmentLeft(m);
}

TEST_F(ChaosTest, RandomBytesWrittenIntoALiveTableCrashNobody) {
  for (int i = 0; i < 3; ++i) StartOwner(both_ && i == 1, "loose");
  // The writer attaches the table as any process of the machine could.
  thrtest::Manager m;
  ASSERT_EQ(m.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  unsigned char* bytes =
      static_cast<unsigned char*>(shmat(thrtest::SegmentOf(KeyFile()), nullptr, 0));
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
  ASSERT_TRUE(m.Lock());
  m.CheckAndRepairTable("test");
  m.Unlock();
  ExpectCleanTableAndNoSegmentLeft(m);
}

}  // namespace
