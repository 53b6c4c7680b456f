// The "JobsStats" rows built from enumerated job copies, and the throughput
// arithmetic behind them.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/hx_metrics.h"
#include "providers/tarnell_jobs_provider.h"
#include "tests/common/test_env.h"
#include "tests/providers/jobs_test_support.h"

using jobstest::RecordingCallback;
using jobstest::Value;

namespace {

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

TEST(JobsComputeThroughput, GigabytesPerHourFromEachPair) {
  double r1 = -1, r2 = -1;
  CHxPerfProviderTarnellJobs::ComputeThroughput(kGiB, 3600, 536870912ull, 60, r1, r2);
  EXPECT_DOUBLE_EQ(r1, 1.0);
  EXPECT_DOUBLE_EQ(r2, 30.0);

  // A zero size or a zero time gives 0 for that pair only.
  CHxPerfProviderTarnellJobs::ComputeThroughput(0, 3600, kGiB, 0, r1, r2);
  EXPECT_EQ(r1, 0.0);
  EXPECT_EQ(r2, 0.0);
  CHxPerfProviderTarnellJobs::ComputeThroughput(kGiB, 0, kGiB, 1800, r1, r2);
  EXPECT_EQ(r1, 0.0);
  EXPECT_DOUBLE_EQ(r2, 2.0);

  // The bytes-per-hour quotient is truncated to whole bytes before scaling.
  CHxPerfProviderTarnellJobs::ComputeThroughput(1, 7, 0, 0, r1, r2);
  EXPECT_DOUBLE_EQ(r1, 514.0 / 1024 / 1024 / 1024);
}

TEST(JobsComputeThroughput, HugeSizesDoNotWrapAround) {
  // size * 3600 exceeds 64 bits here; the rate must still be the true one
  // (about 5.3e9 GiB/h), not the remainder of a wrapped product.
  const uint64_t size = std::numeric_limits<uint64_t>::max() / 1000;  // ~1.8e16 bytes
  double r1 = 0, r2 = 0;
  CHxPerfProviderTarnellJobs::ComputeThroughput(size, 3600, size, 1, r1, r2);
  const long double expect1 = static_cast<long double>(size) / kGiB;
  const long double expect2 = static_cast<long double>(size) * 3600 / kGiB;
  EXPECT_NEAR(r1, static_cast<double>(expect1), static_cast<double>(expect1) * 1e-12);
  EXPECT_NEAR(r2, static_cast<double>(expect2), static_cast<double>(expect2) * 1e-12);
}

// A provider that reports to a recording callback and reads a fake clock. The
// instance's platform type names no table, so nothing is attached.
class JobsRows : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.SetConfig("Platform", "PlatformType", "0");
    provider_.reset(new CHxPerfProviderTarnellJobs(&env_));
    ASSERT_EQ(provider_->Initialize(nullptr, &cb_), 0);
  }

  // Reports one job through the enumeration callback and returns its row.
  const _PerfLogItems& Report(_TMJobInfo& job, std::vector<_TMStreamInfo>& streams) {
    const size_t before = cb_.calls.size();
    EXPECT_EQ(provider_->OnThrottelingInfo(nullptr, &job, streams.data(),
                                           static_cast<unsigned int>(streams.size())),
              0);
    EXPECT_EQ(cb_.calls.size(), before + 1);
    return cb_.calls.back().items;
  }

  static _TMStreamInfo Stream(const char* computer) {
    _TMStreamInfo s;
    strncpy(s.ComputerName, computer, sizeof(s.ComputerName) - 1);
    return s;
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  RecordingCallback cb_;
  std::unique_ptr<CHxPerfProviderTarnellJobs> provider_;
};

