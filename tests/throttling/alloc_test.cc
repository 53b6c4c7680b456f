// RecomputeThroughputs: the machine's and the jobs' limits turned into each
// job's per-stream rate, and the rates that registered streams are told.
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"

namespace {

using t2test::Params;

struct JobSpec {
  uint32_t limit;     // ThrottleMBPH
  uint32_t streams;   // ActiveThrottStreamCount
  uint32_t previous;  // PerStreamMBPH before the recomputation
};

class AllocTest : public t2test::T2Fixture {
 protected:
  // Fills the table with jobs of the given limits and throttled-stream counts,
  // recomputes with machine limit C, and returns each job's PerStreamMBPH.
  std::vector<uint32_t> Allocate(uint32_t machine, const std::vector<JobSpec>& jobs) {
    std::vector<uint32_t> result;
    EXPECT_TRUE(m_.Lock());
    std::vector<int> slots;
    for (size_t i = 0; i < jobs.size(); ++i) {
      const int slot = m_.ReserveJobIndex(static_cast<int>(100 + i), jobs[i].limit);
      EXPECT_GE(slot, 0);
      t_->Jobs[slot].ActiveThrottStreamCount = jobs[i].streams;
      t_->Jobs[slot].PerStreamMBPH = jobs[i].previous;
      slots.push_back(slot);
    }
    t_->ComputerThrottleMBPH = machine;
    EXPECT_EQ(m_.RecomputeThroughputs(), 0);
    for (int slot : slots) result.push_back(t_->Jobs[slot].PerStreamMBPH);
    m_.Unlock();
    return result;
  }
};

TEST_F(AllocTest, WorkedExamples) {
  struct Example {
    const char* what;
    uint32_t machine;
    std::vector<JobSpec> jobs;  // {limit, throttled streams, rate before}
    std::vector<uint32_t> rates;
  };
  const std::vector<Example> examples = {
      {"no machine limit: a job shares its own limit, unlimited jobs run free", 0,
       {{100, 3, 9}, {0, 2, 9}, {50, 0, 9}}, {33, 0, 0}},
      {"no machine limit: 2 / 3 rounds up to the minimum of 1", 0, {{2, 3, 0}}, {1}},
      {"job limits honoured, the rest (700) split by the two unlimited jobs", 1000,
       {{300, 2, 0}, {0, 3, 0}, {0, 1, 0}}, {150, 116, 350}},
      {"job limits above the machine's are ignored", 1000, {{800, 2, 0}, {400, 2, 0}},
       {250, 250}},
      {"3000 streams on 1000 MBPH get 1 each", 1000,
       {{0, 500, 0}, {0, 500, 0}, {0, 500, 0}, {0, 500, 0}, {0, 500, 0}, {0, 500, 0}},
       std::vector<uint32_t>(6, 1)},
      {"nothing left for the unlimited job still gives 1", 100, {{100, 1, 0}, {0, 2, 0}},
       {100, 1}},
      {"machine limit but no throttled streams: 0 everywhere", 500, {{0, 0, 42}, {200, 0, 42}},
       {0, 0}},
      {"a job without throttled streams keeps its rate when limits are honoured", 1000,
       {{300, 2, 0}, {0, 0, 77}}, {150, 77}},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(e.what);
    EXPECT_EQ(Allocate(e.machine, e.jobs), e.rates);
    ASSERT_TRUE(m_.Lock());
    while (t_->ActiveJobCount > 0) m_.UnReserveJobIndex(static_cast<int>(t_->JobAT[0]));
    m_.Unlock();
  }
}

TEST_F(AllocTest, UnthrottledStreamGoesOnHearingItsJobsKeptRate) {
  // Job 2's only stream stops being counted (as when it is marked
  // unresponsive); in step 5 its job keeps its rate and the query returns it.
  ASSERT_EQ(m_.SetComputerMaxThroghput(1000), 0);
  _TMSRegParams a = Params(1, 1, 300);
  _TMSRegParams b = Params(2);
  const unsigned long long ha = m_.RegisterStream(a);
  const unsigned long long hb = m_.RegisterStream(b);
  EXPECT_EQ(Rate(ha), 300u);
  EXPECT_EQ(Rate(hb), 700u);
  ASSERT_TRUE(m_.Lock());
  Job(hb).ActiveThrottStreamCount = 0;
  m_.RecomputeThroughputs();
  m_.Unlock();
  EXPECT_EQ(Rate(hb), 700u);
}

TEST_F(AllocTest, RegisteredStreamsSeeTheSharesMoveAsJobsComeAndGo) {
  ASSERT_EQ(m_.SetComputerMaxThroghput(1000), 0);
  std::vector<unsigned long long> a, b;
  for (int i = 0; i < 2; ++i) {
    _TMSRegParams p = Params(10, i, 300);
    a.push_back(m_.RegisterStream(p));
  }
  for (int i = 0; i < 3; ++i) {
    _TMSRegParams p = Params(20, i);
    b.push_back(m_.RegisterStream(p));
  }
  _TMSRegParams d = Params(30);
  const unsigned long long hd = m_.RegisterStream(d);
  for (auto h : a) EXPECT_EQ(Rate(h), 150u);
  for (auto h : b) EXPECT_EQ(Rate(h), 116u);
  EXPECT_EQ(Rate(hd), 350u);

  // D leaves: B alone shares the 700 left by A's limit.
  EXPECT_EQ(m_.UnregisterStream(hd), 0);
  for (auto h : b) EXPECT_EQ(Rate(h), 233u);
  EXPECT_EQ(Rate(a[0]), 150u);

  // A's limit rises above what the machine has: every stream gets C / S.
  ASSERT_EQ(m_.SetJobMaxThroghput(10, 2000), 0);
  for (auto h : a) EXPECT_EQ(Rate(h), 200u);
  for (auto h : b) EXPECT_EQ(Rate(h), 200u);

  // No machine limit: A shares its own limit, B runs free.
  ASSERT_EQ(m_.SetComputerMaxThroghput(0), 0);
  EXPECT_EQ(Rate(a[1]), 1000u);
  EXPECT_EQ(Rate(b[2]), 0u);
  for (auto h : a) EXPECT_EQ(m_.UnregisterStream(h), 0);
  for (auto h : b) EXPECT_EQ(m_.UnregisterStream(h), 0);
  EXPECT_EQ(t_->ActiveJobCount, 0u);
}

TEST_F(AllocTest, ImpossibleCountsAndSlotNumbersAreNeverUsedAsIndices) {
  ASSERT_TRUE(m_.Lock());
  const int slot = m_.ReserveJobIndex(5, 0);
  ASSERT_EQ(slot, 0);
  t_->Jobs[slot].ActiveThrottStreamCount = 4;
  t_->ComputerThrottleMBPH = 800;
  // Positions past the first name slots that do not exist.
  t_->ActiveJobCount = 0xFFFFFFFFu;
  for (unsigned int p = 1; p < kTMMaxJobs; ++p) t_->JobAT[p] = 0x7FFFFFFFu;
  EXPECT_EQ(m_.RecomputeThroughputs(), 0);
  EXPECT_EQ(t_->Jobs[slot].PerStreamMBPH, 200u);
  t_->ActiveJobCount = 1;
  for (unsigned int p = 1; p < kTMMaxJobs; ++p) t_->JobAT[p] = p;
  m_.Unlock();
  EXPECT_GE(LogCount("[ERROR] ActiveJobCount"), 1u);
}

}  // namespace
