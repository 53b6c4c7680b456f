// Job and stream slots: the allocation-table discipline, the records written
// at reservation and cleared at release, and refusal of corrupted tables.
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "tests/common/test_env.h"
#include "tests/throttling/table_test_util.h"

namespace {

using t1test::TestManager;

class SlotsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 3, kTMKindOutbound), 0);
    ASSERT_TRUE(m_.Lock());
    t_ = m_.table();
  }
  void TearDown() override {
    m_.Unlock();
    EXPECT_EQ(m_.Uninitialize(), 0);
  }
  int AddStream(int job, unsigned int uid, unsigned int flags = 0) {
    char name[] = "host";
    return m_.ReserveStreamIndex(job, uid, t_->Jobs[job].JobID, 100 + uid, flags, 1, name);
  }
  size_t LogCount(const std::string& text) { return t1test::LogTexts(inst_, text).size(); }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  TestManager m_{&env_};
  _TMThrottleTable* t_ = nullptr;
};

TEST_F(SlotsTest, ReleaseFoldsStreamIntoJobAndLastStreamReleasesJob) {
  const int job = m_.ReserveJobIndex(5, 0);
  ASSERT_EQ(m_.ReserveJobIndex(6, 0), 1);
  const int a = AddStream(job, 1);
  const int b = AddStream(job, 2, 0x4);
  const int c = AddStream(job, 3);
  const int d = AddStream(job, 4);
  _TMJobRecord& j = t_->Jobs[job];
  j.Streams[a].SizeProcessed = 1000;
  j.Streams[a].LastStats.ReadSize = 0xFFFFFFFFFFFFFFF0ULL;
  j.Streams[a].LastStats.ReadTime = 7;
  j.Streams[a].LastStats.JobType = 9;
  j.Streams[c].SizeProcessed = 234;
  j.Streams[c].LastStats.ReadSize = 0x20;
  j.Streams[c].LastStats.SIDBLookupTime = 5;
  j.Streams[c].Flags |= kTMStreamUnresponsive;
  j.ActiveThrottStreamCount = 2;  // as the clean-up pass leaves it after marking c

  EXPECT_EQ(m_.UnreserveStreamIndex(job, a, 1), 0);
  EXPECT_TRUE(t1test::AllZero(&j.Streams[a], sizeof(_TMStreamRecord)));
  EXPECT_EQ(j.ActiveThrottStreamCount, 1u);
  EXPECT_EQ(j.StreamAT[0], static_cast<uint32_t>(d)) << "the last stream moved into the gap";
  EXPECT_EQ(j.Streams[d].StreamOldATIdx, 0u);
  EXPECT_EQ(t1test::U64(j.JobSizeProcessed), 1000u);
  EXPECT_EQ(t1test::U64(j.JobStats.ReadSize), 0xFFFFFFFFFFFFFFF0ULL);
  EXPECT_EQ(j.JobStats.ReadTime, 7u);
  EXPECT_EQ(j.JobStats.JobType, 0u) << "the type word is not summed";
  EXPECT_EQ(m_.UnreserveStreamIndex(job, a, 1), 0) << "a free slot is a silent no-op";

  EXPECT_EQ(m_.UnreserveStreamIndex(job, b, 2), 0);
  EXPECT_EQ(j.ActiveThrottStreamCount, 1u) << "flag 0x4 was never counted";
  EXPECT_EQ(m_.UnreserveStreamIndex(job, c, 3), 0);
  EXPECT_EQ(j.ActiveThrottStreamCount, 1u) << "an unresponsive stream was already uncounted";
  EXPECT_EQ(t1test::U64(j.JobSizeProcessed), 1234u);
  EXPECT_EQ(t1test::U64(j.JobStats.ReadSize), 0x10u) << "u64 sums wrap";
  EXPECT_EQ(j.JobStats.SIDBLookupTime, 5u);
  EXPECT_EQ(j.ActiveStreamCount, 1u);
  EXPECT_EQ(t_->JobATIndex, 2u);

  EXPECT_EQ(m_.UnreserveStreamIndex(job, d, 4), 0);
  // The job left with its last stream, its totals with it.
  EXPECT_TRUE(t1test::AllZero(&t_->Jobs[job], sizeof(_TMJobRecord)));
  EXPECT_EQ(t_->JobATIndex, 1u);
  EXPECT_EQ(t_->ActiveJobCount, 1u);
  EXPECT_EQ(t_->JobAT[0], 1u);
  EXPECT_EQ(t_->JobAT[1], static_cast<uint32_t>(job));
  EXPECT_EQ(t_->Jobs[1].JobOldATIdx, 0u);
}

