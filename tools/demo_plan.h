// The demo scenario as data: which jobs run on which table, with which
// limits, when they start and end, and when the machine limit changes and a
// controlling process is killed. Times are milliseconds from the start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hxctl {

struct DemoOptions {
  uint32_t seconds = 30;
  uint32_t jobs = 4;
  uint32_t streams = 3;
  uint32_t machineMbph = 36000;
  std::string stateDir;  // empty: a temporary directory
  std::string registry;  // empty: <state>/registry
  bool plain = false;
};

struct DemoJobPlan {
  uint32_t index = 0;       // position in DemoPlan::jobs
  uint32_t jobId = 0;
  unsigned int kind = 1;    // 1 outbound, 2 inbound
  uint32_t limitMbph = 0;   // the job's own limit; 0 = none
  uint32_t streams = 0;
  uint32_t startMs = 0;
  uint32_t endMs = 0;
  std::string computer;     // computer name registered with the streams
};

struct DemoPlan {
  std::vector<DemoJobPlan> jobs;
  uint32_t endMs = 0;
  uint32_t limitChangeMs = 0;   // the machine limit goes to newMachineMbph
  uint32_t newMachineMbph = 0;
  uint32_t killMs = 0;          // the controller of jobs[killIndex] is killed
  uint32_t killIndex = 0;
  uint32_t lateIndex = 0;       // the job that registers after the kill
};

// Jobs alternate outbound / inbound; the 2nd and 3rd of every four have a
// limit of their own; the last outbound job of the initial set is killed at
// 60 % of the run; one more outbound job joins at 70 % so that its
// registration's clean-up removes the dead job's streams; one inbound job
// ends early; the machine limit halves at 50 %.
DemoPlan MakeDemoPlan(const DemoOptions& options);

}  // namespace hxctl
