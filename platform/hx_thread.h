// Threads, events and in-process locks.
#pragma once

#include "platform/hx_export.h"

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

// In-process lock, re-entrant for the holding thread.
class HXP_EXPORT HxCriticalSectionH {
 public:
  HxCriticalSectionH();
  ~HxCriticalSectionH();
  void enter(bool wait);
  void leave();

 private:
  struct Impl;
  Impl* impl_;
};
