// The daemon's process-wide throttling managers and its entry points.
#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

CHxThrottlingManager g_ThrottlingManagerOut;
CHxThrottlingManager g_ThrottlingManagerIn;

extern "C" int InitializeThrottlingManagersForHXD(const char* focus) try {
  // Copy the focus: setFocus inside Initialize may replace the storage that
  // getFocus returned.
  const std::string name = focus != nullptr ? focus : HXPI_Focus::getFocus();
  g_ThrottlingManagerOut.HXDInitialize(name.c_str(), 0, kTMKindOutbound);
  return g_ThrottlingManagerIn.HXDInitialize(name.c_str(), 0, kTMKindInbound);
} catch (...) {
  // Only the copy of the name can throw; nothing is attached yet.
  return -1;
}

extern "C" int UnInitializeThrottlingManagersForHXD() {
  g_ThrottlingManagerOut.Uninitialize();
  return g_ThrottlingManagerIn.Uninitialize();
}