// Random reservations and releases, checked after every step against a model
// that knows only which slots were handed out.
TEST_F(SlotsTest, RandomSequencesKeepTheInvariants) {
  struct ModelJob {
    unsigned int id;
    std::map<int, unsigned int> streams;  // slot -> unique id
    unsigned int throttled = 0;
  };
  std::map<int, ModelJob> jobs;  // slot -> job
  unsigned int nextJobId = 1, nextUid = 1;
  int lastReleasedJob = -1;
  std::map<int, int> lastReleasedStream;  // job slot -> stream slot

  auto checkAllocation = [](const uint32_t* at, uint32_t count, const std::set<int>& inUse,
                            bool full) {
    std::set<int> prefix(at, at + count);
    EXPECT_EQ(prefix, inUse);
    if (full) {
      std::vector<uint32_t> sorted(at, at + 512);
      std::sort(sorted.begin(), sorted.end());
      for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(sorted[i], i) << "not a permutation";
    }
  };
  auto check = [&](int step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const bool full = step % 64 == 0;
    std::set<int> jobSlots;
    for (const auto& kv : jobs) jobSlots.insert(kv.first);
    ASSERT_EQ(t_->JobATIndex, jobs.size());
    ASSERT_EQ(t_->ActiveJobCount, jobs.size());
    checkAllocation(t_->JobAT, t_->JobATIndex, jobSlots, full);
    for (const auto& kv : jobs) {
      const _TMJobRecord& j = t_->Jobs[kv.first];
      ASSERT_EQ(t_->JobAT[j.JobOldATIdx], static_cast<uint32_t>(kv.first));
      ASSERT_EQ(m_.GetJobIndex(kv.second.id), kv.first);
      ASSERT_EQ(j.StreamATIndex, kv.second.streams.size());
      ASSERT_EQ(j.ActiveStreamCount, kv.second.streams.size());
      ASSERT_EQ(j.ActiveThrottStreamCount, kv.second.throttled);
      std::set<int> streamSlots;
      for (const auto& s : kv.second.streams) {
        streamSlots.insert(s.first);
        ASSERT_EQ(j.StreamAT[j.Streams[s.first].StreamOldATIdx], static_cast<uint32_t>(s.first));
        ASSERT_EQ(j.Streams[s.first].UniqueID, s.second);
      }
      checkAllocation(j.StreamAT, j.StreamATIndex, streamSlots, full);
    }
  };

  std::mt19937 rng(20261206);
  for (int step = 1; step <= 3000 && !HasFatalFailure(); ++step) {
    const unsigned int action = rng() % 10;
    if (action < 2 || jobs.empty()) {
      // A new job (sometimes one that only holds a limit, with no stream yet).
      const unsigned int id = nextJobId++;
      const int slot = m_.ReserveJobIndex(static_cast<int>(id), rng() % 3 == 0 ? 500 : 0);
      if (jobs.size() == 512) {
        ASSERT_EQ(slot, -1);
        continue;
      }
      ASSERT_GE(slot, 0);
      ASSERT_EQ(jobs.count(slot), 0u);
      if (lastReleasedJob >= 0) {
        ASSERT_EQ(slot, lastReleasedJob) << "last released, first reused";
      }
      lastReleasedJob = -1;
      lastReleasedStream.erase(slot);
      jobs[slot] = ModelJob{id, {}, 0};
    } else if (action < 6) {
      auto it = std::next(jobs.begin(), static_cast<long>(rng() % jobs.size()));
      const unsigned int flags = rng() % 4 == 0 ? kTMStreamNotThrottled : 0;
      const unsigned int uid = nextUid++;
      std::string name = "h";
      const int s = m_.ReserveStreamIndex(it->first, uid, it->second.id, 0, flags, 0, &name[0]);
      ASSERT_GE(s, 0);
      ASSERT_EQ(it->second.streams.count(s), 0u);
      auto last = lastReleasedStream.find(it->first);
      if (last != lastReleasedStream.end()) {
        ASSERT_EQ(s, last->second) << "last released, first reused";
        lastReleasedStream.erase(last);
      }
      it->second.streams[s] = uid;
      if (flags == 0) it->second.throttled++;
    } else {
      auto it = std::next(jobs.begin(), static_cast<long>(rng() % jobs.size()));
      const int jobSlot = it->first;
      if (it->second.streams.empty()) {
        ASSERT_EQ(m_.UnReserveJobIndex(jobSlot), 0);
        jobs.erase(it);
        lastReleasedJob = jobSlot;
        ASSERT_TRUE(t1test::AllZero(&t_->Jobs[jobSlot], sizeof(_TMJobRecord)));
      } else {
        auto s = std::next(it->second.streams.begin(),
                           static_cast<long>(rng() % it->second.streams.size()));
        const int streamSlot = s->first;
        const bool throttled =
            (t_->Jobs[jobSlot].Streams[streamSlot].Flags & kTMStreamNotThrottled) == 0;
        ASSERT_EQ(m_.UnreserveStreamIndex(jobSlot, streamSlot, s->second), 0);
        ASSERT_TRUE(
            t1test::AllZero(&t_->Jobs[jobSlot].Streams[streamSlot], sizeof(_TMStreamRecord)));
        if (throttled) it->second.throttled--;
        it->second.streams.erase(s);
        lastReleasedStream[jobSlot] = streamSlot;
        if (it->second.streams.empty()) {
          // The last stream takes its job with it.
          jobs.erase(it);
          lastReleasedJob = jobSlot;
          lastReleasedStream.erase(jobSlot);
          ASSERT_TRUE(t1test::AllZero(&t_->Jobs[jobSlot], sizeof(_TMJobRecord)));
        }
      }
    }
    check(step);
  }
}

