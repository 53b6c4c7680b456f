// Table enumeration and the data-size summary.
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"

namespace {

using t2test::Params;

struct Seen {
  _TMJobInfo job;
  std::vector<_TMStreamInfo> streams;
};

// Collects copies; stops after stopAfter calls (0: never). Checks that the
// callback runs without the table lock, by taking it from another thread.
class Collector : public IEnumerateJobInfoCallback {
 public:
  explicit Collector(CHxThrottlingManager* lockProbe = nullptr) : probe_(lockProbe) {}
  int OnThrottelingInfo(void* context, _TMJobInfo* job, _TMStreamInfo* streams,
                        unsigned int count) override {
    contexts.push_back(context);
    seen.push_back({*job, std::vector<_TMStreamInfo>(streams, streams + count)});
    if (probe_ != nullptr) {
      bool locked = false;
      std::thread t([&] {
        locked = probe_->Lock();
        if (locked) probe_->Unlock();
      });
      t.join();
      lockFreeDuringCallback = lockFreeDuringCallback && locked;
    }
    return (stopAfter != 0 && seen.size() >= stopAfter) ? 1 : 0;
  }
  std::vector<Seen> seen;
  std::vector<void*> contexts;
  size_t stopAfter = 0;
  bool lockFreeDuringCallback = true;

 private:
  CHxThrottlingManager* probe_;
};

class EnumTest : public t2test::T2Fixture {};

TEST_F(EnumTest, EmptyTableAndJobsWithoutStreamsAreNotReported) {
  Collector c;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &c, 1), 0);
  EXPECT_TRUE(c.seen.empty());
  ASSERT_EQ(m_.SetJobMaxThroghput(5, 100), 0);  // a job holding only a limit
  t_->TotalSizeProcessed = 321;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &c, 0), 0);
  EXPECT_TRUE(c.seen.empty());
  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs(3);
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  EXPECT_EQ(total, 321u);
  EXPECT_TRUE(jobs.empty());
}

TEST_F(EnumTest, EachJobIsHandedCopiesOfExactlyItsOwnStreams) {
  ASSERT_EQ(m_.SetComputerMaxThroghput(600), 0);
  std::vector<unsigned long long> a, b;
  for (uint32_t i = 0; i < 2; ++i) {
    _TMSRegParams p = Params(10, 100 + i, 400, 0x30, "alpha");
    p.Type = 5;
    a.push_back(m_.RegisterStream(p));
  }
  for (uint32_t i = 0; i < 3; ++i) {
    _TMSRegParams p = Params(20, 200 + i);
    b.push_back(m_.RegisterStream(p));
  }
  Rate(a[0], 11);
  Rate(a[1], 22);
  Rate(b[2], 33);
  _TMStats r;
  r.ReadSize = 7;
  r.JobType = 12;
  ASSERT_EQ(m_.UpdateStreamStats(a[1], r), 0);

  int context = 0;
  Collector c(&m_);
  ASSERT_EQ(m_.EnumerateJobsInfo(&context, &c, 0), 0);
  EXPECT_TRUE(c.lockFreeDuringCallback);
  ASSERT_EQ(c.seen.size(), 2u);
  for (void* ctx : c.contexts) EXPECT_EQ(ctx, &context);

  const Seen& ja = c.seen[0];
  EXPECT_EQ(ja.job.JobID, 10u);
  EXPECT_EQ(ja.job.ActiveStreamCount, 2u);
  EXPECT_EQ(ja.job.ThrottleMBPH, 400u);
  EXPECT_EQ(ja.job.PerStreamMBPH, 200u);
  EXPECT_EQ(ja.job.StartTime, env_.now);
  EXPECT_EQ(ja.job.LastEnumTime, 0u);
  EXPECT_EQ(ja.job.JobType, 12u);
  ASSERT_EQ(ja.streams.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const _TMStreamInfo& s = ja.streams[i];
    EXPECT_EQ(s.Handle, a[i]);
    EXPECT_EQ(s.JobID, 10u);
    EXPECT_EQ(s.RCID, 100u + i);
    EXPECT_EQ(s.Flags, 0x31u);
    EXPECT_EQ(s.Type[0], 5u);
    EXPECT_EQ(std::string(s.ComputerName), "alpha");
    EXPECT_EQ(s.StartTime, env_.now);
    EXPECT_EQ(s.LatUpdateTime, env_.now);
  }
  EXPECT_EQ(uint64_t{ja.streams[0].SizeProcessed}, 11u);
  EXPECT_EQ(uint64_t{ja.streams[1].SizeProcessed}, 22u);
  EXPECT_EQ(uint64_t{ja.streams[1].LastStats.ReadSize}, 7u);
  EXPECT_EQ(uint64_t{ja.streams[1].CurrentStats.ReadSize}, 7u);

  const Seen& jb = c.seen[1];
  EXPECT_EQ(jb.job.JobID, 20u);
  ASSERT_EQ(jb.streams.size(), 3u);
  for (const _TMStreamInfo& s : jb.streams) {
    EXPECT_EQ(t2test::JobSlotOf(s.Handle), t2test::JobSlotOf(b[0]));
  }
  EXPECT_EQ(uint64_t{jb.streams[2].SizeProcessed}, 33u);

  // The summary: per job and in all, including what left the table.
  ASSERT_EQ(m_.UnregisterStream(a[0]), 0);
  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs;
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].JobID, 10u);
  EXPECT_EQ(jobs[0].ActiveStreamCount, 1u);
  EXPECT_EQ(uint64_t{jobs[0].SizeProcessed}, 33u);  // 11 unregistered + 22 current
  EXPECT_EQ(jobs[1].JobID, 20u);
  EXPECT_EQ(uint64_t{jobs[1].SizeProcessed}, 33u);
  EXPECT_EQ(total, 66u);
}

