// Threads, events and in-process locks.
#pragma once

#include "platform/hx_export.h"
#include "platform/thread_annotations.h"

class HXP_EXPORT HxThread {
 public:
  typedef void* (*Entry)(void*);
  HxThread();
  ~HxThread();  // joins a thread still joinable
  // 0 = a new thread runs entry(argument); non-zero on failure.
  int createThread(Entry entry, void* argument);
  // Waits for the thread started by createThread; 0 on success.
  int join();

 private:
  struct Impl;
  Impl* impl_;
};

// An event. manualReset true: stays set until reset(); false: one wait()
// consumes it.
class HXP_EXPORT HxEventH {
 public:
  explicit HxEventH(bool manualReset);
  ~HxEventH();
  // Returns 0 when the event was set, 1 on time-out.
  int wait(unsigned long milliseconds);
  void set();
  void reset();

 private:
  struct Impl;
  Impl* impl_;
};

// In-process lock, re-entrant for the holding thread. (The analysis sees a
// lock that is not re-entrant: re-entering code says so with an opt-out.)
class HXP_EXPORT CAPABILITY("critical section") HxCriticalSectionH {
 public:
  HxCriticalSectionH();
  ~HxCriticalSectionH();
  void enter(bool wait) ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  void leave() RELEASE() NO_THREAD_SAFETY_ANALYSIS;

 private:
  struct Impl;
  Impl* impl_;
};