// The segment is writable by any process: impossible counts, entries and
// back-indices must be refused or worked around, and logged, never followed
// outside the table.
TEST_F(SlotsTest, CorruptedCountsAndEntriesAreRefused) {
  // Counts at or past the end.
  t_->JobATIndex = 0xFFFFFFFFu;
  EXPECT_EQ(m_.ReserveJobIndex(1, 0), -1);
  t_->JobATIndex = 0;
  t_->ActiveJobCount = 100000;
  EXPECT_EQ(m_.GetJobIndex(12345), -1);
  EXPECT_EQ(LogCount("GetJobIndex(): [ERROR] ActiveJobCount 100000 out of range; using 512"), 1u);
  t_->ActiveJobCount = 0;

  // An allocation-table entry that is no slot number.
  t_->JobAT[0] = 70000;
  EXPECT_EQ(m_.ReserveJobIndex(1, 0), -1);
  EXPECT_EQ(LogCount("ReserveJobIndex(): [ERROR] JobAT[0] holds invalid job slot 70000"), 1u);
  EXPECT_EQ(t_->JobATIndex, 0u);
  t_->JobAT[0] = 0;

  // A free position naming a slot in use would merge two jobs.
  ASSERT_EQ(m_.ReserveJobIndex(1, 0), 0);
  t_->JobAT[1] = 0;
  EXPECT_EQ(m_.ReserveJobIndex(2, 0), -1);
  EXPECT_EQ(t_->Jobs[0].JobID, 1u);
  EXPECT_EQ(t_->JobATIndex, 1u);
  t_->JobAT[1] = 1;

  // Streams: count, entry, duplicate.
  _TMJobRecord& j = t_->Jobs[0];
  j.StreamATIndex = 600;
  EXPECT_EQ(AddStream(0, 1), -1);
  j.StreamATIndex = 0;
  j.StreamAT[0] = 0x80000000u;
  EXPECT_EQ(AddStream(0, 1), -1);
  EXPECT_EQ(LogCount("StreamAT[0] of job slot 0 holds invalid stream slot 2147483648"), 1u);
  j.StreamAT[0] = 0;
  ASSERT_EQ(AddStream(0, 1), 0);
  j.StreamAT[1] = 0;
  EXPECT_EQ(AddStream(0, 2), -1);
  EXPECT_EQ(j.Streams[0].UniqueID, 1u);
  j.StreamAT[1] = 1;
  EXPECT_EQ(j.ActiveStreamCount, 1u);

  // Slot arguments past the end.
  EXPECT_EQ(m_.UnreserveStreamIndex(0, 512, 1), -1);
  EXPECT_EQ(m_.UnreserveStreamIndex(512, 0, 1), -1);
  EXPECT_EQ(m_.UnReserveJobIndex(-1), -1);
}