TEST_F(EnumTest, ResetAndLastEnumTimeMakeConsecutiveIntervals) {
  _TMSRegParams p = Params(1);
  const unsigned long long h = m_.RegisterStream(p);
  _TMStats r;
  r.ReadSize = 100;
  r.WriteTime = 4;
  r.JobType = 3;
  ASSERT_EQ(m_.UpdateStreamStats(h, r), 0);
  Stream(h).CurrentStats.JobType = 55;  // never touched by the reset

  const uint32_t first = env_.now;
  Collector plain;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &plain, 0), 0);
  EXPECT_EQ(uint64_t{Stream(h).CurrentStats.ReadSize}, 100u);  // option 0 keeps the interval

  env_.now = first + 60;
  Collector c1;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &c1, 0x1 | 0x100), 0);
  ASSERT_EQ(c1.seen.size(), 1u);
  EXPECT_EQ(c1.seen[0].job.LastEnumTime, first);
  EXPECT_EQ(uint64_t{c1.seen[0].streams[0].CurrentStats.ReadSize}, 100u);  // taken before the reset
  EXPECT_EQ(c1.seen[0].streams[0].CurrentStats.WriteTime, 4u);
  EXPECT_EQ(uint64_t{Stream(h).CurrentStats.ReadSize}, 0u);
  EXPECT_EQ(Stream(h).CurrentStats.WriteTime, 0u);
  EXPECT_EQ(Stream(h).CurrentStats.JobType, 55u);

  env_.now = first + 120;
  Collector c2;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &c2, 0x1), 0);
  EXPECT_EQ(c2.seen[0].job.LastEnumTime, first + 60);
  EXPECT_EQ(uint64_t{c2.seen[0].streams[0].CurrentStats.ReadSize}, 0u);
  EXPECT_EQ(uint64_t{c2.seen[0].streams[0].LastStats.ReadSize}, 100u);
  EXPECT_EQ(Job(h).LastEnumTime, first + 120);
}

TEST_F(EnumTest, CallbackThatStopsEndsTheWalkAfterEveryResetWasDone) {
  std::vector<unsigned long long> h;
  for (uint32_t j = 1; j <= 3; ++j) {
    _TMSRegParams p = Params(j);
    h.push_back(m_.RegisterStream(p));
    _TMStats r;
    r.ReadSize = j;
    ASSERT_EQ(m_.UpdateStreamStats(h.back(), r), 0);
  }
  Collector c;
  c.stopAfter = 1;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &c, 1), 0);
  EXPECT_EQ(c.seen.size(), 1u);
  for (auto x : h) EXPECT_EQ(uint64_t{Stream(x).CurrentStats.ReadSize}, 0u);
}

TEST_F(EnumTest, PositionNamingAFreeSlotIsReportedWithTheTableAndStillCopied) {
  _TMSRegParams p = Params(1);
  const unsigned long long h = m_.RegisterStream(p);
  // A second position in use that names a slot holding no stream, and a third
  // that names no slot at all.
  Job(h).ActiveStreamCount = 3;
  Job(h).StreamATIndex = 3;
  Job(h).StreamAT[1] = 9;
  Job(h).StreamAT[2] = 0xFFFFFFF0u;
  inst_.ClearLog();
  Collector c;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &c, 1), 0);
  ASSERT_EQ(c.seen.size(), 1u);
  ASSERT_EQ(c.seen[0].streams.size(), 3u);
  EXPECT_EQ(c.seen[0].streams[0].Handle, h);
  EXPECT_EQ(c.seen[0].streams[1].StartTime, 0u);
  EXPECT_EQ(c.seen[0].streams[1].Handle, 0x0000000900000000ULL);
  EXPECT_EQ(c.seen[0].streams[2].Handle, 0u);
  EXPECT_EQ(LogCount("[0] [1]============================= [ERROR] ====="), 1u);
  EXPECT_EQ(LogCount("[0] [2]============================= [ERROR] ====="), 1u);
  EXPECT_GE(LogCount("StreamAt\t\t\t\t- "), 2u);  // the whole table, each time

  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs;
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].ActiveStreamCount, 3u);

  Job(h).ActiveStreamCount = 1;
  Job(h).StreamATIndex = 1;
  Job(h).StreamAT[1] = 1;
  Job(h).StreamAT[2] = 2;
}

}  // namespace
