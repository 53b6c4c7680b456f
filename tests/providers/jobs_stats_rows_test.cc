// The "JobsStats" rows built from enumerated job copies, and the throughput
// arithmetic behind them.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/hx_metrics.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/providers/linux_provider_test_support.h"

using hxtest::Value;

namespace {

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

TEST(JobsComputeThroughput, GigabytesPerHourFromEachPair) {
  struct Case {
    uint64_t s1, t1, s2, t2;
    double r1, r2;
  } cases[] = {
      {kGiB, 3600, 536870912ull, 60, 1.0, 30.0},
      {0, 3600, kGiB, 0, 0.0, 0.0},  // a zero size or time gives 0 for that pair only
      {kGiB, 0, kGiB, 1800, 0.0, 2.0},
      {1, 7, 0, 0, 514.0 / kGiB, 0.0},  // bytes per hour truncated before scaling
  };
  for (const Case& c : cases) {
    double r1 = -1, r2 = -1;
    CHxPerfProviderTarnellJobs::ComputeThroughput(c.s1, c.t1, c.s2, c.t2, r1, r2);
    EXPECT_DOUBLE_EQ(r1, c.r1) << c.s1 << "/" << c.t1;
    EXPECT_DOUBLE_EQ(r2, c.r2) << c.s2 << "/" << c.t2;
  }
  // size * 3600 exceeds 64 bits: the true rate, not a wrapped product's.
  const uint64_t size = std::numeric_limits<uint64_t>::max() / 1000;
  double r1 = 0, r2 = 0;
  CHxPerfProviderTarnellJobs::ComputeThroughput(size, 3600, size, 1, r1, r2);
  const double expect1 = static_cast<double>(static_cast<long double>(size) / kGiB);
  EXPECT_NEAR(r1, expect1, expect1 * 1e-12);
  EXPECT_NEAR(r2, expect1 * 3600, expect1 * 3600 * 1e-12);
}

// A provider that reports to a capturing callback and reads a fake clock. The
// instance's platform type names no table, so nothing is attached.
class JobsRows : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.SetConfig("Platform", "PlatformType", "0");
    ASSERT_EQ(provider_.Initialize(nullptr, &cb_), 0);
    job_.StartTime = env_.now - 10;
  }
  // Reports job_ with streams named by sources through the enumeration callback.
  const _PerfLogItems& Report(size_t count, const char* const* sources = nullptr) {
    streams_.resize(count);
    for (size_t i = 0; sources && i < count; ++i) {
      strncpy(streams_[i].ComputerName, sources[i], sizeof(streams_[i].ComputerName) - 1);
    }
    return Report();
  }
  const _PerfLogItems& Report() {
    const size_t before = cb_.reports.size();
    EXPECT_EQ(provider_.OnThrottelingInfo(nullptr, &job_, streams_.data(),
                                          static_cast<unsigned int>(streams_.size())),
              0);
    EXPECT_EQ(cb_.reports.size(), before + 1);
    return cb_.reports.back().items;
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  hxtest::CaptureCallback cb_;
  CHxPerfProviderTarnellJobs provider_{&env_};
  _TMJobInfo job_;
  std::vector<_TMStreamInfo> streams_;
};

TEST_F(JobsRows, RowLayoutAndIdentity) {
  job_.JobID = 4711;
  job_.JobType = 3;
  job_.ActiveStreamCount = 2;
  const char* sources[] = {"client-a", "client-b"};
  const _PerfLogItems& items = Report(2, sources);
  EXPECT_EQ(cb_.reports.back().type, RSRC_AGENT_JOBS_STATS);
  EXPECT_EQ(cb_.reports.back().object, "JobsStats");
  EXPECT_EQ(items.version, "1.3");
  ASSERT_EQ(items.columns.size(), 25u);
  EXPECT_EQ(items.columns.back(), "Current-Avg-SIDBLooupTime");  // spelling kept
  ASSERT_EQ(items.rows.size(), 1u);
  EXPECT_EQ(items.rows[0].size(), 25u);
  EXPECT_EQ(Value(items, 0, "Job-ID"), "4711");
  EXPECT_EQ(Value(items, 0, "Stream-Source"), "client-a");  // the first stream's machine
  EXPECT_EQ(Value(items, 0, "Stream-Destination"), "hxtesthost");
  EXPECT_EQ(Value(items, 0, "Job-Type"), HxJobPerfManager::GetPerfCounterName(3));
  EXPECT_EQ(Value(items, 0, "Active-Streams"), "2");
  // No statistics at all: every figure is a zero in its own format.
  EXPECT_EQ(Value(items, 0, "Total-Read-Size"), "0");
  EXPECT_EQ(Value(items, 0, "Current-Network-Throughput"), "0.00");
  EXPECT_EQ(Value(items, 0, "Current-Avg-SIDBLooupTime"), "0.00");
  // A job without streams has an empty source; large figures keep all digits.
  job_.JobID = 4294967295u;
  job_.JobStats.ReadSize = 18446744073709551615ull;
  const _PerfLogItems& none = Report(0);
  EXPECT_EQ(Value(none, 0, "Stream-Source"), "");
  EXPECT_EQ(Value(none, 0, "Job-ID"), "4294967295");
  EXPECT_EQ(Value(none, 0, "Total-Read-Size"), "18446744073709551615");
}

