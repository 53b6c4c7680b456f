// The environment through which `hxctl run` tells the preloaded library what
// job a program belongs to. hxctl writes it with WriteRunSettings; the library
// reads it back with ParseRunSettings in every process of the program (forks
// and execs inherit it). Values are checked strictly: anything malformed
// leaves the program unthrottled with a message, never half-configured.
#pragma once

#include <cstdint>
#include <string>

namespace hxrun {

constexpr const char* kEnvJob = "HXRUN_JOB";              // job id, decimal
constexpr const char* kEnvLimit = "HXRUN_LIMIT";          // job limit, MBPH (0: none)
constexpr const char* kEnvDirection = "HXRUN_DIRECTION";  // out, in or both
constexpr const char* kEnvTables = "HXRUN_TABLES";        // lan or cloud
constexpr const char* kEnvComputer = "HXRUN_COMPUTER";    // computer name of the streams
constexpr const char* kEnvFocus = "HXFOCUS";              // platform instance
constexpr const char* kLibraryName = "libhxrun.so";

struct RunSettings {
  uint32_t jobId = 0;
  uint32_t limitMBPH = 0;
  bool outbound = true;   // pace writes and sends
  bool inbound = false;   // pace reads and receives
  bool cloud = false;     // the cloud tables instead of the LAN ones
  std::string focus;
  std::string computer;   // at most 47 characters are used

  // Table kinds of CHxThrottlingManager::Initialize for each direction.
  unsigned int OutboundKind() const { return cloud ? 3 : 1; }
  unsigned int InboundKind() const { return cloud ? 4 : 2; }
};

// Reads the settings through get (getenv in the library). Returns 1 when the
// job variable is absent (not run by hxctl: stay out of the way), 0 with *out
// filled, -1 with *error naming the bad variable.
int ParseRunSettings(const char* (*get)(const char*), RunSettings* out, std::string* error);

// Parses a direction word ("out", "in", "both"); false for anything else.
bool ParseDirection(const std::string& word, bool* outbound, bool* inbound);

}  // namespace hxrun
