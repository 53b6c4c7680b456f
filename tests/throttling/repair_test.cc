// The check-and-repair pass: tables left half-changed (as by a lock holder
// killed inside) or overwritten are brought back to the invariants that an
// independent checker states, keeping every stream the in-use flags name;
// and the pass runs by itself when the lock's previous holder died.
#include <functional>
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "tests/throttling/t2_test_util.h"
#include "tests/throttling/table_invariants.h"

namespace {

class RepairManager : public t2test::Manager {
 public:
  using t2test::Manager::Manager;
  using CHxThrottlingManager::CheckAndRepairTable;
};

// A table with job 10 holding three streams (one LAN-free), job 20 holding a
// limit and no stream, and job 30 holding one stream.
struct Scene {
  Scene() {
    inst.SetConfig("Hxd", "ThrottleLanFreeSDT", "0");
    EXPECT_EQ(m.Initialize(inst.focus().c_str(), 3, kTMKindOutbound), 0);
    t = m.table();
    for (uint32_t job : {10u, 10u, 30u}) Register(job, 0);
    Register(10, kTMStreamNotThrottled);
    EXPECT_EQ(m.SetJobMaxThroghput(20, 100), 0);
    EXPECT_EQ(t1test::TableViolations(*t), std::vector<std::string>{});
  }
  ~Scene() { EXPECT_EQ(m.Uninitialize(), 0); }
  void Register(uint32_t job, uint32_t flags) {
    _TMSRegParams p = t2test::Params(job, 1, 0, flags);
    EXPECT_NE(m.RegisterStream(p), kTMInvalidHandle);
  }
  _TMJobRecord& JobOf(uint32_t id) { return t->Jobs[m.GetJobIndex(id)]; }
  // Streams in use per job id, as the flags tell.
  std::map<uint32_t, int> StreamsByJob() const {
    std::map<uint32_t, int> out;
    for (const _TMJobRecord& j : t->Jobs) {
      if (j.Flags != kTMJobInUse) continue;
      int n = 0;
      for (const _TMStreamRecord& s : j.Streams) n += (s.Flags & kTMStreamInUse) != 0;
      out[j.JobID] = n;
    }
    return out;
  }
  size_t RepairLines() const {
    return t1test::LogTexts(inst, "CheckAndRepairTable(): [ERROR]").size();
  }

  hxtest::TestInstance inst;
  RepairManager m;
  _TMThrottleTable* t = nullptr;
};

TEST(RepairTest, DamagedTablesAreRebuiltFromTheInUseFlags) {
  using Streams = std::map<uint32_t, int>;
  const Streams all{{10, 3}, {20, 0}, {30, 1}};
  struct Case {
    const char* what;
    std::function<void(Scene&)> damage;
    Streams after;
  };
  const Case cases[] = {
      {"sound table", [](Scene&) {}, all},
      {"stream reserved but not counted",
       [](Scene& r) {
         _TMJobRecord& j = r.JobOf(30);
         j.Streams[j.StreamAT[1]].Flags = kTMStreamInUse;
         j.Streams[j.StreamAT[1]].UniqueID = 99;
       },
       {{10, 3}, {20, 0}, {30, 2}}},
      {"released stream not zeroed",
       [](Scene& r) {
         _TMJobRecord& j = r.JobOf(10);
         j.Streams[j.StreamAT[3]].SizeProcessed = 5;
       },
       all},
      {"entry moved but not its back index",
       [](Scene& r) {
         _TMJobRecord& j = r.JobOf(10);
         std::swap(j.StreamAT[0], j.StreamAT[2]);
         std::swap(r.t->JobAT[0], r.t->JobAT[1]);
       },
       all},
      {"duplicate entries",
       [](Scene& r) {
         r.t->JobAT[2] = r.t->JobAT[0];
         r.JobOf(10).StreamAT[1] = 7777;
       },
       all},
      {"job slot left without streams or limit",
       [](Scene& r) {
         _TMJobRecord& j = r.JobOf(20);
         j.ThrottleMBPH = 0;
       },
       {{10, 3}, {30, 1}}},
      {"free job slot not zero", [](Scene& r) { r.t->Jobs[r.t->JobAT[200]].JobID = 4; },
       all},
      {"impossible counts",
       [](Scene& r) {
         r.t->ActiveJobCount = 9999;
         r.t->JobATIndex = 1;
         r.JobOf(10).StreamATIndex = 700;
         r.JobOf(10).ActiveThrottStreamCount = 3;
         r.JobOf(30).ActiveStreamCount = 0;
       },
       all},
      {"job flag with stray bits", [](Scene& r) { r.JobOf(30).Flags = 0x81; }, all},
      {"stream flagged in a free job slot",
       [](Scene& r) { r.t->Jobs[r.t->JobAT[300]].Streams[4].Flags = kTMStreamInUse; },
       all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scene r;
    ASSERT_TRUE(r.m.Lock());
    c.damage(r);
    const bool damaged = !t1test::TableViolations(*r.t, {true}).empty();
    const unsigned int repairs = r.m.CheckAndRepairTable("test");
    EXPECT_EQ(repairs != 0, damaged);
    EXPECT_EQ(t1test::TableViolations(*r.t, {true}), std::vector<std::string>{});
    EXPECT_EQ(r.StreamsByJob(), c.after);
    EXPECT_EQ(r.RepairLines(), damaged ? 1u : 0u);
    EXPECT_EQ(r.m.CheckAndRepairTable("again"), 0u);
    r.m.Unlock();
  }
}

// A holder killed inside the lock: the next holder repairs before use.
TEST(RepairTest, NextHolderRepairsWhatAKilledHolderLeft) {
  Scene r;
  const std::string held = r.inst.root() + "/held";
  t2test::Child holder(hxtest::ChildPath("t2_job_child"), {"hold", held}, r.inst.root());
  ASSERT_TRUE(t2test::WaitForFile(held));
  // The half-made change the holder was making: a stream reserved, not counted.
  _TMJobRecord& j = r.JobOf(30);
  j.Streams[j.StreamAT[1]].Flags = kTMStreamInUse;
  holder.Kill();
  ASSERT_TRUE(r.m.Lock());
  EXPECT_EQ(t1test::TableViolations(*r.t, {true}), std::vector<std::string>{});
  r.m.Unlock();
  EXPECT_EQ(r.RepairLines(), 1u);
  EXPECT_EQ(t1test::LogTexts(r.inst, "(the previous lock holder died)").size(), 1u);
  // Only once: the next take-over is an ordinary one.
  ASSERT_TRUE(r.m.Lock());
  r.m.Unlock();
  EXPECT_EQ(t1test::LogTexts(r.inst, "CheckAndRepairTable()").size(), 1u);
}

}  // namespace
