// Interim: the demo and monitor commands need the resource monitor's
// start/stop entry points, which are not in the library yet.
#include "tools/commands.h"

namespace hxctl {

int RunDemo(const ParsedArgs&) {
  return Fail("demo", kExitFailure, "not available in this build (needs the resource monitor)");
}

int RunMonitor(const ParsedArgs&) {
  return Fail("monitor", kExitFailure, "not available in this build (needs the resource monitor)");
}

}  // namespace hxctl
