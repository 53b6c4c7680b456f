// Stop while the monitor thread is busy: mid-tick, or waiting for the manager
// lock. Stop must return as soon as the thread can finish, never deadlock.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;

// Long enough for any healthy Stop; only a deadlock exceeds it.
const auto kDeadlockBound = std::chrono::seconds(60);

// A one-shot gate the monitor thread waits on inside a provider update.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> g(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

std::atomic<int> g_policyRows{0};
bool CountRow(unsigned long, unsigned long, std::vector<std::string>&) {
  ++g_policyRows;
  return true;
}

class PerfManagerStopTest : public ::testing::Test {
 protected:
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
};

TEST_F(PerfManagerStopTest, StopMidTickReturnsWhenTheTickEnds) {
  CHxPerfManager m(&env, 1);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  FakeProvider p("Slow", {RSRC_AGENT_SYSTEM});
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  Gate inside, release;
  std::atomic<bool> first{true};
  p.onUpdate = [&](ResourceAgentType, iCHxPerfUpdateCallback*) {
    if (first.exchange(false)) {
      inside.Open();
      release.Wait();
    }
  };
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  ASSERT_EQ(0, m.Run());
  inside.Wait();

  auto stopped = std::async(std::launch::async, [&] { return m.Stop(); });
  for (int i = 0; i < 10000 && !peer.stopRequested(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(peer.stopRequested());
  // The thread is still inside the provider: Stop cannot have finished.
  EXPECT_EQ(std::future_status::timeout, stopped.wait_for(std::chrono::milliseconds(20)));
  release.Open();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(kDeadlockBound));
  EXPECT_EQ(0, stopped.get());
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(1, p.updateCalls.load());  // no tick after the stop request
  EXPECT_EQ(1, p.uninitCalls.load());
}

TEST_F(PerfManagerStopTest, StopWhileTheThreadWaitsForTheManagerLock) {
  CHxPerfManager m(&env, 1);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  GenericResourcePolicyDetails rec;
  rec.agentType = RSRC_AGENT_SYSTEM;
  rec.policyId1 = 7;
  peer.attachPolicy({rec}, &CountRow);
  g_policyRows = 0;

  // The provider reports a row: the policy hand-off takes the manager lock.
  FakeProvider p("Reporter", {RSRC_AGENT_SYSTEM});
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  Gate reporting;
  std::atomic<bool> first{true};
  p.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    if (!first.exchange(false)) return;
    reporting.Open();
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
  reporting.Wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the lock
  auto stopped = std::async(std::launch::async, [&] { return m.Stop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let Stop queue up
  peer.lock().leave();

  ASSERT_EQ(std::future_status::ready, stopped.wait_for(kDeadlockBound));
  EXPECT_FALSE(peer.running());
  EXPECT_EQ(1, p.uninitCalls.load());
  // Delivered when the thread passed the stop test before the request, else
  // skipped; never twice.
  EXPECT_LE(g_policyRows.load(), 1);
}

TEST_F(PerfManagerStopTest, ConcurrentStopsBothReturnAndJoinOnce) {
  for (int round = 0; round < 20; ++round) {
    CHxPerfManager m(&env, 1);
    CHxPerfManagerTestPeer peer(m);
    ASSERT_EQ(0, m.Initialize(nullptr));
    FakeProvider p("P", {RSRC_AGENT_SYSTEM});
    p.SetInterval(RSRC_AGENT_SYSTEM, 1);
    ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    ASSERT_EQ(0, m.Run());
    auto a = std::async(std::launch::async, [&] { return m.Stop(); });
    auto b = std::async(std::launch::async, [&] { return m.Stop(); });
    ASSERT_EQ(std::future_status::ready, a.wait_for(kDeadlockBound));
    ASSERT_EQ(std::future_status::ready, b.wait_for(kDeadlockBound));
    EXPECT_FALSE(peer.running());
    EXPECT_EQ(p.initCalls.load(), p.uninitCalls.load());
  }
}

TEST_F(PerfManagerStopTest, StopRacingRunNeverLeavesAThreadBehind) {
  for (int round = 0; round < 20; ++round) {
    CHxPerfManager m(&env, 1);
    CHxPerfManagerTestPeer peer(m);
    ASSERT_EQ(0, m.Initialize(nullptr));
    FakeProvider p("P", {RSRC_AGENT_SYSTEM});
    p.SetInterval(RSRC_AGENT_SYSTEM, 1);
    ASSERT_EQ(0, m.RegisterPerfProvider(&p));
    auto run = std::async(std::launch::async, [&] { return m.Run(); });
    auto stop = std::async(std::launch::async, [&] { return m.Stop(); });
    ASSERT_EQ(std::future_status::ready, stop.wait_for(kDeadlockBound));
    ASSERT_EQ(std::future_status::ready, run.wait_for(kDeadlockBound));
    run.get();
    // Whichever came first, once both returned no thread may still run
    // (the stop request is permanent).
    m.Stop();
    EXPECT_FALSE(peer.running());
  }
}

}  // namespace
