// Process check from /proc.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/hx_export.h"

class HXP_EXPORT MDProcess {
 public:
  explicit MDProcess(int64_t pid);
  // Whether a process with this pid exists (zombies count as existing).
  bool isAlive();
  // Start time in seconds since the epoch (btime + start ticks / CLK_TCK);
  // false when it cannot be told.
  bool getRunningProcessStartTime(timespec& start);

 private:
  int64_t pid_;
};
