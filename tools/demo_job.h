// The demo's job processes. A job is two processes: a controlling process,
// which the demo forks and which only waits, and a worker that it forks, which
// registers the job's streams (so the table records the controlling process
// as the streams' owner), moves simulated data at the allotted rate and
// reports. Workers send JobStatusMsg records over a pipe to the demo.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tools/demo_plan.h"

namespace hxctl {

enum JobState : uint32_t {
  kJobWaiting = 0,        // before its start time
  kJobRunning = 1,        // streams registered, moving data
  kJobStreamsRemoved = 2, // its handles went stale: the table removed its streams
  kJobFinished = 3,       // unregistered its streams and detached
  kJobFailed = 4,         // could not attach or register
};

// One status report of a worker; written in one write() (atomic on a pipe).
struct JobStatusMsg {
  uint32_t index;         // DemoJobPlan::index
  uint32_t state;         // JobState
  uint32_t workerPid;
  uint32_t streams;       // streams registered and not removed
  uint32_t allottedMbph;  // last rate answered to its streams (0 = no limit)
  uint32_t elapsedMs;     // since the start signal
  uint64_t bytes;         // moved by all its streams so far
};

// Simulated speed of a stream when no limit applies (rate answer 0), MBPH.
constexpr uint32_t kUnthrottledStreamMbph = 20000;
// Bytes in the MB of MBPH.
constexpr uint64_t kBytesPerMB = 1024 * 1024;

// In a freshly forked child: becomes the job's controlling process. Forks
// the worker, waits for it and _exits with its status. goFd is read by the
// worker: one byte starts it; end-of-file without a byte makes it exit
// without touching any table. statusFd is the pipe to the
// demo (non-blocking). Every other descriptor of the demo's pipes must be
// closed by the caller before this.
[[noreturn]] void RunJobController(const DemoJobPlan& job, const std::string& focus, int goFd,
                                   int statusFd);

}  // namespace hxctl
