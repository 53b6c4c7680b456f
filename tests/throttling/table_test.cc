// The shared segment object, the stream handle, and the table as an
// inter-process format (two processes, two ABIs).
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "tests/common/test_env.h"
#include "tests/throttling/table_record_io.h"
#include "tests/throttling/table_test_util.h"

namespace {

using t1test::TestManager;

class ShMemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keyFile_ = t1test::KeyFile(inst_, "_HX_THROTTLE_SHMEM_TEST");
    hxtest::WriteFile(keyFile_, "");
    key_ = static_cast<unsigned int>(t1test::KeyOf(keyFile_));
    ASSERT_NE(key_, 0xFFFFFFFFu);
  }
  CHxShMemUnix* Make() {
    objects_.emplace_back(GetCHxShMem(), &FreeCHxShMem);
    return static_cast<CHxShMemUnix*>(objects_.back().get());
  }
  void TearDown() override {
    for (auto& o : objects_) o->Disconnect(false);
  }

  hxtest::TestInstance inst_;
  std::string keyFile_;
  unsigned int key_ = 0;
  std::vector<std::unique_ptr<CHxShMem, void (*)(CHxShMem*)>> objects_;
};

TEST_F(ShMemTest, RejectsZeroKeyOrSizeAndNamedSegments) {
  CHxShMem* shm = Make();
  bool created = false;
  int sysError = 99;
  EXPECT_EQ(shm->Connect(0u, 4096u, created, sysError), 2);
  EXPECT_FALSE(created);  // left as it was
  EXPECT_EQ(sysError, 0);
  created = true;
  EXPECT_EQ(shm->Connect(key_, 0u, created, sysError), 2);
  EXPECT_TRUE(created);
  EXPECT_EQ(shm->GetMemPointer(), nullptr);
  EXPECT_EQ(t1test::SegmentOf(keyFile_), -1) << "nothing may be created";

  created = false;
  EXPECT_EQ(shm->Connect(static_cast<const char*>(nullptr), 4096u, created, sysError), 2);
  EXPECT_EQ(shm->Connect("name", 0u, created, sysError), 2);
  EXPECT_FALSE(created);
  EXPECT_EQ(shm->Connect("name", 4096u, created, sysError), -1);
  EXPECT_TRUE(created);
  EXPECT_EQ(shm->GetMemPointer(), nullptr);
}

TEST_F(ShMemTest, CreatesReusesAndRemoves) {
  CHxShMemUnix* first = Make();
  bool created = false;
  int sysError = -1;
  ASSERT_EQ(first->Connect(key_, 8192u, created, sysError), 0);
  EXPECT_TRUE(created);
  EXPECT_EQ(sysError, 0);
  EXPECT_EQ(first->GetAttachedSize(), 8192u);
  char* a = static_cast<char*>(first->GetMemPointer());
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(t1test::AllZero(a, 8192));
  strcpy(a + 100, "kept");

  // Same key and size: the same segment, contents unchanged.
  CHxShMemUnix* second = Make();
  ASSERT_EQ(second->Connect(key_, 8192u, created, sysError), 0);
  EXPECT_FALSE(created);
  EXPECT_EQ(second->GetSegmentId(), first->GetSegmentId());
  EXPECT_STREQ(static_cast<char*>(second->GetMemPointer()) + 100, "kept");

  // Disconnect(false) keeps the segment for the next Connect.
  EXPECT_EQ(second->Disconnect(false), 0);
  EXPECT_EQ(second->GetMemPointer(), nullptr);
  EXPECT_EQ(second->GetAttachedSize(), 0u);
  ASSERT_EQ(second->Connect(key_, 8192u, created, sysError), 0);
  EXPECT_FALSE(created);
  EXPECT_STREQ(static_cast<char*>(second->GetMemPointer()) + 100, "kept");

  // Disconnect(true) removes it: the next Connect starts a new, zeroed one.
  const int oldId = second->GetSegmentId();
  EXPECT_EQ(second->Disconnect(true), 0);
  EXPECT_EQ(second->GetSegmentId(), -1);
  EXPECT_EQ(first->Disconnect(false), 0);
  EXPECT_EQ(t1test::SegmentOf(keyFile_), -1);
  ASSERT_EQ(second->Connect(key_, 8192u, created, sysError), 0);
  EXPECT_TRUE(created);
  EXPECT_NE(second->GetSegmentId(), oldId);
  EXPECT_TRUE(t1test::AllZero(second->GetMemPointer(), 8192));
  second->Disconnect(true);
}

TEST_F(ShMemTest, ReplacesSegmentOfAnotherSize) {
  CHxShMemUnix* small = Make();
  bool created = false;
  int sysError = 0;
  ASSERT_EQ(small->Connect(key_, 4096u, created, sysError), 0);
  memset(small->GetMemPointer(), 0x5A, 4096);

  CHxShMemUnix* big = Make();
  ASSERT_EQ(big->Connect(key_, 16384u, created, sysError), 0);
  EXPECT_TRUE(created);
  EXPECT_NE(big->GetSegmentId(), small->GetSegmentId());
  EXPECT_TRUE(t1test::AllZero(big->GetMemPointer(), 16384));
  struct shmid_ds st;
  ASSERT_EQ(shmctl(t1test::SegmentOf(keyFile_), IPC_STAT, &st), 0);
  EXPECT_EQ(st.shm_segsz, 16384u);
  // The process still attached to the old segment keeps its mapping.
  EXPECT_EQ(static_cast<unsigned char*>(small->GetMemPointer())[4095], 0x5A);
  small->Disconnect(false);
  big->Disconnect(true);
}

// A record written by this process is read field by field by another (the
// other direction is covered by the job processes sharing a table).
void ExchangeRecordsWith(const std::string& child) {
  hxtest::TestInstance inst;
  TestManager m;
  ASSERT_EQ(m.Initialize(inst.focus().c_str(), 7, kTMKindCloudOutbound), 0);
  _TMThrottleTable& t = *m.table();

  // Job slot 300 / stream slot 511: the last stream record of a far job, so
  // that any drift in a record's size shows. The child prints what it reads.
  ASSERT_TRUE(m.Lock());
  t1test::FillPattern(t, 300, 1234);
  const std::string expected = t1test::Describe(t, 300, 511);
  m.Unlock();
  std::string out;
  ASSERT_EQ(hxtest::RunAndCapture(child, {"read", "300", "511"}, &out), 0);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(t.RefCount, 1u) << "the child must have counted itself out again";
  EXPECT_EQ(m.Uninitialize(), 0);
}

TEST(TableFormatTest, SameAbiProcessesShareRecords) {
  ExchangeRecordsWith(hxtest::ChildPath("t1_table_child"));
}

TEST(TableFormatTest, OtherAbiProcessSharesRecords) {
  const std::string child = hxtest::OtherAbiChildPath("t1_table_child");
  if (child.empty() || access(child.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "the other ABI's build is absent (set HX_OTHER_ABI_BIN_DIR and build "
                    "t1_table_child there)";
  }
  ExchangeRecordsWith(child);
}

}  // namespace
