#include "tools/demo_plan.h"

#include "throttling/table_kinds.h"

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
      j.kind = (i % 2 == 0) ? kTMKindOutbound : kTMKindInbound;
      // A limit of its own that leaves room for the jobs without one.
      if (i % 4 == 1) j.limitMbph = o.machineMbph / 6;
      if (i % 4 == 2) j.limitMbph = o.machineMbph / 8;
      if (j.limitMbph == 0 && (i % 4 == 1 || i % 4 == 2)) j.limitMbph = 1;
    } else {
      j.kind = kTMKindOutbound;  // the late job: same table as the killed one
      j.startMs = lateStart;
      plan.lateIndex = i;
    }
    plan.jobs.push_back(j);
  }
  // The last outbound job of the initial set is the one whose controller dies.
  for (uint32_t i = 0; i < o.jobs; ++i) {
    if (plan.jobs[i].kind == kTMKindOutbound) plan.killIndex = i;
  }
  // The first inbound job finishes early, showing its share going to others.
  for (uint32_t i = 0; i < o.jobs; ++i) {
    if (plan.jobs[i].kind == kTMKindInbound) {
      plan.jobs[i].endMs = plan.endMs * 85 / 100;
      break;
    }
  }
  return plan;
}

}  // namespace hxctl
