// Real processes on one table: job processes throttling each other as they
// come and go, a killed job process losing its streams, a process of the
// other ABI sharing the table (each build runs it, so both directions are
// covered), the table's lifetime across processes, and the repair a lock
// holder killed inside the lock leaves to the next holder.
#include <signal.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/table_invariants.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

using thrtest::Child;
using thrtest::Params;
using thrtest::Touch;
using thrtest::WaitForFile;

class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.SetConfig("Hxd", "ComputerThroughputMBPH", "1200");
    inst_.SetConfig("Platform", "DebugLevel", "3");
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
  }
  void TearDown() override { EXPECT_EQ(m_.Uninitialize(), 0); }
  std::string F(const std::string& name) { return inst_.root() + "/" + name; }
  std::string KeyFile() const { return thrtest::KeyFile(inst_, "_HX_THROTTLE_SHMEM_OUT"); }

  hxtest::TestInstance inst_;
  thrtest::Manager m_;
  const std::string child_ = hxtest::ChildPath("t2_job_child");
};

TEST_F(ProcessesTest, SharesMoveAsJobProcessesComeAndGo) {
  Child a(child_,
          {"reg", "1", "10", "0", "0", "reg", "1", "11", "0", "0", "rate", "0", "100", "touch",
           F("a1"), "wait", F("go1"), "rate", "0", "200", "rate", "1", "300", "touch", F("a2"),
           "wait", F("go2"), "unreg", "0", "unreg", "1"},
          inst_.root());
  ASSERT_TRUE(WaitForFile(F("a1")));
  EXPECT_EQ(a.LineStarting("rate 0"), "rate 0 0 600");  // 1200 over two streams

  Child b(child_,
          {"reg", "2", "20", "0", "0", "rate", "0", "5", "touch", F("b1"), "wait", F("go3"),
           "rate", "0", "6", "unreg", "0"},
          inst_.root());
  ASSERT_TRUE(WaitForFile(F("b1")));
  EXPECT_EQ(b.LineStarting("rate 0"), "rate 0 0 400");

  Touch(F("go1"));
  ASSERT_TRUE(WaitForFile(F("a2")));
  EXPECT_EQ(a.LinesStarting("rate 0").back(), "rate 0 0 400");
  EXPECT_EQ(a.LineStarting("rate 1"), "rate 1 0 400");

  // This process sees the other processes' streams and bytes.
  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs;
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(total, 200u + 300u + 5u);

  Touch(F("go2"));
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(a.LineStarting("unreg 1"), "unreg 1 0");
  Touch(F("go3"));
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_EQ(b.LinesStarting("rate 0").back(), "rate 0 0 1200");  // alone on the machine
  ASSERT_EQ(m_.GetDataSizeInfo(total, jobs), 0);
  EXPECT_TRUE(jobs.empty());
  EXPECT_EQ(total, 200u + 300u + 6u);
}

TEST_F(ProcessesTest, KilledRecordedProcessLosesItsStreamsAtTheNextRegistration) {
  // The job process forks a worker that registers: the recorded process is
  // the job process itself (the worker's parent), which is then killed.
  Child job(child_,
            {"fork", "pid", "reg", "5", "1", "0", "0", "reg", "5", "2", "0", "0", "rate", "1",
             "4096", "touch", F("registered"), "wait", F("go"), "rate", "0", "1", "touch",
             F("asked")},
            inst_.root());
  ASSERT_TRUE(WaitForFile(F("registered")));
  int workerPid = 0, recordedPid = 0;
  ASSERT_EQ(sscanf(job.LineStarting("pid").c_str(), "pid %d %d", &workerPid, &recordedPid), 2);
  EXPECT_EQ(recordedPid, static_cast<int>(job.pid()));
  ASSERT_TRUE(m_.Lock());
  const int slot = m_.GetJobIndex(5);
  ASSERT_GE(slot, 0);
  EXPECT_EQ(m_.table()->Jobs[slot].ActiveStreamCount, 2u);
  EXPECT_EQ(m_.table()->Jobs[slot].Streams[0].ProcessID, static_cast<uint32_t>(recordedPid));
  m_.Unlock();

  job.Kill();
  _TMSRegParams p = Params(6);
  const unsigned long long mine = m_.RegisterStream(p);
  ASSERT_NE(mine, kTMInvalidHandle);
  ASSERT_TRUE(m_.Lock());
  EXPECT_EQ(m_.GetJobIndex(5), -1);
  EXPECT_EQ(uint64_t{m_.table()->TotalSizeProcessed}, 4096u);
  m_.Unlock();
  EXPECT_EQ(thrtest::LogCount(inst_, "[proc - " + std::to_string(recordedPid) + "] not alive"), 2u);

  // The worker lives on; its handle is stale now.
  Touch(F("go"));
  ASSERT_TRUE(WaitForFile(F("asked")));
  EXPECT_EQ(job.LineStarting("rate 0"), "rate 0 2 0");
  EXPECT_EQ(job.LineStarting("end"), "end");
  EXPECT_EQ(m_.UnregisterStream(mine), 0);
}

