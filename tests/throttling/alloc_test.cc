// RecomputeThroughputs: the machine's and the jobs' limits turned into each
// job's per-stream rate, and the rates that registered streams are told.
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"

namespace {

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
