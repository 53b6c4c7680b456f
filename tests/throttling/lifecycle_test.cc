// Manager lifecycle: creating, attaching, counting and removing the table,
// in one process and across processes; configuration; the daemon entry points.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>
#include <string>

#include "gtest/gtest.h"
#include "tests/common/test_env.h"
#include "tests/throttling/table_test_util.h"

namespace {

using t1test::TestManager;

const char kOutKey[] = "_HX_THROTTLE_SHMEM_OUT";

uint32_t RefCountOf(const std::string& keyFile) {
  t1test::Peek peek(keyFile);
  return peek.ok() ? peek.table()->RefCount : 0xDEADu;
}

bool IsFreshTable(const _TMThrottleTable& t) {
  for (uint32_t i = 0; i < kTMMaxJobs; ++i) {
    if (t.JobAT[i] != i) return false;
    for (uint32_t j = 0; j < kTMMaxStreams; j += 37) {
      if (t.Jobs[i].StreamAT[j] != j) return false;
    }
    if (t.Jobs[i].StreamAT[511] != 511 || t.Jobs[i].Flags != 0) return false;
  }
  return t.JobATIndex == 0 && t.ActiveJobCount == 0 && t.TotalSizeProcessed == 0;
}

// Waits (bounded) for a helper process to write its ready file.
std::string WaitForContent(const std::string& path) {
  std::string content;
  for (int i = 0; i < 12000 && content.empty(); ++i, usleep(5000)) {
    if (access(path.c_str(), F_OK) == 0) content = hxtest::ReadFile(path);
  }
  return content;
}

// The success line of Initialize written by process pid.
std::string InitializedLine(const hxtest::TestInstance& inst, long pid) {
  for (const t1test::LogRecord& r : t1test::LogRecords(inst)) {
    if (r.pid == pid && r.text.find("Initialize():Initialized  for ") == 0) return r.text;
  }
  return "";
}

TEST(LifecycleTest, TwoProcessesShareOneTableAndTheLastRemovesIt) {
  hxtest::TestInstance inst;
  const std::string child = hxtest::ChildPath("t1_table_child");
  const std::string keyFile = t1test::KeyFile(inst, kOutKey);
  const std::string ready1 = inst.root() + "/ready1", go1 = inst.root() + "/go1";
  const std::string ready2 = inst.root() + "/ready2", go2 = inst.root() + "/go2";

  const pid_t first = hxtest::Spawn(child, {"hold", ready1, go1});
  ASSERT_EQ(WaitForContent(ready1), "0");
  EXPECT_EQ(RefCountOf(keyFile), 1u);
  {
    t1test::Peek peek(keyFile);
    ASSERT_TRUE(peek.ok());
    EXPECT_EQ(peek.size(), static_cast<size_t>(kTMTableSize));
    EXPECT_TRUE(IsFreshTable(*peek.table()));
    EXPECT_EQ(peek.table()->UniqueID, 0u);
  }

  const pid_t second = hxtest::Spawn(child, {"hold", ready2, go2});
  ASSERT_EQ(WaitForContent(ready2), "0");
  EXPECT_EQ(RefCountOf(keyFile), 2u);

  // Under the i386 emulator the log shows the emulated process's own pid.
  const std::string line1 = InitializedLine(inst, first);
  const std::string line2 = InitializedLine(inst, second);
  EXPECT_NE(line1.find("[new - Yes] [Refcount - 1] [Data-Size - 57727012][V3]"),
            std::string::npos)
      << line1;
  EXPECT_NE(line2.find("[new - No] [Refcount - 2] [Data-Size - 57727012][V3]"),
            std::string::npos)
      << line2;

  hxtest::WriteFile(go1, "go");
  EXPECT_EQ(hxtest::WaitExit(first), 0);
  EXPECT_EQ(RefCountOf(keyFile), 1u);
  hxtest::WriteFile(go2, "go");
  EXPECT_EQ(hxtest::WaitExit(second), 0);
  EXPECT_EQ(t1test::SegmentOf(keyFile), -1) << "the last Uninitialize removes the segment";
  EXPECT_EQ(t1test::LogTexts(inst, "Ref.count reached zero destroying Memory block").size(), 1u);
}

TEST(LifecycleTest, SegmentOfAnotherSizeIsReplaced) {
  hxtest::TestInstance inst;
  const std::string keyFile = t1test::KeyFile(inst, kOutKey);
  hxtest::WriteFile(keyFile, "");
  const int foreign = shmget(t1test::KeyOf(keyFile), 4096, IPC_CREAT | IPC_EXCL | 0666);
  ASSERT_GE(foreign, 0);
  void* p = shmat(foreign, nullptr, 0);
  ASSERT_NE(p, reinterpret_cast<void*>(-1));
  memset(p, 0xFF, 4096);
  shmdt(p);

  TestManager m;
  ASSERT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
  EXPECT_NE(t1test::SegmentOf(keyFile), foreign);
  EXPECT_TRUE(IsFreshTable(*m.table()));
  EXPECT_EQ(m.table()->RefCount, 1u);
  EXPECT_EQ(t1test::LogTexts(inst, "[new - Yes]").size(), 1u);
  EXPECT_EQ(m.Uninitialize(), 0);
  EXPECT_EQ(t1test::SegmentOf(keyFile), -1);
}

TEST(LifecycleTest, SecondInitializeNeitherCountsTwiceNorLeaks) {
  hxtest::TestInstance inst;
  const std::string keyFile = t1test::KeyFile(inst, kOutKey);
  TestManager m;
  ASSERT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
  _TMThrottleTable* table = m.table();
  EXPECT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
  EXPECT_EQ(m.table(), table);
  EXPECT_EQ(table->RefCount, 1u);
  // Another table while attached: refused, the first stays attached.
  EXPECT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindInbound), -1);
  EXPECT_EQ(m.table(), table);
  EXPECT_EQ(table->RefCount, 1u);
  EXPECT_EQ(t1test::SegmentOf(t1test::KeyFile(inst, "_HX_THROTTLE_SHMEM_IN")), -1);
  EXPECT_EQ(m.Uninitialize(), 0);
  EXPECT_EQ(t1test::SegmentOf(keyFile), -1) << "one Uninitialize releases the one attachment";
}