TEST_F(SlotsTest, CorruptedBackIndicesAreRepairedOnRelease) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(m_.ReserveJobIndex(10 + i, 0), i);
  t_->Jobs[0].JobOldATIdx = 9999;
  EXPECT_EQ(m_.UnReserveJobIndex(0), 0);
  EXPECT_EQ(LogCount("job slot 0: JobOldATIdx 9999 does not name its position"), 1u);
  EXPECT_EQ(t_->JobATIndex, 2u);
  EXPECT_EQ(t_->JobAT[0], 2u);
  EXPECT_EQ(t_->JobAT[1], 1u);
  EXPECT_EQ(t_->JobAT[2], 0u);
  EXPECT_EQ(t_->Jobs[2].JobOldATIdx, 0u);

  const int job = 1;
  ASSERT_EQ(AddStream(job, 1), 0);
  ASSERT_EQ(AddStream(job, 2), 1);
  ASSERT_EQ(AddStream(job, 3), 2);
  t_->Jobs[job].Streams[1].StreamOldATIdx = 0;  // names stream 0's position
  EXPECT_EQ(m_.UnreserveStreamIndex(job, 1, 2), 0);
  EXPECT_EQ(t_->Jobs[job].StreamATIndex, 2u);
  EXPECT_EQ(t_->Jobs[job].StreamAT[0], 0u) << "stream 0 must not be moved out";
  EXPECT_EQ(t_->Jobs[job].StreamAT[1], 2u);
  EXPECT_EQ(t_->Jobs[job].Streams[2].StreamOldATIdx, 1u);

  // Flagged in use but not among the streams in use: freed, counts kept.
  _TMStreamRecord& ghost = t_->Jobs[job].Streams[100];
  ghost.Flags = kTMStreamInUse;
  ghost.UniqueID = 55;
  EXPECT_EQ(m_.UnreserveStreamIndex(job, 100, 55), -1);
  EXPECT_TRUE(t1test::AllZero(&ghost, sizeof(ghost)));
  EXPECT_EQ(t_->Jobs[job].ActiveStreamCount, 2u);

  // A job flagged in use while the table counts none: freed without
  // underflowing the count.
  t_->Jobs[400].Flags = kTMJobInUse;
  EXPECT_EQ(m_.UnReserveJobIndex(400), 0);
  EXPECT_EQ(t_->JobATIndex, 2u);
  EXPECT_TRUE(t1test::AllZero(&t_->Jobs[400], sizeof(_TMJobRecord)));
}

}  // namespace
