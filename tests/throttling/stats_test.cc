// Stream statistics: reports of running totals accumulate by difference into
// the current interval, the enumeration's reset starts a new interval, and
// finished streams fold into their job's totals.
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"

namespace {

using t2test::Params;

_TMStats Report(uint64_t read, uint32_t readTime, uint32_t jobType = 0) {
  _TMStats s;
  s.ReadSize = read;
  s.NetworkSize = read * 2;
  s.WriteSize = read * 3;
  s.SIDBLookupSamples = read / 10;
  s.ReadTime = readTime;
  s.WriteTime = readTime * 2;
  s.NetworkTime = readTime * 3;
  s.SIDBLookupTime = readTime * 4;
  s.JobType = jobType;
  return s;
}

void ExpectCounters(const _TMStats& s, uint64_t read, uint32_t readTime) {
  EXPECT_EQ(uint64_t{s.ReadSize}, read);
  EXPECT_EQ(uint64_t{s.NetworkSize}, read * 2);
  EXPECT_EQ(uint64_t{s.WriteSize}, read * 3);
  EXPECT_EQ(uint64_t{s.SIDBLookupSamples}, read / 10);
  EXPECT_EQ(s.ReadTime, readTime);
  EXPECT_EQ(s.WriteTime, readTime * 2);
  EXPECT_EQ(s.NetworkTime, readTime * 3);
  EXPECT_EQ(s.SIDBLookupTime, readTime * 4);
}

class StatsTest : public t2test::T2Fixture {};

TEST_F(StatsTest, ReportsAccumulateByDifferenceAndResetStartsANewInterval) {
  _TMSRegParams p = Params(1);
  const unsigned long long h = m_.RegisterStream(p);
  _TMStats first = Report(1000, 10, 6);
  ASSERT_EQ(m_.UpdateStreamStats(h, first), 0);
  ExpectCounters(Stream(h).CurrentStats, 1000, 10);
  EXPECT_EQ(Stream(h).LastStats.JobType, 6u);
  EXPECT_EQ(Stream(h).CurrentStats.JobType, 0u);  // never accumulated
  EXPECT_EQ(Job(h).JobType, 6u);

  _TMStats second = Report(1500, 12, 9);
  ASSERT_EQ(m_.UpdateStreamStats(h, second), 0);
  ExpectCounters(Stream(h).CurrentStats, 1500, 12);
  EXPECT_EQ(Job(h).JobType, 6u);  // the first non-zero type stays
  ASSERT_EQ(m_.UpdateStreamStats(h, second), 0);  // same totals: nothing added
  ExpectCounters(Stream(h).CurrentStats, 1500, 12);
  ExpectCounters(Stream(h).LastStats, 1500, 12);

  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, nullptr, 0x1), 0);
  ExpectCounters(Stream(h).CurrentStats, 0, 0);
  _TMStats third = Report(1800, 20);
  ASSERT_EQ(m_.UpdateStreamStats(h, third), 0);
  ExpectCounters(Stream(h).CurrentStats, 300, 8);
  EXPECT_EQ(Stream(h).LastStats.JobType, 0u);  // the last report as received
  // A report that goes backwards wraps in each field's own width:
  // 300 + (1700 - 1800) is 200 again.
  _TMStats down = Report(1700, 18);
  ASSERT_EQ(m_.UpdateStreamStats(h, down), 0);
  ExpectCounters(Stream(h).CurrentStats, 200, 6);
  // Nothing else of the stream moves with a report.
  EXPECT_EQ(uint64_t{Stream(h).SizeProcessed}, 0u);
  EXPECT_EQ(Stream(h).LatUpdateTime, env_.now);
}

TEST_F(StatsTest, FinishedStreamsFoldIntoTheirJobsTotals) {
  _TMSRegParams p = Params(4);
  const unsigned long long a = m_.RegisterStream(p);
  const unsigned long long b = m_.RegisterStream(p);
  const unsigned long long c = m_.RegisterStream(p);
  _TMStats ra = Report(1000, 10), rb = Report(20, 1), rc = Report(5, 5);
  ASSERT_EQ(m_.UpdateStreamStats(a, ra), 0);
  ASSERT_EQ(m_.UpdateStreamStats(b, rb), 0);
  ASSERT_EQ(m_.UpdateStreamStats(c, rc), 0);
  ASSERT_EQ(m_.UnregisterStream(a), 0);
  ASSERT_EQ(m_.UnregisterStream(b), 0);
  ExpectCounters(Job(c).JobStats, 1020, 11);
  EXPECT_EQ(Job(c).JobStats.JobType, 0u);
}

TEST_F(StatsTest, StaleAndImpossibleHandlesStoreNothing) {
  _TMSRegParams p = Params(1);
  const unsigned long long old = m_.RegisterStream(p);
  ASSERT_EQ(m_.UnregisterStream(old), 0);
  const unsigned long long newer = m_.RegisterStream(p);
  _TMStats r = Report(50, 5, 3);
  EXPECT_EQ(m_.UpdateStreamStats(old, r), 2);
  ExpectCounters(Stream(newer).CurrentStats, 0, 0);
  ExpectCounters(Stream(newer).LastStats, 0, 0);
  EXPECT_EQ(Job(newer).JobType, 0u);

  EXPECT_EQ(m_.UpdateStreamStats(0x0200000000000001ULL, r), -1);
  EXPECT_EQ(m_.UpdateStreamStats(0x0000020000000001ULL, r), -1);
  EXPECT_EQ(LogCount("CHxThrottlingManager::UpdatePerformanceThroughput: [ERROR] Invalid "
                     "Job-Index 512"),
            1u);
  EXPECT_EQ(LogCount("CHxThrottlingManager::UpdatePerformanceThroughput: [ERROR] Invalid "
                     "Stream-Index 512"),
            1u);
  // A free slot never takes a report, whatever the handle's unique id.
  EXPECT_EQ(m_.UpdateStreamStats(0x0000000500000000ULL, r), 2);
  EXPECT_TRUE(t1test::AllZero(&Job(newer).Streams[5], sizeof(_TMStreamRecord)));
}

}  // namespace
