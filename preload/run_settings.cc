#include "preload/run_settings.h"

#include <cstring>

namespace hxrun {
namespace {

// Strict decimal u32: digits only, no sign or blanks, no overflow.
bool ParseU32(const char* text, uint32_t* out) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > UINT32_MAX) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool ParseDirection(const std::string& word, bool* outbound, bool* inbound) {
  if (word == "out" || word == "in" || word == "both") {
    *outbound = word != "in";
    *inbound = word != "out";
    return true;
  }
  return false;
}

int ParseRunSettings(const char* (*get)(const char*), RunSettings* out, std::string* error) {
  const char* job = get(kEnvJob);
  if (job == nullptr) return 1;
  RunSettings s;
  if (!ParseU32(job, &s.jobId)) {
    *error = std::string(kEnvJob) + " is not a job id";
    return -1;
  }
  const char* limit = get(kEnvLimit);
  if (limit != nullptr && !ParseU32(limit, &s.limitMBPH)) {
    *error = std::string(kEnvLimit) + " is not a number of MBPH";
    return -1;
  }
  const char* direction = get(kEnvDirection);
  if (direction != nullptr && !ParseDirection(direction, &s.outbound, &s.inbound)) {
    *error = std::string(kEnvDirection) + " is not out, in or both";
    return -1;
  }
  const char* tables = get(kEnvTables);
  if (tables != nullptr && std::strcmp(tables, "lan") != 0 && std::strcmp(tables, "cloud") != 0) {
    *error = std::string(kEnvTables) + " is not lan or cloud";
    return -1;
  }
  s.cloud = tables != nullptr && std::strcmp(tables, "cloud") == 0;
  const char* focus = get(kEnvFocus);
  s.focus = focus != nullptr ? focus : "";
  const char* computer = get(kEnvComputer);
  s.computer = computer != nullptr ? std::string(computer).substr(0, 47) : "";
  *out = s;
  return 0;
}

}  // namespace hxrun
