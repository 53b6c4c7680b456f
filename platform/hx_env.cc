#include "platform/hx_env.h"

#include <ctime>

#include "platform/hx_process.h"
#include "platform/monotonic_clock.h"

HxEnv::~HxEnv() = default;

HxEnv* HxEnv::Default() {
  static HxEnv* env = new HxEnv;  // never destroyed: may be used by exit-time code
  return env;
}

uint32_t HxEnv::NowSeconds() { return static_cast<uint32_t>(time(nullptr)); }

int64_t HxEnv::MonotonicMs() { return hxp::MonotonicMs(true); }

int HxEnv::RunCommand(const std::string& command, std::string* out, std::string* err) {
  return HxProcess::system(command.c_str(), out, err, 0, true);
}
