// Owners of one platform event and one platform lock. Both constructors throw
// a pointer to a constant text when the platform object cannot be allocated;
// no other operation throws.
#pragma once

#include "platform/hx_export.h"
#include "platform/hx_thread.h"

class HX_EXPORT HxEvent {
 public:
  // manualReset: the event stays set once set (see HxEventH).
  explicit HxEvent(bool manualReset);
  ~HxEvent();
  HxEvent(const HxEvent&) = delete;
  HxEvent& operator=(const HxEvent&) = delete;

  // Returns after at most milliseconds, or soon after set(): 0 when set,
  // 1 on time-out.
  int wait(unsigned long milliseconds);
  void set();

 private:
  HxEventH* event_;
};

// A lock that the holding thread may re-enter (each enter needs one leave).
class HX_EXPORT CAPABILITY("critical section") HxCriticalSection {
 public:
  HxCriticalSection();
  ~HxCriticalSection();
  HxCriticalSection(const HxCriticalSection&) = delete;
  HxCriticalSection& operator=(const HxCriticalSection&) = delete;

  void enter(bool wait) ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  void leave() RELEASE() NO_THREAD_SAFETY_ANALYSIS;

 private:
  HxCriticalSectionH* cs_;
};

// Holds an HxCriticalSection for the lifetime of the guard.
class SCOPED_CAPABILITY HxCriticalSectionGuard {
 public:
  explicit HxCriticalSectionGuard(HxCriticalSection& cs) ACQUIRE(cs) : cs_(cs) { cs_.enter(true); }
  ~HxCriticalSectionGuard() RELEASE() { cs_.leave(); }
  HxCriticalSectionGuard(const HxCriticalSectionGuard&) = delete;
  HxCriticalSectionGuard& operator=(const HxCriticalSectionGuard&) = delete;

 private:
  HxCriticalSection& cs_;
};
