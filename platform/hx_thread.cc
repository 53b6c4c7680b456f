#include "platform/hx_thread.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/hx_mutex.h"

struct HxThread::Impl {
  pthread_t thread{};
  bool joinable = false;
};

HxThread::HxThread() : impl_(new Impl) {}

HxThread::~HxThread() {
  join();
  delete impl_;
}

int HxThread::createThread(Entry entry, void* argument) {
  if (!entry || impl_->joinable) return -1;  // one thread per object at a time
  int rc = pthread_create(&impl_->thread, nullptr, entry, argument);
  if (rc != 0) return rc;
  impl_->joinable = true;
  return 0;
}

int HxThread::join() {
  if (!impl_->joinable) return 0;
  if (pthread_equal(impl_->thread, pthread_self())) return -1;  // would deadlock
  int rc = pthread_join(impl_->thread, nullptr);
  impl_->joinable = false;
  return rc;
}

struct HxEventH::Impl {
  hx::Mutex mu;
  hx::CondVar cv;
  bool manualReset = false;
  bool signaled GUARDED_BY(mu) = false;
};

HxEventH::HxEventH(bool manualReset) : impl_(new Impl) { impl_->manualReset = manualReset; }

HxEventH::~HxEventH() { delete impl_; }

int HxEventH::wait(unsigned long milliseconds) {
  // Waits of more than ten years are taken as "without limit".
  const unsigned long long kForever = 10ULL * 365 * 24 * 3600 * 1000;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(
      milliseconds >= kForever ? 0 : milliseconds);
  hx::MutexLock lock(&impl_->mu);
  while (!impl_->signaled) {
    if (milliseconds >= kForever) {
      impl_->cv.Wait(&impl_->mu);
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return 1;
    impl_->cv.WaitFor(&impl_->mu, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
  if (!impl_->manualReset) impl_->signaled = false;
  return 0;
}

void HxEventH::set() {
  hx::MutexLock lock(&impl_->mu);
  impl_->signaled = true;
  if (impl_->manualReset) {
    impl_->cv.SignalAll();
  } else {
    impl_->cv.Signal();
  }
}

void HxEventH::reset() {
  hx::MutexLock lock(&impl_->mu);
  impl_->signaled = false;
}

struct HxCriticalSectionH::Impl {
  std::recursive_mutex mu;
};

HxCriticalSectionH::HxCriticalSectionH() : impl_(new Impl) {}

HxCriticalSectionH::~HxCriticalSectionH() { delete impl_; }

// enter() always waits: it returns nothing, so a caller could not tell a
// failed try from success and would then leave() a lock it does not hold.
void HxCriticalSectionH::enter(bool /*wait*/) { impl_->mu.lock(); }

void HxCriticalSectionH::leave() { impl_->mu.unlock(); }