TEST(LifecycleTest, RefusedInitializeLeavesNothingBehind) {
  hxtest::TestInstance inst;
  const std::string keyFile = t1test::KeyFile(inst, kOutKey);
  {
    // Throttling disabled by configuration.
    inst.SetConfig("Hxd", "DontUseParallelThrottling", "1");
    TestManager m;
    EXPECT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), -1);
    EXPECT_EQ(m.table(), nullptr);
    EXPECT_FALSE(m.Lock());
    EXPECT_EQ(m.Uninitialize(), 0);
    EXPECT_EQ(t1test::LogTexts(inst, "Initialize(): found regkey DontUseParallelThrottling set. "
                                     "disabling Throttling manager")
                  .size(),
              1u);
    inst.SetConfig("Hxd", "DontUseParallelThrottling", "0");
    EXPECT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
    EXPECT_EQ(m.Uninitialize(), 0);
    EXPECT_EQ(t1test::SegmentOf(keyFile), -1);
  }
  {
    TestManager m;
    EXPECT_EQ(m.Initialize(inst.focus().c_str(), 1, 5), -1) << "unknown table kind";
    EXPECT_EQ(m.table(), nullptr);
  }
  // Other processes of the machine may create segments meanwhile: look at
  // this instance's key only.
  EXPECT_EQ(t1test::SegmentOf(keyFile), -1);
}