TEST_F(JobsRows, RowLayoutAndIdentity) {
  _TMJobInfo job;
  job.JobID = 4711;
  job.JobType = 3;
  job.ActiveStreamCount = 2;
  job.StartTime = env_.now - 10;
  job.LastEnumTime = env_.now - 5;
  std::vector<_TMStreamInfo> streams = {Stream("client-a"), Stream("client-b")};
  const _PerfLogItems& items = Report(job, streams);

  EXPECT_EQ(cb_.calls.back().type, RSRC_AGENT_JOBS_STATS);
  EXPECT_EQ(cb_.calls.back().object, "JobsStats");
  EXPECT_EQ(items.version, "1.3");
  const std::vector<std::string> expected = {
      "Job-ID", "Stream-Source", "Stream-Destination", "Job-Type", "Job-Duration",
      "Job-Duration-Seconds", "Active-Streams", "Total-Job-Throughput", "Current-Job-Throughput",
      "Total-Read-Size", "Current-Read-Size", "Current-Read-Time", "Current-Read-Throughput",
      "Total-Network-Size", "Current-Network-Size", "Current-Network-Time",
      "Current-Network-Throughput", "Total-Write-Size", "Current-Write-Size",
      "Current-Write-Time", "Current-Write-Throughput", "Total-SIDBLookup-Samples",
      "Current-SIDBLookup-Samples", "Current-SIDBLookup-Time", "Current-Avg-SIDBLooupTime"};
  EXPECT_EQ(items.columns, expected);
  ASSERT_EQ(items.rows.size(), 1u);
  EXPECT_EQ(items.rows[0].size(), expected.size());

  EXPECT_EQ(Value(items, 0, "Job-ID"), "4711");
  EXPECT_EQ(Value(items, 0, "Stream-Source"), "client-a");  // the first stream's machine
  EXPECT_EQ(Value(items, 0, "Stream-Destination"), "hxtesthost");
  EXPECT_EQ(Value(items, 0, "Job-Type"), HxJobPerfManager::GetPerfCounterName(3));
  EXPECT_EQ(Value(items, 0, "Active-Streams"), "2");
  EXPECT_EQ(Value(items, 0, "Job-Duration-Seconds"), "10");
  // No statistics at all: every figure is a zero in its own format.
  EXPECT_EQ(Value(items, 0, "Total-Read-Size"), "0");
  EXPECT_EQ(Value(items, 0, "Current-Write-Time"), "0");
  EXPECT_EQ(Value(items, 0, "Current-Network-Throughput"), "0.00");
  EXPECT_EQ(Value(items, 0, "Current-Avg-SIDBLooupTime"), "0.00");
}

TEST_F(JobsRows, DurationIsHoursMinutesSecondsWithoutWrappingAtADay) {
  struct Case {
    uint32_t seconds;
    const char* text;
  } cases[] = {{3725, "1:02:05"}, {25 * 3600 + 60 + 1, "25:01:01"}, {59, "0:00:59"}, {0, "0:00:00"}};
  for (const Case& c : cases) {
    _TMJobInfo job;
    job.JobID = 1;
    job.StartTime = env_.now - c.seconds;
    std::vector<_TMStreamInfo> streams = {Stream("x")};
    const _PerfLogItems& items = Report(job, streams);
    EXPECT_EQ(Value(items, 0, "Job-Duration"), c.text) << c.seconds;
    EXPECT_EQ(Value(items, 0, "Job-Duration-Seconds"), std::to_string(c.seconds));
  }
}

TEST_F(JobsRows, StartAheadOfTheClockCountsAsJustStarted) {
  // A start stamped by a process whose clock runs ahead must not read as a
  // duration of 136 years.
  _TMJobInfo job;
  job.StartTime = env_.now + 30;
  std::vector<_TMStreamInfo> streams = {Stream("x")};
  const _PerfLogItems& items = Report(job, streams);
  EXPECT_EQ(Value(items, 0, "Job-Duration"), "0:00:00");
  EXPECT_EQ(Value(items, 0, "Total-Job-Throughput"), "0.00");
}

TEST_F(JobsRows, TotalsAddFinishedAndCurrentStreams) {
  _TMJobInfo job;
  job.StartTime = env_.now - 100;
  job.LastEnumTime = env_.now - 50;
  job.JobStats.ReadSize = 100;  // finished streams
  job.JobStats.NetworkSize = 7;
  job.JobStats.WriteSize = 9;
  job.JobStats.SIDBLookupSamples = 5;
  std::vector<_TMStreamInfo> streams = {Stream("a"), Stream("b")};
  streams[0].LastStats.ReadSize = 20;
  streams[1].LastStats.ReadSize = 30;
  streams[0].LastStats.NetworkSize = 1;
  streams[1].LastStats.WriteSize = 2;
  streams[0].LastStats.SIDBLookupSamples = 10;
  streams[1].LastStats.SIDBLookupSamples = 20;
  // Current figures: a stream with a size but no time adds its size only.
  streams[0].CurrentStats.ReadSize = 15;
  streams[0].CurrentStats.ReadTime = 0;
  streams[1].CurrentStats.ReadSize = 25;
  streams[1].CurrentStats.ReadTime = 0;
  streams[0].CurrentStats.NetworkSize = 4;
  streams[0].CurrentStats.NetworkTime = 6;
  streams[1].CurrentStats.WriteSize = 8;
  streams[1].CurrentStats.WriteTime = 3;
  const _PerfLogItems& items = Report(job, streams);

  EXPECT_EQ(Value(items, 0, "Total-Read-Size"), "150");
  EXPECT_EQ(Value(items, 0, "Current-Read-Size"), "40");
  EXPECT_EQ(Value(items, 0, "Current-Read-Time"), "0");
  EXPECT_EQ(Value(items, 0, "Current-Read-Throughput"), "0.00");
  EXPECT_EQ(Value(items, 0, "Total-Network-Size"), "8");
  EXPECT_EQ(Value(items, 0, "Current-Network-Size"), "4");
  EXPECT_EQ(Value(items, 0, "Current-Network-Time"), "6");
  EXPECT_EQ(Value(items, 0, "Total-Write-Size"), "11");
  EXPECT_EQ(Value(items, 0, "Current-Write-Size"), "8");
  EXPECT_EQ(Value(items, 0, "Current-Write-Time"), "3");
  EXPECT_EQ(Value(items, 0, "Total-SIDBLookup-Samples"), "35");
}

