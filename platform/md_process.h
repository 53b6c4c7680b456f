// Process check from /proc. Reads are plain open/read calls through HxSys:
// a process that exits mid-read, or any other failure, gives false, never an
// exception.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/hx_export.h"

// Field 22 (starttime) of the text of a /proc/<pid>/stat file, which may be
// anything: false unless it holds a complete decimal number there.
HXP_EXPORT bool MDParseStartTicks(const char* text, uint64_t* ticks);

class HXP_EXPORT MDProcess {
 public:
  explicit MDProcess(int64_t pid);
  // Whether a process with this pid exists (zombies count as existing).
  bool isAlive();
  // Start time in seconds since the epoch (btime + start ticks / CLK_TCK);
  // false when it cannot be told. btime is read once per process, so that a
  // later step of the wall clock does not move the start times this process
  // computes.
  bool getRunningProcessStartTime(timespec& start);
  // Start time in clock ticks after boot (field 22 of /proc/<pid>/stat): the
  // same number for the whole life of a process whatever the wall clock does,
  // and a different one for a later process that reuses the pid.
  bool getStartTicks(uint64_t& ticks);

 private:
  int64_t pid_;
};
