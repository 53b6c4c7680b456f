// Stream removal and the clean-up pass, in one process, with time moved on a
// fake clock: silence marks and removes, dead and reused processes, the
// spacing of rate-limited passes, a clock stepped back, stale handles.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"

namespace {

using t2test::Params;

class CleanupTest : public t2test::T2Fixture {
 protected:
  // The pid of a process that has exited and been reaped.
  static pid_t DeadPid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
  }
  // Reserves a stream directly (as a registration would, without its pass).
  unsigned long long Reserve(int jobSlot, uint32_t flags = 0) {
    EXPECT_TRUE(m_.Lock());
    const uint32_t id = ++t_->UniqueID;
    char name[] = "direct";
    const int s = m_.ReserveStreamIndex(jobSlot, id, t_->Jobs[jobSlot].JobID, 0, flags, 0, name);
    m_.Unlock();
    EXPECT_GE(s, 0);
    return m_.GetHandle(static_cast<unsigned int>(jobSlot), static_cast<unsigned int>(s), id);
  }
  bool Registered(unsigned long long h) {
    const _TMStreamRecord& s = Stream(h);
    return (s.Flags & kTMStreamInUse) != 0 && s.UniqueID == static_cast<uint32_t>(h);
  }
};

TEST_F(CleanupTest, SilenceMarksAfter600SecondsAndTheNextQueryCountsBackIn) {
  ASSERT_EQ(m_.SetComputerMaxThroghput(1000), 0);
  _TMSRegParams p = Params(1);
  const unsigned long long a = m_.RegisterStream(p);
  const unsigned long long b = m_.RegisterStream(p);
  const uint32_t start = env_.now;
  EXPECT_EQ(Rate(a), 500u);

  env_.now = start + 600;
  EXPECT_EQ(Rate(b), 500u);
  ForcedPass();
  EXPECT_EQ(Stream(a).Flags & kTMStreamUnresponsive, 0u);

  env_.now = start + 601;
  ForcedPass();
  ForcedPass();
  EXPECT_NE(Stream(a).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(Stream(b).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(Job(a).ActiveThrottStreamCount, 1u);
  EXPECT_EQ(LogCount("CheckAndCleanupStreams(): Marked Unresponsive stream [0][0][1]"), 1u);
  EXPECT_EQ(Rate(b), 1000u);  // the silent stream's share went to the live one

  // Its next query clears the mark and counts it back in, logging once; the
  // share follows at the next recomputation.
  EXPECT_EQ(Rate(a), 1000u);
  EXPECT_EQ(Rate(a), 1000u);
  EXPECT_EQ(Stream(a).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(Job(a).ActiveThrottStreamCount, 2u);
  EXPECT_EQ(LogCount("GetThroughputRate(): UnMarked Unresponsive stream [0][0][1]"), 1u);
  ForcedPass();
  EXPECT_EQ(Rate(a), 500u);
  EXPECT_TRUE(Registered(a));
}

TEST_F(CleanupTest, MarkedStreamIsRemovedAfterMoreThan1800Seconds) {
  _TMSRegParams p = Params(1);
  const unsigned long long a = m_.RegisterStream(p);
  const unsigned long long lanFree = Reserve(static_cast<int>(t2test::JobSlotOf(a)), kTMStreamNotThrottled);
  EXPECT_EQ(Rate(a, 777), 0u);
  const uint32_t last = env_.now;
  EXPECT_EQ(Job(a).ActiveThrottStreamCount, 1u);

  env_.now = last + 601;
  ForcedPass();
  EXPECT_NE(Stream(a).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_NE(Stream(lanFree).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(Job(a).ActiveThrottStreamCount, 0u);  // the LAN-free one was never counted

  env_.now = last + 1800;
  ForcedPass();
  EXPECT_TRUE(Registered(a));
  EXPECT_TRUE(Registered(lanFree));

  env_.now = last + 1801;
  ForcedPass();
  EXPECT_EQ(t_->ActiveJobCount, 0u);
  EXPECT_EQ(uint64_t{t_->TotalSizeProcessed}, 777u);
}

TEST_F(CleanupTest, MarkedStreamWhoseJobIdNoLongerMatchesIsRemovedAtOnce) {
  _TMSRegParams p = Params(1);
  const unsigned long long fresh = m_.RegisterStream(p);
  const unsigned long long silent = m_.RegisterStream(p);
  Stream(fresh).JobID = 999;
  Stream(silent).JobID = 999;
  const uint32_t start = env_.now;
  env_.now = start + 601;
  Rate(fresh);
  ForcedPass();  // marks the silent one
  EXPECT_TRUE(Registered(silent));
  env_.now = start + 602;
  Rate(fresh);
  ForcedPass();
  EXPECT_FALSE(Registered(silent));
  EXPECT_TRUE(Registered(fresh));  // a responsive stream is not judged by its job id
}

TEST_F(CleanupTest, RateLimitedPassRunsNoSoonerThan600SecondsAfterTheLast) {
  _TMSRegParams p = Params(1);
  const unsigned long long a = m_.RegisterStream(p);
  const uint32_t start = env_.now;
  m_.lastCleanupTime() = start + 101;

  env_.now = start + 700;  // 599 s after the last pass
  ASSERT_TRUE(m_.Lock());
  m_.CheckAndCleanupStreams(false);
  m_.RecomputeThroughputs();
  m_.Unlock();
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, nullptr, 0), 0);
  EXPECT_EQ(Stream(a).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(m_.lastCleanupTime(), start + 101);

  env_.now = start + 701;  // 600 s: the enumeration's pass runs
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, nullptr, 0), 0);
  EXPECT_NE(Stream(a).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(m_.lastCleanupTime(), start + 701);
}

// Who owns a stream: the start recorded at registration (clock ticks after
// boot) decides when there is one, whatever the wall clock did; without it
// (an older writer) the owner must not have started after the registration.
TEST_F(CleanupTest, OwnerIsJudgedByItsRecordedStartElseByTheRegistrationTime) {
  const pid_t parent = getppid(), self = getpid(), gone = DeadPid();
  uint64_t parentTicks = 0;
  const uint32_t parentStart = t2test::StartTimeOf(parent);
  const uint32_t selfStart = t2test::StartTimeOf(self);
  if (!MDProcess(parent).getStartTicks(parentTicks) || parentStart == 0 || selfStart == 0) {
    GTEST_SKIP() << "start times cannot be read";
  }
  const uint64_t parentMark = parentTicks + 1;
  struct Case {
    pid_t pid;
    uint64_t mark;
    uint32_t registered;
    bool kept;
  };
  const Case cases[] = {
      {parent, parentMark, parentStart, true},
      // The wall clock was stepped an hour (either way) after the owner started.
      {parent, parentMark, parentStart - 3600, true},
      {parent, parentMark, parentStart + 3600, true},
      {parent, parentMark + 1, parentStart + 10, false},  // the pid now names another process
      {self, 0, selfStart - 1, false},
      {self, 0, selfStart, true},
      {gone, 0, env_.now, false},
      {gone, parentMark, env_.now, false},
  };
  for (bool perStream : {false, true}) {
    SCOPED_TRACE(perStream ? "per stream" : "cached per pass");
    m_.CheckEachStreamProcess = perStream;
    ASSERT_EQ(m_.SetJobMaxThroghput(50, 0), 0);
    const int job = m_.GetJobIndex(50);
    std::vector<unsigned long long> h;
    for (const Case& c : cases) {
      h.push_back(Reserve(job));
      Stream(h.back()).ProcessID = static_cast<uint32_t>(c.pid);
      Stream(h.back()).StartTime = c.registered;
      TMSetOwnerMark(Stream(h.back()), c.mark);
    }
    inst_.ClearLog();
    ForcedPass();
    unsigned int kept = 0;
    for (size_t i = 0; i < h.size(); ++i) {
      EXPECT_EQ(Registered(h[i]), cases[i].kept) << "case " << i;
      if (cases[i].kept) {
        ++kept;
        EXPECT_EQ(m_.UnregisterStream(h[i]), 0);
      }
    }
    EXPECT_EQ(kept, 4u);
    EXPECT_EQ(t_->ActiveJobCount, 0u);
  }
  EXPECT_EQ(LogCount("[proc - " + std::to_string(self) + "] [ptime - " +
                     std::to_string(selfStart) + "] [Reg-time - " + std::to_string(selfStart - 1) +
                     "] Reused"),
            1u);

  // A registration records its owner's start: stamped an hour before the
  // owner started (the clock was behind), it survives the next pass.
  env_.now = parentStart - 3600;
  _TMSRegParams p = Params(1);
  const unsigned long long early = m_.RegisterStream(p);
  EXPECT_EQ(TMOwnerMark(Stream(early)), parentMark);
  env_.now = parentStart - 3590;
  const unsigned long long later = m_.RegisterStream(p);
  EXPECT_TRUE(Registered(early));
  EXPECT_TRUE(Registered(later));
}

TEST_F(CleanupTest, ClockSteppedBackMarksAndRemovesNothing) {
  _TMSRegParams p = Params(1);
  const unsigned long long a = m_.RegisterStream(p);
  const uint32_t start = env_.now;
  env_.now = start + 10;
  Rate(a, 5);

  // The clock goes back 100 s: the stream's times now lie in the future.
  env_.now = start - 90;
  ForcedPass();
  ForcedPass();
  EXPECT_TRUE(Registered(a));
  EXPECT_EQ(Stream(a).Flags & kTMStreamUnresponsive, 0u);
  EXPECT_EQ(LogCount("Marked Unresponsive"), 0u);

  // The pass spacing counts from the step, not from the old reading.
  m_.lastCleanupTime() = start + 10;
  ASSERT_TRUE(m_.Lock());
  m_.CheckAndCleanupStreams(false);
  EXPECT_EQ(m_.lastCleanupTime(), start - 90);
  env_.now = start - 90 + 600;
  m_.CheckAndCleanupStreams(false);
  EXPECT_EQ(m_.lastCleanupTime(), start - 90 + 600);
  m_.Unlock();

  // Silence is measured from the last query once time passes it again.
  env_.now = start + 10 + 601;
  ForcedPass();
  EXPECT_NE(Stream(a).Flags & kTMStreamUnresponsive, 0u);

  // A stream unregistered before its own start time lasted 0 s.
  env_.now = start - 500;
  ASSERT_EQ(m_.UnregisterStream(a), 0);
  EXPECT_EQ(LogCount("[Duration - 0] [Transfered size - 5]"), 1u);
}

TEST_F(CleanupTest, StaleHandleNeverCountsTheSlotsNewerStream) {
  _TMSRegParams p = Params(1, 11);
  const unsigned long long old = m_.RegisterStream(p);
  Rate(old, 1000);
  ASSERT_EQ(m_.UnregisterStream(old), 0);
  EXPECT_EQ(uint64_t{t_->TotalSizeProcessed}, 1000u);
  EXPECT_EQ(t_->ActiveJobCount, 0u);

  _TMSRegParams q = Params(2, 22);
  const unsigned long long newer = m_.RegisterStream(q);
  ASSERT_EQ(newer & 0xFFFFFFFF00000000ULL, old & 0xFFFFFFFF00000000ULL);  // same slots
  Rate(newer, 5000);
  inst_.ClearLog();
  EXPECT_EQ(m_.UnregisterStream(old), 0);
  EXPECT_EQ(uint64_t{t_->TotalSizeProcessed}, 1000u);
  EXPECT_TRUE(Registered(newer));
  EXPECT_EQ(uint64_t{Stream(newer).SizeProcessed}, 5000u);
  EXPECT_EQ(LogCount("[JobID - 0]  [RCID - 0] [Job-idx - 0] [stream-idx - 0] [Uniqe-ID - 1] "
                     "[Duration - 0] [Transfered size - 0]"),
            1u);
  EXPECT_EQ(LogCount("UnreserveStreamIndex(): Unique-ID doesn't match [2] [1]"), 1u);
  EXPECT_EQ(LogCount("UnregisterStream(): [] Unreserve Stream Index has been failed..(-1)"), 1u);

  ASSERT_EQ(m_.UnregisterStream(newer), 0);
  EXPECT_EQ(uint64_t{t_->TotalSizeProcessed}, 6000u);
  EXPECT_EQ(LogCount("[JobID - 2]  [RCID - 22]"), 1u);
  // Unregistering again: the slot is free; nothing is added.
  ASSERT_EQ(m_.UnregisterStream(newer), 0);
  EXPECT_EQ(uint64_t{t_->TotalSizeProcessed}, 6000u);
  // Handles naming impossible slots are refused.
  EXPECT_EQ(m_.UnregisterStream(0x0000FFFF00000001ULL), -1);
  EXPECT_EQ(m_.UnregisterStream(0xFFFF000000000001ULL), -1);
  EXPECT_EQ(LogCount("UnregisterStream(): [ERROR] Invalid Stream-Index 65535"), 1u);
  EXPECT_EQ(LogCount("UnregisterStream(): [ERROR] Invalid Job-Index 65535"), 1u);
}

}  // namespace