TEST_F(JobsRows, CurrentThroughputIsTheSumOfTheStreamsOwnRates) {
  _TMJobInfo job;
  job.StartTime = env_.now - 7200;
  job.LastEnumTime = env_.now - 3600;
  std::vector<_TMStreamInfo> streams = {Stream("a"), Stream("b")};
  for (_TMStreamInfo& s : streams) {
    s.LastStats.ReadSize = kGiB;
    s.CurrentStats.ReadSize = kGiB;
    s.CurrentStats.ReadTime = 3600;
  }
  // Different per-stream times: the sum of rates differs from the rate of the sums.
  streams[0].CurrentStats.WriteSize = kGiB;
  streams[0].CurrentStats.WriteTime = 3600;
  streams[1].CurrentStats.WriteSize = kGiB;
  streams[1].CurrentStats.WriteTime = 1800;
  const _PerfLogItems& items = Report(job, streams);
  EXPECT_EQ(Value(items, 0, "Current-Read-Throughput"), "2.00");
  EXPECT_EQ(Value(items, 0, "Current-Write-Throughput"), "3.00");
  // Job throughputs use the read sizes: 2 GiB over the 2-hour life and over
  // the 1-hour interval since the previous enumeration.
  EXPECT_EQ(Value(items, 0, "Total-Job-Throughput"), "1.00");
  EXPECT_EQ(Value(items, 0, "Current-Job-Throughput"), "2.00");
}

TEST_F(JobsRows, FirstEnumerationMeasuresTheIntervalFromTheJobStart) {
  // Never enumerated (LastEnumTime 0): the streams' current figures have
  // accumulated since they registered, so the interval starts with the job,
  // not at the epoch.
  _TMJobInfo job;
  job.StartTime = env_.now - 1800;
  job.LastEnumTime = 0;
  std::vector<_TMStreamInfo> streams = {Stream("a")};
  streams[0].CurrentStats.ReadSize = kGiB;
  streams[0].CurrentStats.ReadTime = 1800;
  const _PerfLogItems& items = Report(job, streams);
  EXPECT_EQ(Value(items, 0, "Current-Job-Throughput"), "2.00");
}

TEST_F(JobsRows, AverageSidbFigureIsSamplesPerTimeUnit) {
  _TMJobInfo job;
  job.StartTime = env_.now - 10;
  std::vector<_TMStreamInfo> streams = {Stream("a"), Stream("b")};
  streams[0].CurrentStats.SIDBLookupSamples = 600;
  streams[0].CurrentStats.SIDBLookupTime = 1;
  streams[1].CurrentStats.SIDBLookupSamples = 400;
  streams[1].CurrentStats.SIDBLookupTime = 2;
  const _PerfLogItems& items = Report(job, streams);
  EXPECT_EQ(Value(items, 0, "Current-SIDBLookup-Samples"), "1000");
  EXPECT_EQ(Value(items, 0, "Current-SIDBLookup-Time"), "3");
  EXPECT_EQ(Value(items, 0, "Current-Avg-SIDBLooupTime"), "333.00");

  streams[0].CurrentStats.SIDBLookupTime = 0;
  streams[1].CurrentStats.SIDBLookupTime = 0;
  EXPECT_EQ(Value(Report(job, streams), 0, "Current-Avg-SIDBLooupTime"), "0.00");
}

TEST_F(JobsRows, JobWithoutStreamsHasAnEmptySourceAndLargeFiguresKeepAllDigits) {
  _TMJobInfo job;
  job.JobID = 4294967295u;
  job.StartTime = env_.now;
  job.JobStats.ReadSize = 18446744073709551615ull;
  std::vector<_TMStreamInfo> none;
  const _PerfLogItems& items = Report(job, none);
  EXPECT_EQ(Value(items, 0, "Stream-Source"), "");
  EXPECT_EQ(Value(items, 0, "Job-ID"), "4294967295");
  EXPECT_EQ(Value(items, 0, "Total-Read-Size"), "18446744073709551615");
}

TEST_F(JobsRows, NothingIsReportedBeforeACallbackIsKnown) {
  CHxPerfProviderTarnellJobs fresh(&env_);
  _TMJobInfo job;
  std::vector<_TMStreamInfo> streams = {Stream("a")};
  EXPECT_EQ(fresh.OnThrottelingInfo(nullptr, &job, streams.data(), 1), 0);
  EXPECT_TRUE(cb_.calls.empty());
}

}  // namespace
