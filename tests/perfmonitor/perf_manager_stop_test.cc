// Stop while the monitor thread is busy: mid-tick, or waiting for the manager
// lock. Stop must return as soon as the thread can finish, never deadlock.
#include <gtest/gtest.h>

#include <future>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;

// Long enough for any healthy Stop; only a deadlock exceeds it.
const auto kDeadlockBound = std::chrono::seconds(60);

class PerfManagerStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, m.Initialize(nullptr));
    p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  }
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  CHxPerfManager m{&env, 1};
  CHxPerfManagerTestPeer peer{m};
  FakeProvider p{"P", {RSRC_AGENT_SYSTEM}};
  std::promise<void> inside, release;  // first update entered / may go on
  std::atomic<bool> first{true};
};

TEST_F(PerfManagerStopTest, StopMidTickReturnsWhenTheTickEnds) {
  std::shared_future<void> go = release.get_future().share();
  p.onUpdate = [&](ResourceAgentType, iCHxPerfUpdateCallback*) {
    if (!first.exchange(false)) return;
    inside.set_value();
    go.wait();
  };
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(0, m.Run());
  inside.get_future().wait();

  auto stopped = std::async(std::launch::async, [&] { return m.Stop(); });
  ASSERT_TRUE(hxtest::Eventually([&] { return peer.stopRequested(); }));
  // The thread is still inside the provider: Stop cannot have finished.
  EXPECT_EQ(std::future_status::timeout, stopped.wait_for(std::chrono::milliseconds(20)));
  release.set_value();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(kDeadlockBound));
  EXPECT_EQ(0, stopped.get());
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(1, p.updateCalls.load());  // no tick after the stop request
  EXPECT_EQ(1, p.uninitCalls.load());
}

TEST_F(PerfManagerStopTest, StopWhileTheThreadWaitsForTheManagerLock) {
  peer.attachPolicy({hxtest::Policy(RSRC_AGENT_SYSTEM, 1, 7, 0)}, &hxtest::CollectPolicyRow);
  hxtest::PolicyRows(true);
  // The provider reports a row: the policy hand-off takes the manager lock.
  p.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    if (!first.exchange(false)) return;
    inside.set_value();
    _PerfLogItems items;
    items.version = "1.2";
    items.columns = {"A"};
    items.rows = {{"1"}};
    cb->OnUpdateLog(type, "Reporter", items);
  };
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));

  // Hold the lock so the monitor thread blocks in the hand-off, then ask for
  // the stop while it waits; the stopper queues on the lock too.
  peer.lock().enter(true);
  ASSERT_EQ(0, m.Run());
  inside.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the lock
  auto stopped = std::async(std::launch::async, [&] { return m.Stop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let Stop queue up
  peer.lock().leave();

  ASSERT_EQ(std::future_status::ready, stopped.wait_for(kDeadlockBound));
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(1, p.uninitCalls.load());
  // Delivered when the thread passed the stop test before the request, else
  // skipped; never twice.
  EXPECT_LE(hxtest::PolicyRows().size(), 1u);
}

TEST_F(PerfManagerStopTest, ConcurrentRunAndStopsNeverLeaveAThreadBehind) {
  for (int round = 0; round < 20; ++round) {
    CHxPerfManager m2(&env, 1);
    CHxPerfManagerTestPeer peer2(m2);
    ASSERT_EQ(0, m2.Initialize(nullptr));
    FakeProvider p2("P", {RSRC_AGENT_SYSTEM});
    p2.SetInterval(RSRC_AGENT_SYSTEM, 1);
    ASSERT_EQ(0, m2.RegisterPerfProvider(&p2));
    if (round % 2) {
      ASSERT_EQ(0, m2.Run());  // odd rounds: two stops of a running thread
    }
    auto a = std::async(std::launch::async, [&] { return round % 2 ? m2.Stop() : m2.Run(); });
    auto b = std::async(std::launch::async, [&] { return m2.Stop(); });
    ASSERT_EQ(std::future_status::ready, a.wait_for(kDeadlockBound));
    ASSERT_EQ(std::future_status::ready, b.wait_for(kDeadlockBound));
    // Whichever came first, no thread may still run (the stop is permanent).
    m2.Stop();
    EXPECT_FALSE(peer2.running());
    EXPECT_EQ(p2.initCalls.load(), p2.uninitCalls.load());
  }
}

}  // namespace
