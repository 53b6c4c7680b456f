// The registry of lock files open in this process. fcntl locks belong to the
// process and closing any descriptor of a file drops them, so all CNamedMutex
// objects of one path share one State: it follows a child made by fork (which
// inherits no fcntl lock) and moves to a new file found at the path.
// Internal to the platform library.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/hx_mutex.h"
#include "platform/named_mutex_word.h"
#include "platform/thread_annotations.h"

namespace hxp {

// Serialises the registry and every State's refs and fallbackLogged.
extern hx::Mutex g_registryMu;

// Everything of one lock file in this process.
struct State {
  std::string path;
  int refs GUARDED_BY(g_registryMu) = 0;
  // The file in use. A Mapping it stops pointing to is retired, never freed
  // before the State, so a thread that read it may go on using it.
  std::atomic<Mapping*> current{nullptr};
  hx::Mutex switchMu;  // serialises replacing current
  std::vector<Mapping*> retired GUARDED_BY(switchMu);
  std::atomic<unsigned> forkGeneration{0};  // written under switchMu
  bool fallbackLogged GUARDED_BY(g_registryMu) = false;

  // Shared-word lock. The fields below holder belong to the thread that holds
  // the word, which the analysis cannot name: holder tells who that is.
  std::atomic<unsigned long> holder{0};  // pthread_self of the holder, 0 = none here
  long depth = 0;
  Mapping* held = nullptr;
  int64_t checkedAtMs = INT64_MIN / 2;
  uint64_t checkedTicks = 0;
  int64_t touchedAtMs = INT64_MIN / 2;  // also the file-lock holder's
  std::atomic<bool> ownerDied{false};

  // File-lock variant.
  hx::Mutex mu;
  hx::CondVar cv;
  bool owned GUARDED_BY(mu) = false;  // a thread holds or is taking the file lock
  std::thread::id owner GUARDED_BY(mu);
  long fileDepth GUARDED_BY(mu) = 0;
};

// The State of path, opening the file (with wantShared also its liveness byte
// and segment) when this process has none yet; null with errno and *why when
// the file cannot be opened or is of another format.
State* Acquire(const std::string& path, bool wantShared, std::string* why)
    EXCLUDES(g_registryMu);
// Drops one reference; the last closes every file of s and frees it.
void Release(State* s) EXCLUDES(g_registryMu);
// True the first time it is asked for s: whether a fall-back is still to be told.
bool FirstFallback(State* s) EXCLUDES(g_registryMu);

// In a child made by fork: forgets what the parent held and takes a liveness
// byte of its own, once per fork.
void AdoptIfForked(State* s);

// Milliseconds of the coarse monotonic clock (the environment's).
int64_t NowMs();
// Cleaners remove files by age: the holder gives the lock file in use a fresh
// modification time when the last was kTouchEveryMs ago.
void TouchIfDue(State* s, int fd, int64_t nowMs);

// Replaces s's file by the one now at the path. The caller holds neither lock
// of the old file afterwards (it releases them itself). False with errno and
// *why when the new file cannot be used.
bool SwitchFile(State* s, Mapping* old, std::string* why);

}  // namespace hxp