TEST(LifecycleTest, ConfigurationSetsMachineThroughputForInAndOutOnly) {
  hxtest::TestInstance inst;
  inst.SetConfig("Hxd", "ComputerThroughputMBPH", "5000");
  TestManager out, cloud;
  ASSERT_EQ(out.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
  ASSERT_EQ(cloud.Initialize(inst.focus().c_str(), 1, kTMKindCloudOutbound), 0);
  EXPECT_EQ(out.table()->ComputerThrottleMBPH, 5000u);
  EXPECT_EQ(cloud.table()->ComputerThrottleMBPH, 0u);
  EXPECT_FALSE(t1test::LogTexts(inst, "ComputerThroughput Reg key set found [5000 MBPH]").empty());
  EXPECT_TRUE(out.lanFree());

  // Re-reading the configuration writes the configured value back, 0 included.
  ASSERT_TRUE(out.Lock());
  out.table()->ComputerThrottleMBPH = 42;
  inst.RemoveConfig("Hxd", "ComputerThroughputMBPH");
  out.ConfigureComputerThroughput();
  EXPECT_EQ(out.table()->ComputerThrottleMBPH, 0u);

  // "ThrottleLanFreeSDT" 0 stops throttling LAN-free streams, except on cloud tables.
  inst.SetConfig("Hxd", "ThrottleLanFreeSDT", "0");
  out.ConfigureComputerThroughput();
  EXPECT_FALSE(out.lanFree());
  out.Unlock();
  ASSERT_TRUE(cloud.Lock());
  cloud.ConfigureComputerThroughput();
  cloud.Unlock();
  EXPECT_TRUE(cloud.lanFree());
  EXPECT_EQ(t1test::LogTexts(inst, "ThrottleLanFreeSDT Reg key set found [disabling throttle for "
                                   "Lanfree-SDT]")
                .size(),
            1u);
  EXPECT_EQ(out.Uninitialize(), 0);
  EXPECT_EQ(cloud.Uninitialize(), 0);
}

TEST(LifecycleTest, DaemonStartResetsTablesKeepingCountAndUniqueId) {
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  TestManager job(&env);
  ASSERT_EQ(job.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
  ASSERT_TRUE(job.Lock());
  _TMThrottleTable& t = *job.table();
  const int slot = job.ReserveJobIndex(9, 100);
  char name[] = "host";
  ASSERT_GE(job.ReserveStreamIndex(slot, 17, 9, 1, 0, 2, name), 0);
  t.UniqueID = 17;
  t.TotalSizeProcessed = 12345;
  t.Jobs[slot].Streams[0].LastStats.JobType = 6;  // kept by a reset in place
  job.Unlock();

  ASSERT_EQ(InitializeThrottlingManagersForHXD(nullptr), 0);
  EXPECT_EQ(t.RefCount, 2u);
  EXPECT_EQ(t.UniqueID, 17u);
  EXPECT_EQ(t1test::U64(t.TotalSizeProcessed), 0u);
  EXPECT_TRUE(IsFreshTable(t));
  EXPECT_TRUE(t1test::AllZero(&t.Jobs[slot].Streams[0], offsetof(_TMStreamRecord, LastStats)));
  EXPECT_EQ(t.Jobs[slot].Streams[0].LastStats.JobType, 6u);
  EXPECT_EQ(RefCountOf(t1test::KeyFile(inst, "_HX_THROTTLE_SHMEM_IN")), 1u);
  EXPECT_EQ(t1test::LogTexts(inst, "HXDInitialize(): Succeeded...").size(), 2u);

  EXPECT_EQ(UnInitializeThrottlingManagersForHXD(), 0);
  EXPECT_EQ(t.RefCount, 1u);
  EXPECT_EQ(t1test::SegmentOf(t1test::KeyFile(inst, "_HX_THROTTLE_SHMEM_IN")), -1);
  EXPECT_EQ(job.Uninitialize(), 0);
}

// The last process attached removes the segment, whatever RefCount says: a
// process killed without Uninitialize leaves its count behind, and a foreign
// writer or a reset can zero it while others are attached.
TEST(LifecycleTest, TheAttachCountDecidesWhoIsLast) {
  struct Case {
    uint32_t refCount;  // written over the count before Uninitialize
    bool otherAttached; // another attach (not counted) stays
    bool removed;
  };
  const Case cases[] = {{0, false, true}, {1689, false, true}, {0, true, false}, {2, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("RefCount " + std::to_string(c.refCount) + (c.otherAttached ? " other" : ""));
    hxtest::TestInstance inst;
    const std::string keyFile = t1test::KeyFile(inst, kOutKey);
    TestManager m;
    ASSERT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
    m.table()->RefCount = c.refCount;
    {
      std::unique_ptr<t1test::Peek> other(c.otherAttached ? new t1test::Peek(keyFile) : nullptr);
      EXPECT_EQ(m.Uninitialize(), 0);
      EXPECT_EQ(t1test::SegmentOf(keyFile) == -1, c.removed);
    }
    EXPECT_EQ(t1test::LogTexts(inst, "[ERROR] RefCount already 0").size(), c.refCount == 0 ? 1u : 0u);
    hxtest::RemoveSegmentForKeyFile(keyFile);
  }
}

// One manager used by several threads while another uninitialises and
// initialises it: every operation either works or fails with its failure
// result, and none touches a table or mutex that is gone (run it under TSan).
TEST(LifecycleTest, OneManagerSurvivesUninitializeUnderItsThreads) {
  hxtest::TestInstance inst;
  TestManager m;
  const std::string focus = inst.focus();
  ASSERT_EQ(m.Initialize(focus.c_str(), 1, kTMKindCloudOutbound), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, done{0};
  std::vector<std::thread> users;
  for (int u = 0; u < 3; ++u) {
    users.emplace_back([&, u] {
      while (!stop.load()) {
        _TMSRegParams p;
        p.JobID = 1 + u;
        const unsigned long long h = m.RegisterStream(p);
        unsigned int rate = 0;
        const int r = m.GetThroughputRate(h, 1, rate);
        if (r != 0 && r != 2 && r != -1) ++bad;
        std::vector<_TMAllJobStreamInfo> jobs;
        unsigned long long total = 0;
        const int sized = m.GetDataSizeInfo(total, jobs);
        const int enumerated = m.EnumerateJobsInfo(nullptr, nullptr, 1);
        if ((sized != 0 && sized != -1) || (enumerated != 0 && enumerated != -1)) ++bad;
        if (h != kTMInvalidHandle && m.UnregisterStream(h) > 0) ++bad;
        ++done;
      }
    });
  }
  for (int cycle = 0; cycle < 20; ++cycle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(m.Uninitialize(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(m.Initialize(focus.c_str(), 1, kTMKindCloudOutbound), 0);
  }
  stop = true;
  for (std::thread& t : users) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(done.load(), 0);
  EXPECT_EQ(m.Uninitialize(), 0);
  EXPECT_EQ(t1test::SegmentOf(t1test::KeyFile(inst, "_HX_THROTTLE_CLOUD_SHMEM_OUT")), -1);
}

}  // namespace
