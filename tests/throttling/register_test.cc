// Stream registration, rate queries and the machine and job limits, in one
// process.
#include <atomic>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"

namespace {

using t2test::Params;

class RegisterTest : public t2test::T2Fixture {};

TEST_F(RegisterTest, HandlesSlotsAndStoredFieldsOfTheFirstTwoStreams) {
  _TMSRegParams p = Params(7, 70, 0, 0x10, "a-very-long-computer-name-of-more-than-47-characters");
  p.Type = 9;
  const unsigned long long h1 = m_.RegisterStream(p);
  EXPECT_EQ(h1, 0x0000000000000001ULL);
  const _TMJobRecord& job = t_->Jobs[0];
  EXPECT_EQ(job.JobID, 7u);
  EXPECT_EQ(job.ActiveThrottStreamCount, 1u);
  const _TMStreamRecord& s = job.Streams[0];
  EXPECT_EQ(s.UniqueID, 1u);
  EXPECT_EQ(s.RCID, 70u);
  EXPECT_EQ(s.Flags, 0x11u);
  EXPECT_EQ(s.Type[0], 9u);
  EXPECT_EQ(s.StartTime, env_.now);
  EXPECT_EQ(s.LatUpdateTime, env_.now);
  EXPECT_EQ(s.ProcessID, static_cast<uint32_t>(getppid()));
  EXPECT_EQ(m_.GetCurrentProcID(), static_cast<unsigned int>(getppid()));
  EXPECT_EQ(std::string(s.ComputerName), std::string(p.ComputerName, 47));

  // The same job again with another limit: next stream slot, limit unchanged.
  _TMSRegParams q = Params(7, 71, 500);
  EXPECT_EQ(m_.RegisterStream(q), 0x0000000100000002ULL);
  EXPECT_EQ(job.ThrottleMBPH, 0u);
  EXPECT_EQ(job.ActiveStreamCount, 2u);
  EXPECT_EQ(t_->UniqueID, 2u);
  EXPECT_EQ(LogCount("RegisterStream(): Request"), 2u);
  EXPECT_EQ(LogCount("RegisterStream():[Pos: 0 : 1][ Computer name - host] [Job-id - 7] "
                     "[RCID - 71] [Subcl-Thpt - 500] [Flags - 0][Lanfree - No] [type - 2] "
                     "[Handle - 100000002 (4294967298)]."),
            1u);
}

TEST_F(RegisterTest, LanFreeStreamsAreThrottledByDefault) {
  _TMSRegParams p = Params(3, 1, 0, 0x4 | 0x20);
  const unsigned long long h = m_.RegisterStream(p);
  ASSERT_NE(h, kTMInvalidHandle);
  EXPECT_EQ(p.Flags, 0x20u);  // the caller's copy loses bit 0x4
  EXPECT_EQ(Stream(h).Flags, 0x21u);
  EXPECT_EQ(Job(h).ActiveThrottStreamCount, 1u);
  EXPECT_EQ(LogCount("[Flags - 20][Lanfree - No]"), 1u);
}

class RegisterLanFreeTest : public t2test::T2Fixture {
 protected:
  void SetUp() override {
    inst_.SetConfig("Hxd", "ThrottleLanFreeSDT", "0");
    inst_.SetConfig("Hxd", "ComputerThroughputMBPH", "900");
    T2Fixture::SetUp();
  }
  unsigned int Kind() const override { return kTMKindOutbound; }
};

TEST_F(RegisterLanFreeTest, LanFreeStreamKeepsItsFlagIsNotCountedAndHearsTheJobRate) {
  _TMSRegParams lanFree = Params(3, 1, 0, 0x4);
  _TMSRegParams normal = Params(3, 2);
  const unsigned long long hl = m_.RegisterStream(lanFree);
  const unsigned long long hn = m_.RegisterStream(normal);
  EXPECT_EQ(lanFree.Flags, 0x4u);
  EXPECT_EQ(Stream(hl).Flags, 0x5u);
  EXPECT_EQ(Job(hl).ActiveStreamCount, 2u);
  EXPECT_EQ(Job(hl).ActiveThrottStreamCount, 1u);
  EXPECT_EQ(LogCount("[Flags - 4][Lanfree - Yes]"), 1u);
  // The configured machine limit goes to the one throttled stream, and the
  // LAN-free stream is told the same job rate.
  EXPECT_EQ(Rate(hn), 900u);
  EXPECT_EQ(Rate(hl), 900u);
  // The configured value comes back with every registration.
  ASSERT_EQ(m_.SetComputerMaxThroghput(100), 0);
  EXPECT_EQ(Rate(hn), 100u);
  _TMSRegParams again = Params(4);
  m_.RegisterStream(again);
  unsigned int machine = 0;
  ASSERT_EQ(m_.GetComputerThroughput(machine), 0);
  EXPECT_EQ(machine, 900u);
}

TEST_F(RegisterTest, RateQueryRecordsProgressAndRefusesStaleAndInvalidHandles) {
  _TMSRegParams p = Params(1, 1, 64);
  const unsigned long long h = m_.RegisterStream(p);
  env_.now += 30;
  EXPECT_EQ(Rate(h, 0x123456789ULL), 64u);
  EXPECT_EQ(uint64_t{Stream(h).SizeProcessed}, 0x123456789ULL);
  EXPECT_EQ(Stream(h).LatUpdateTime, env_.now);

  unsigned int rate = 4242;
  EXPECT_EQ(m_.GetThroughputRate(h + 1, 5, rate), 2);  // another unique id
  EXPECT_EQ(rate, 4242u);
  EXPECT_EQ(uint64_t{Stream(h).SizeProcessed}, 0x123456789ULL);

  EXPECT_EQ(m_.GetThroughputRate(0xFFFFFFFFFFFFFFFFULL, 5, rate), -1);
  EXPECT_EQ(m_.GetThroughputRate(0x0000020000000001ULL, 5, rate), -1);  // stream slot 512
  EXPECT_EQ(rate, 4242u);
  EXPECT_EQ(LogCount("GetThroughputRate(): [ERROR] Invalid Job-Index 65535"), 1u);
  EXPECT_EQ(LogCount("GetThroughputRate(): [ERROR] Invalid Stream-Index 512"), 1u);

  // Once released, the slot is never written by a query with the old handle.
  ASSERT_EQ(m_.UnregisterStream(h), 0);
  EXPECT_EQ(m_.GetThroughputRate(h, 99, rate), 2);
  EXPECT_TRUE(t1test::AllZero(&t_->Jobs[0], sizeof(_TMJobRecord)));
}

TEST_F(RegisterTest, JobLimitForAnAbsentJobCreatesAJobWithoutStreams) {
  ASSERT_EQ(m_.SetJobMaxThroghput(44, 120), 0);
  ASSERT_EQ(t_->ActiveJobCount, 1u);
  EXPECT_EQ(t_->Jobs[0].JobID, 44u);
  EXPECT_EQ(t_->Jobs[0].ThrottleMBPH, 120u);
  EXPECT_EQ(t_->Jobs[0].ActiveStreamCount, 0u);
  EXPECT_EQ(LogCount("SetJobMaxThroghput(): [Job-id - 44][Thpt - 120]"), 1u);

  // A registration of that job takes the limit that was set, not its own.
  _TMSRegParams p = Params(44, 1, 999);
  const unsigned long long h1 = m_.RegisterStream(p);
  const unsigned long long h2 = m_.RegisterStream(p);
  EXPECT_EQ(t_->ActiveJobCount, 1u);
  EXPECT_EQ(Rate(h1), 60u);
  ASSERT_EQ(m_.SetJobMaxThroghput(44, 30), 0);
  EXPECT_EQ(Rate(h2), 15u);
  EXPECT_EQ(m_.UnregisterStream(h1), 0);
  EXPECT_EQ(m_.UnregisterStream(h2), 0);
  EXPECT_EQ(t_->ActiveJobCount, 0u);

  // A slot with neither streams nor a limit holds nothing: the next pass
  // releases it, keeping one that a limit holds.
  ASSERT_EQ(m_.SetJobMaxThroghput(45, 0), 0);
  ASSERT_EQ(m_.SetJobMaxThroghput(46, 10), 0);
  ASSERT_EQ(t_->ActiveJobCount, 2u);
  _TMSRegParams q = Params(47);
  EXPECT_EQ(m_.UnregisterStream(m_.RegisterStream(q)), 0);
  EXPECT_EQ(m_.GetJobIndex(45), -1);
  EXPECT_GE(m_.GetJobIndex(46), 0);
}

TEST_F(RegisterTest, FullJobAndStreamTablesFailWithTheInvalidHandle) {
  inst_.SetConfig("Platform", "DebugLevel", "3");
  ASSERT_TRUE(m_.Lock());
  // Each held by a limit: a pass releases job slots with neither streams nor limit.
  for (int j = 0; j < 512; ++j) ASSERT_GE(m_.ReserveJobIndex(1000 + j, 1), 0);
  m_.Unlock();
  _TMSRegParams p = Params(1);
  EXPECT_EQ(m_.RegisterStream(p), kTMInvalidHandle);
  EXPECT_EQ(LogCount("RegisterStream(): [ERROR] Reserve Job Index has been failed.."), 1u);
  EXPECT_EQ(t_->UniqueID, 0u);  // no stream was attempted
  EXPECT_EQ(m_.SetJobMaxThroghput(2, 10), 0);
  EXPECT_EQ(LogCount("SetJobMaxThroghput(): [ERROR] Reserve Job Index has been failed.."), 1u);

  // Job 1000 (slot 0) gets all 512 of its stream slots, then no more.
  ASSERT_TRUE(m_.Lock());
  for (unsigned int k = 0; k < 511; ++k) {
    char name[] = "n";
    ASSERT_GE(m_.ReserveStreamIndex(0, 5000 + k, 1000, k, 0, 0, name), 0);
  }
  m_.Unlock();
  _TMSRegParams q = Params(1000);
  const unsigned long long last = m_.RegisterStream(q);
  EXPECT_EQ(t2test::StreamSlotOf(last), 511u);
  const uint32_t before = t_->UniqueID;
  EXPECT_EQ(m_.RegisterStream(q), kTMInvalidHandle);
  EXPECT_EQ(t_->UniqueID, before + 1);  // consumed all the same
  EXPECT_EQ(LogCount("RegisterStream(): [ERROR] Reserve Stream Index has been failed.."), 1u);
}

TEST_F(RegisterTest, RateQueryWaitsForTheTableLockAndSeesTheReleaseMadeUnderIt) {
  _TMSRegParams p = Params(1);
  const unsigned long long h = m_.RegisterStream(p);
  // Another manager of the same table, on another thread, holds the lock and
  // unregisters the stream while the query waits.
  t2test::Manager other(&env_);
  ASSERT_EQ(other.Initialize(inst_.focus().c_str(), 6, kTMKindCloudOutbound), 0);
  ASSERT_TRUE(other.Lock());
  std::atomic<bool> done{false};
  int result = 0;
  std::thread query([&] {
    unsigned int rate = 0;
    result = m_.GetThroughputRate(h, 12345, rate);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(other.UnregisterStream(h), 0);
  other.Unlock();
  query.join();
  EXPECT_EQ(result, 2);
  EXPECT_TRUE(t1test::AllZero(&t_->Jobs[0], sizeof(_TMJobRecord)));
  EXPECT_EQ(uint64_t{t_->TotalSizeProcessed}, 0u);
  EXPECT_EQ(other.Uninitialize(), 0);
}

}  // namespace
