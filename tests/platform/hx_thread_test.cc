#include "platform/hx_thread.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "gtest/gtest.h"
#include "platform/ua_sleep.h"

namespace {

void* Increment(void* arg) {
  static_cast<std::atomic<int>*>(arg)->fetch_add(1);
  return nullptr;
}

TEST(HxThreadTest, RunsTheEntryAndJoins) {
  std::atomic<int> n{0};
  {
    HxThread t;
    ASSERT_EQ(t.createThread(Increment, &n), 0);
    EXPECT_NE(t.createThread(Increment, &n), 0) << "one running thread per object";
    EXPECT_EQ(t.join(), 0);
    EXPECT_EQ(n.load(), 1);
    ASSERT_EQ(t.createThread(Increment, &n), 0) << "reusable after join";
  }  // the destructor joins
  EXPECT_EQ(n.load(), 2);
  HxThread none;
  EXPECT_NE(none.createThread(nullptr, nullptr), 0);
}

TEST(HxEventTest, AutoResetIsConsumedByOneWaitManualResetStaysSet) {
  HxEventH autoReset(false), manual(true);
  EXPECT_EQ(autoReset.wait(0), 1);
  autoReset.set();
  EXPECT_EQ(autoReset.wait(0), 0);
  EXPECT_EQ(autoReset.wait(10), 1) << "consumed";
  autoReset.set();
  autoReset.reset();
  EXPECT_EQ(autoReset.wait(0), 1);
  manual.set();
  EXPECT_EQ(manual.wait(0), 0);
  EXPECT_EQ(manual.wait(0), 0);
  manual.reset();
  EXPECT_EQ(manual.wait(0), 1);

  // Set from another thread wakes a long wait soon.
  auto start = std::chrono::steady_clock::now();
  std::thread setter([&] {
    UASLEEP(20);
    autoReset.set();
  });
  EXPECT_EQ(autoReset.wait(60000), 0);
  setter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(HxCriticalSectionTest, ReentrantAndExclusive) {
  HxCriticalSectionH cs;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 5000; ++i) {
      cs.enter(true);
      cs.enter(true);
      ++counter;
      cs.leave();
      cs.leave();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 10000);
}

}  // namespace
