// Marks this thread as inside the preloaded library. A C library call made
// while the mark is up (the system library's own log and lock files, a signal
// handler that interrupted a wrapper on this thread) goes straight through,
// so the library never waits for a lock its own thread holds.
#pragma once

namespace hxrun {

extern __thread int t_depth __attribute__((tls_model("initial-exec")));

class Reentry {
 public:
  Reentry() : nested_(t_depth++ > 0) {}
  ~Reentry() { --t_depth; }
  Reentry(const Reentry&) = delete;
  Reentry& operator=(const Reentry&) = delete;
  bool nested() const { return nested_; }

 private:
  bool nested_;
};

}  // namespace hxrun