TEST_F(JobsRows, DurationIsHoursMinutesSecondsWithoutWrappingAtADay) {
  // A start ahead of the clock (another process's clock) counts as just started.
  struct Case {
    int64_t seconds;
    const char* text;
    const char* secondsText;
  } cases[] = {{3725, "1:02:05", "3725"}, {25 * 3600 + 61, "25:01:01", "90061"},
               {0, "0:00:00", "0"},        {-30, "0:00:00", nullptr}};
  for (const Case& c : cases) {
    job_.StartTime = static_cast<uint32_t>(env_.now - c.seconds);
    const _PerfLogItems& items = Report(1);
    EXPECT_EQ(Value(items, 0, "Job-Duration"), c.text) << c.seconds;
    if (c.secondsText) {
      EXPECT_EQ(Value(items, 0, "Job-Duration-Seconds"), c.secondsText);
    }
    EXPECT_EQ(Value(items, 0, "Total-Job-Throughput"), "0.00");
  }
}

TEST_F(JobsRows, TotalsAddFinishedAndCurrentStreams) {
  job_.StartTime = env_.now - 100;
  job_.LastEnumTime = env_.now - 50;
  job_.JobStats.ReadSize = 100;  // finished streams
  job_.JobStats.NetworkSize = 7;
  job_.JobStats.WriteSize = 9;
  job_.JobStats.SIDBLookupSamples = 5;
  streams_.resize(2);
  streams_[0].LastStats.ReadSize = 20;
  streams_[1].LastStats.ReadSize = 30;
  streams_[0].LastStats.NetworkSize = 1;
  streams_[1].LastStats.WriteSize = 2;
  streams_[0].LastStats.SIDBLookupSamples = 10;
  streams_[1].LastStats.SIDBLookupSamples = 20;
  // Current figures: a stream with a size but no time adds its size only.
  streams_[0].CurrentStats.ReadSize = 15;
  streams_[1].CurrentStats.ReadSize = 25;
  streams_[0].CurrentStats.NetworkSize = 4;
  streams_[0].CurrentStats.NetworkTime = 6;
  streams_[1].CurrentStats.WriteSize = 8;
  streams_[1].CurrentStats.WriteTime = 3;
  const _PerfLogItems& items = Report();
  const std::vector<std::pair<const char*, const char*>> expected = {
      {"Total-Read-Size", "150"},      {"Current-Read-Size", "40"},
      {"Current-Read-Time", "0"},      {"Current-Read-Throughput", "0.00"},
      {"Total-Network-Size", "8"},     {"Current-Network-Size", "4"},
      {"Current-Network-Time", "6"},   {"Total-Write-Size", "11"},
      {"Current-Write-Size", "8"},     {"Current-Write-Time", "3"},
      {"Total-SIDBLookup-Samples", "35"}};
  for (const auto& e : expected) EXPECT_EQ(Value(items, 0, e.first), e.second) << e.first;
}

TEST_F(JobsRows, ThroughputsAreSumsOfTheStreamsOwnRates) {
  job_.StartTime = env_.now - 7200;
  job_.LastEnumTime = env_.now - 3600;
  streams_.resize(2);
  for (_TMStreamInfo& s : streams_) {
    s.LastStats.ReadSize = kGiB;
    s.CurrentStats.ReadSize = kGiB;
    s.CurrentStats.ReadTime = 3600;
    s.CurrentStats.WriteSize = kGiB;
  }
  // Different per-stream times: the sum of rates differs from the rate of the sums.
  streams_[0].CurrentStats.WriteTime = 3600;
  streams_[1].CurrentStats.WriteTime = 1800;
  streams_[0].CurrentStats.SIDBLookupSamples = 600;
  streams_[0].CurrentStats.SIDBLookupTime = 1;
  streams_[1].CurrentStats.SIDBLookupSamples = 400;
  streams_[1].CurrentStats.SIDBLookupTime = 2;
  const _PerfLogItems& items = Report();
  EXPECT_EQ(Value(items, 0, "Current-Read-Throughput"), "2.00");
  EXPECT_EQ(Value(items, 0, "Current-Write-Throughput"), "3.00");
  // Job throughputs use the read sizes: 2 GiB over the 2-hour life and over
  // the 1-hour interval since the previous enumeration.
  EXPECT_EQ(Value(items, 0, "Total-Job-Throughput"), "1.00");
  EXPECT_EQ(Value(items, 0, "Current-Job-Throughput"), "2.00");
  EXPECT_EQ(Value(items, 0, "Current-SIDBLookup-Samples"), "1000");
  EXPECT_EQ(Value(items, 0, "Current-SIDBLookup-Time"), "3");
  EXPECT_EQ(Value(items, 0, "Current-Avg-SIDBLooupTime"), "333.00");

  // Never enumerated (LastEnumTime 0): the interval starts with the job, not
  // at the epoch. A lookup time of 0 gives an average of 0.
  job_.StartTime = env_.now - 1800;
  job_.LastEnumTime = 0;
  streams_.resize(1);
  streams_[0].CurrentStats.ReadTime = 1800;
  streams_[0].CurrentStats.SIDBLookupTime = 0;
  const _PerfLogItems& first = Report();
  EXPECT_EQ(Value(first, 0, "Current-Job-Throughput"), "2.00");
  EXPECT_EQ(Value(first, 0, "Current-Avg-SIDBLooupTime"), "0.00");
}

TEST_F(JobsRows, NothingIsReportedBeforeACallbackIsKnown) {
  CHxPerfProviderTarnellJobs fresh(&env_);
  streams_.resize(1);
  EXPECT_EQ(fresh.OnThrottelingInfo(nullptr, &job_, streams_.data(), 1), 0);
  EXPECT_TRUE(cb_.reports.empty());
}

}  // namespace
