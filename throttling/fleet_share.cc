#include "throttling/fleet_share.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace hx {

namespace {

bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

}  // namespace

bool ParseFleetShare(const std::string& text, FleetShare* out, std::string* error) {
  static const char* const kNames[] = {"share", "lease end", "safe share", "safe end", "floor"};
  uint32_t v[5];
  const char* p = text.c_str();
  for (int i = 0; i < 5; ++i) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') {
      *error = std::string("expected the ") + kNames[i] + " as a decimal number";
      return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = strtoull(p, &end, 10);
    if (errno != 0 || n > UINT32_MAX) {
      *error = std::string("the ") + kNames[i] + " is larger than 4294967295";
      return false;
    }
    v[i] = static_cast<uint32_t>(n);
    p = end;
  }
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  if (*p != '\0') {
    *error = "expected the end after five numbers";
    return false;
  }
  if (v[0] == 0 || v[2] == 0 || v[4] == 0) {
    *error = "a share, safe share or floor of 0 would mean no limit";
    return false;
  }
  if (Before(v[3], v[1])) {
    *error = "the safe end is before the lease end";
    return false;
  }
  *out = FleetShare{v[0], v[1], v[2], v[3], v[4]};
  return true;
}

std::string FormatFleetShare(const FleetShare& s) {
  return std::to_string(s.share) + " " + std::to_string(s.leaseEnd) + " " +
         std::to_string(s.safe) + " " + std::to_string(s.safeEnd) + " " +
         std::to_string(s.floor);
}

uint32_t FleetLimitAt(const FleetShare& s, uint32_t now, uint32_t* next) {
  if (Before(now, s.leaseEnd)) {
    *next = s.leaseEnd;
    return s.share;
  }
  if (Before(now, s.safeEnd)) {
    *next = s.safeEnd;
    return s.safe;
  }
  *next = 0;
  return s.floor;
}

}  // namespace hx
