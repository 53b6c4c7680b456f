// The shared-word lock of a lock file: a 32-bit word in the file's System V
// segment (NamedMutexSegment), taken and released by one atomic exchange
// each; only waiting enters the kernel (futex). Every process marks itself
// alive by a write lock on its liveness byte of the file, so that a waiter
// finds a holder that died and takes the word over. Internal to the platform
// library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/named_mutex_file.h"

namespace hxp {

// One opened lock file of this process: its descriptor, its attached segment
// and this process's liveness byte in it.
struct Mapping {
  int fd = -1;
  NamedMutexSegment* shared = nullptr;  // null: file locks only
  int segmentId = -1;
  uint32_t mine = 0;                    // slot + 1
};

// Takes a free liveness byte of the lock file fd for this process: slot + 1,
// or 0 when none.
uint32_t TakeSlot(int fd);

// Attaches the segment of m's file, creating it when none of its keys holds
// it. A segment under one of the keys that names another file (or is not one
// of ours) is left alone; one that cannot be examined ends the search, since
// it may be this file's. False with *why when there is none to use.
bool AttachSegment(Mapping* m, std::string* why);
// Detaches m's segment; the last process to do so removes it. A process
// killed while attached leaves it to the next user of the file.
void DetachSegment(Mapping* m);
// Removes the segment of the lock file fd when no process has it attached.
void RemoveUnusedSegment(int fd);

// A word naming this process's own fresh slot was left by a dead process that
// had the same slot: releases it for the others and tells the next holder.
void ClearStaleOwner(Mapping* m);

enum TakeResult { kTaken, kTimedOut, kFileChanged };

// Takes m's word for this process: at once, or (wait) within timeoutMs
// (-1 = without limit) counted from *deadline, which is set when waiting
// starts. kFileChanged when current stops being m while waiting.
TakeResult TakeWord(const std::atomic<Mapping*>& current, Mapping* m, bool wait, long timeoutMs,
                    std::chrono::steady_clock::time_point* deadline);
// Frees m's word when this process holds it; false when another does.
bool ReleaseWord(Mapping* m);

// The mark a take-over from a dead holder leaves until a holder repairs.
bool OwnerDiedMarked(const Mapping* m);
void ClearOwnerDied(Mapping* m);

}  // namespace hxp
