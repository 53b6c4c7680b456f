#include "tools/demo_plan.h"

#include <cstdio>

namespace hxctl {

DemoPlan MakeDemoPlan(const DemoOptions& o) {
  DemoPlan plan;
  plan.endMs = o.seconds * 1000;
  plan.limitChangeMs = plan.endMs / 2;
  plan.newMachineMbph = o.machineMbph / 2;
  plan.killMs = plan.endMs * 6 / 10;
  uint32_t lateStart = plan.endMs * 7 / 10;

  for (uint32_t i = 0; i <= o.jobs; ++i) {
    DemoJobPlan j;
    j.index = i;
    j.jobId = 101 + i;
    j.streams = o.streams;
    j.endMs = plan.endMs;
    char computer[32];
    snprintf(computer, sizeof(computer), "client-%02u", static_cast<unsigned>(i + 1));
    j.computer = computer;
    if (i < o.jobs) {
      j.kind = (i % 2 == 0) ? 1 : 2;
      // A limit of its own that leaves room for the jobs without one.
      if (i % 4 == 1) j.limitMbph = o.machineMbph / 6;
      if (i % 4 == 2) j.limitMbph = o.machineMbph / 8;
      if (j.limitMbph == 0 && (i % 4 == 1 || i % 4 == 2)) j.limitMbph = 1;
    } else {
      j.kind = 1;  // the late job: same table as the killed one
      j.startMs = lateStart;
      plan.lateIndex = i;
    }
    plan.jobs.push_back(j);
  }
  // The last outbound job of the initial set is the one whose controller dies.
  for (uint32_t i = 0; i < o.jobs; ++i) {
    if (plan.jobs[i].kind == 1) plan.killIndex = i;
  }
  // The first inbound job finishes early, showing its share going to others.
  for (uint32_t i = 0; i < o.jobs; ++i) {
    if (plan.jobs[i].kind == 2) {
      plan.jobs[i].endMs = plan.endMs * 85 / 100;
      break;
    }
  }
  return plan;
}

}  // namespace hxctl