// A 32-bit and a 64-bit process (this test and the other ABI's child) on one
// table: each sees every field of the other's streams as it was written.
TEST_F(ProcessesTest, OtherAbiProcessSharesTheTable) {
  const std::string other = hxtest::OtherAbiChildPath("t2_job_child");
  if (other.empty()) GTEST_SKIP() << "the other ABI's build is absent (HX_OTHER_ABI_BIN_DIR)";

  _TMSRegParams p = Params(8, 80, 0, 0x40, "native-side");
  const unsigned long long mine = m_.RegisterStream(p);
  unsigned int rate = 0;
  ASSERT_EQ(m_.GetThroughputRate(mine, 0x1122334455ULL, rate), 0);
  _TMStats s;
  s.ReadSize = 0x100000001ULL;
  s.WriteTime = 17;
  s.JobType = 4;
  ASSERT_EQ(m_.UpdateStreamStats(mine, s), 0);

  Child c(other,
          {"reg", "7", "70", "0", "0x10", "@other-abi", "rate", "0", "0x998877665544", "stats",
           "0", "0x200000002", "1", "2", "3", "4", "5", "6", "7", "9", "rate", "0",
           "0x998877665545", "touch", F("x1"), "wait", F("gox"), "enum", "0", "size", "unreg",
           "0", "size"},
          inst_.root());
  ASSERT_TRUE(WaitForFile(F("x1")));
  EXPECT_EQ(c.LinesStarting("rate 0").back(), "rate 0 0 600");

  thrtest::Copies probe;
  ASSERT_EQ(m_.EnumerateJobsInfo(nullptr, &probe, 0), 0);
  ASSERT_EQ(probe.jobs.size(), 2u);
  const auto& theirs = probe.jobs[1];
  EXPECT_EQ(theirs.first.JobID, 7u);
  EXPECT_EQ(theirs.first.PerStreamMBPH, 600u);
  EXPECT_EQ(theirs.first.JobType, 9u);
  ASSERT_EQ(theirs.second.size(), 1u);
  const _TMStreamInfo& ts = theirs.second[0];
  EXPECT_EQ(uint64_t{ts.SizeProcessed}, 0x998877665545ULL);
  EXPECT_EQ(ts.RCID, 70u);
  EXPECT_EQ(ts.Flags, 0x11u);
  EXPECT_EQ(std::string(ts.ComputerName), "other-abi");
  EXPECT_EQ(uint64_t{ts.LastStats.ReadSize}, 0x200000002ULL);
  EXPECT_EQ(ts.LastStats.SIDBLookupTime, 7u);
  EXPECT_EQ(uint64_t{ts.CurrentStats.NetworkSize}, 1u);
  unsigned int index = 0;
  unsigned long long theirHandle = 0;
  ASSERT_EQ(sscanf(c.LineStarting("reg 0").c_str(), "reg %u %llx", &index, &theirHandle), 2);
  EXPECT_EQ(ts.Handle, theirHandle);

  Touch(F("gox"));
  EXPECT_EQ(c.Wait(), 0);
  // What the other process saw of ours.
  char expected[256];
  snprintf(expected, sizeof(expected), "stream 8 %llx %llu 80 41 2 native-side %llu %llu 17 4",
           mine, 0x1122334455ULL, 0x100000001ULL, 0x100000001ULL);
  EXPECT_EQ(c.LinesStarting("stream 8 "), std::vector<std::string>{expected});
  EXPECT_EQ(c.LinesStarting("job 8 ").size(), 1u);
  const std::string size = "size 0 " + std::to_string(0x1122334455ULL + 0x998877665545ULL);
  EXPECT_EQ(c.LinesStarting("size "), (std::vector<std::string>{size + " 2", size + " 1"}));
  EXPECT_EQ(m_.UnregisterStream(mine), 0);
}

// Every process attached counts once; the table outlives any one of them and
// the last one out removes it.
TEST_F(ProcessesTest, ProcessesCountInTheTableAndTheLastRemovesIt) {
  auto refCount = [this] {
    thrtest::Peek peek(KeyFile());
    return peek.ok() ? peek.table()->RefCount : 0xDEADu;
  };
  Child a(child_, {"size", "touch", F("a"), "wait", F("goa")}, inst_.root());
  Child b(child_, {"size", "touch", F("b"), "wait", F("gob")}, inst_.root());
  ASSERT_TRUE(WaitForFile(F("a")) && WaitForFile(F("b")));
  EXPECT_EQ(refCount(), 3u);
  Touch(F("goa"));
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(refCount(), 2u);
  EXPECT_EQ(m_.Uninitialize(), 0);
  EXPECT_EQ(refCount(), 1u);
  EXPECT_EQ(thrtest::LogCount(inst_, "[new - Yes] [Refcount - 1] [Data-Size - 57727012][V3]"), 1u);
  EXPECT_EQ(thrtest::LogCount(inst_, "[new - No] [Refcount - 3] [Data-Size - 57727012][V3]"), 1u);
  Touch(F("gob"));
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_EQ(thrtest::SegmentOf(KeyFile()), -1);
  EXPECT_EQ(thrtest::LogCount(inst_, "Ref.count reached zero destroying Memory block"), 1u);
}

// A holder killed inside the lock halfway through a reservation: the next
// holder repairs the table (once) before anything uses it.
TEST_F(ProcessesTest, NextHolderRepairsWhatAKilledHolderLeft) {
  _TMSRegParams p = Params(30);
  ASSERT_NE(m_.RegisterStream(p), kTMInvalidHandle);
  Child holder(child_, {"hold", F("held")}, inst_.root());
  ASSERT_TRUE(WaitForFile(F("held")));
  _TMJobRecord& job = m_.table()->Jobs[m_.GetJobIndex(30)];
  job.Streams[job.StreamAT[1]].Flags = kTMStreamInUse;  // flagged, not yet counted
  holder.Kill();
  ASSERT_TRUE(m_.Lock());
  EXPECT_EQ(t1test::TableViolations(*m_.table(), {true}), std::vector<std::string>{});
  EXPECT_EQ(job.ActiveStreamCount, 2u);
  m_.Unlock();
  ASSERT_TRUE(m_.Lock());
  m_.Unlock();
  EXPECT_EQ(thrtest::LogCount(inst_, "CheckAndRepairTable()"), 1u);
  EXPECT_EQ(thrtest::LogCount(inst_, "(the previous lock holder died)"), 1u);
}

}  // namespace
