// DumpAll: exact text of the table dump, its level gating, and full or
// corrupted allocation tables.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/common/test_env.h"
#include "tests/throttling/table_test_util.h"

namespace {

using t1test::TestManager;

const std::string kEquals(74, '=');
const std::string kDashes(70, '-');

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 9, kTMKindOutbound), 0);
    ASSERT_TRUE(m_.Lock());
    t_ = m_.table();
  }
  void TearDown() override {
    m_.Unlock();
    EXPECT_EQ(m_.Uninitialize(), 0);
  }
  // The texts the dump wrote (the log drops a line's trailing newlines).
  std::vector<std::string> Dump(bool force) {
    inst_.ClearLog();
    m_.DumpAll(force);
    std::vector<std::string> texts;
    for (const t1test::LogRecord& r : t1test::LogRecords(inst_)) texts.push_back(r.text);
    return texts;
  }
  static void ExpectLines(const std::vector<std::string>& actual,
                          std::vector<std::string> expected) {
    for (std::string& e : expected) {
      while (!e.empty() && e.back() == '\n') e.pop_back();
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "line " << i;
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  TestManager m_{&env_};
  _TMThrottleTable* t_ = nullptr;
};

TEST_F(DumpTest, EmptyTable) {
  ExpectLines(Dump(true), {
                              kEquals,
                              "ComputerThrottleMBPH\t\t- 0",
                              "UniqueID\t\t\t\t\t- 0",
                              "ActiveJobCount\t`\t- 0",
                              "JobATIndex\t\t\t- 0",
                              "JobAT\t\t\t\t-  |*0",
                              kDashes,
                              kDashes,
                          });
}

TEST_F(DumpTest, JobWithStreamsInSlotsFiveAndTwo) {
  env_.now = 1700001000;
  ASSERT_EQ(m_.ReserveJobIndex(1, 0), 0);
  ASSERT_EQ(m_.ReserveJobIndex(4242, 300), 1);
  ASSERT_EQ(m_.UnReserveJobIndex(0), 0);  // job slot 1 is now at position 0
  char name[] = "host";
  for (unsigned int s = 0; s < 6; ++s) {
    env_.now = 1700001000 + s;
    ASSERT_EQ(m_.ReserveStreamIndex(1, 0x20 + s, 4242, 0xAB00 + s, s == 2 ? 0x14 : 0x10,
                                    static_cast<unsigned char>(s), name),
              static_cast<int>(s));
  }
  for (unsigned int s : {0u, 1u, 3u, 4u}) ASSERT_EQ(m_.UnreserveStreamIndex(1, s, 0x20 + s), 0);
  _TMJobRecord& job = t_->Jobs[1];
  job.PerStreamMBPH = 150;
  job.Streams[5].SizeProcessed = 0x1234567890ULL;
  job.Streams[5].LatUpdateTime = 1700002000;
  job.Streams[2].Flags |= kTMStreamUnresponsive;
  t_->ComputerThrottleMBPH = 1000;
  t_->UniqueID = 0x2f;

  ExpectLines(Dump(true), {
                              kEquals,
                              "ComputerThrottleMBPH\t\t- 1000",
                              "UniqueID\t\t\t\t\t- 2f",
                              "ActiveJobCount\t`\t- 1",
                              "JobATIndex\t\t\t- 1",
                              "JobAT\t\t\t\t- 1 |  |*0",
                              kDashes,
                              "\nJob\t[0] [idx - 0]",
                              "PerStreamMBPH\t\t\t- 150",
                              "ThrottleMBPH\t\t\t\t- 300",
                              "ActiveStreamCount\t\t- 2",
                              "ActiveThrottStreamCount\t- 1",
                              "StreamATIndex\t\t\t- 2",
                              "JobID\t\t\t\t\t- 4242",
                              "JobId\t\t\t\t\t- 4242",
                              "Flags\t\t\t\t\t- 1",
                              "StartTime\t\t\t\t- 1700001000",
                              "JobOldATIdx\t\t\t\t- 0",
                              "StreamAt\t\t\t\t- 5 | 2 |  |*4\n",
                              "\nStream\t[5]",
                              "UniqueID\t\t\t- 25",
                              "RCID\t\t\t    - ab05",
                              "StartTime\t\t- 1700001005",
                              "LatUpdateTime\t- 1700002000",
                              "SizeProcessed\t- 1234567890",
                              "Type\t\t\t\t- 5",
                              "StreamOldATIdx\t- 0",
                              "Flags\t\t\t- 11",
                              "\nStream\t[2]",
                              "UniqueID\t\t\t- 22",
                              "RCID\t\t\t    - ab02",
                              "StartTime\t\t- 1700001002",
                              "LatUpdateTime\t- 1700001002",
                              "SizeProcessed\t- 0",
                              "Type\t\t\t\t- 2",
                              "StreamOldATIdx\t- 1",
                              "Flags\t\t\t- 17",
                              kDashes,
                          });
}

TEST_F(DumpTest, UnforcedDumpFollowsTheLogLevel) {
  inst_.SetConfig("Platform", "DebugLevel", "4");
  EXPECT_TRUE(Dump(false).empty());
  EXPECT_EQ(Dump(true).size(), 8u);
  inst_.SetConfig("Platform", "DebugLevel", "5");
  EXPECT_EQ(Dump(false).size(), 8u);
}

TEST_F(DumpTest, FullAllocationTablesShowNoNextEntry) {
  for (int i = 0; i < 512; ++i) ASSERT_EQ(m_.ReserveJobIndex(i + 1, 0), i);
  char name[] = "h";
  for (unsigned int s = 0; s < 512; ++s) ASSERT_GE(m_.ReserveStreamIndex(7, s, 8, 0, 0, 0, name), 0);
  const std::vector<std::string> lines = Dump(true);
  ASSERT_EQ(lines.size(), 7u + 512u * 12u + 512u * 9u + 1u);
  std::string jobAt = "JobAT\t\t\t\t- ";
  for (int i = 0; i < 512; ++i) jobAt += std::to_string(i) + " | ";
  jobAt += " |*";
  EXPECT_EQ(lines[5], jobAt);
  // Job slot 7 is the eighth job: 7 header lines, 7 jobs of 12 lines, then J12.
  const std::string& streamAt = lines[7 + 7 * 12 + 11];
  EXPECT_EQ(streamAt.substr(0, 14), "StreamAt\t\t\t\t- ");
  EXPECT_EQ(streamAt.substr(streamAt.size() - 15), "510 | 511 |  |*");
  EXPECT_EQ(lines.back(), kDashes);
}

TEST_F(DumpTest, CorruptedTableIsDumpedWithinBounds) {
  char name[] = "h";
  ASSERT_EQ(m_.ReserveJobIndex(5, 0), 0);
  ASSERT_EQ(m_.ReserveStreamIndex(0, 1, 5, 0, 0, 0, name), 0);
  t_->ActiveJobCount = 100000;
  t_->JobAT[1] = 9999;
  t_->Jobs[0].ActiveStreamCount = 5000;
  t_->Jobs[0].StreamAT[1] = 70000;
  const std::vector<std::string> lines = Dump(true);
  EXPECT_EQ(lines[3], "ActiveJobCount\t`\t- 100000") << "the dump shows what the table holds";
  EXPECT_EQ(lines[5].substr(lines[5].size() - 3), " |*");
  size_t jobs = 0, streams = 0, errors = 0;
  for (const std::string& l : lines) {
    if (l.compare(0, 5, "\nJob\t") == 0) ++jobs;
    if (l.compare(0, 8, "\nStream\t") == 0) ++streams;
    if (l.find("[ERROR]") != std::string::npos) ++errors;
  }
  EXPECT_EQ(jobs, 511u) << "512 positions walked, one naming no slot";
  EXPECT_EQ(streams, 511u) << "job 0: 512 positions walked, one naming no slot";
  EXPECT_EQ(errors, 4u);  // job count, JobAT[1], stream count, StreamAT[1]
  EXPECT_EQ(lines.back(), kDashes);
}

}  // namespace
