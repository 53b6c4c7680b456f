// A machine's share of a budget that several machines divide, as the
// configuration value "HxFleet" "Share" holds it:
//   "SHARE LEASE_END SAFE SAFE_END FLOOR"
// (MB per hour and time() seconds, decimal). Until LEASE_END the machine may
// use SHARE, then at most SAFE until SAFE_END, then FLOOR for good. The whole
// fall is written down in advance, so every process attached to a table
// follows it on time whether or not the writer is still alive.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hx_export.h"

namespace hx {

struct FleetShare {
  uint32_t share = 0;
  uint32_t leaseEnd = 0;
  uint32_t safe = 0;
  uint32_t safeEnd = 0;
  uint32_t floor = 0;
};

// Parses the record. Every limit must be above zero (a share never means "no
// limit") and LEASE_END <= SAFE_END. On refusal *error says why and *out is
// untouched.
HX_EXPORT bool ParseFleetShare(const std::string& text, FleetShare* out, std::string* error);
HX_EXPORT std::string FormatFleetShare(const FleetShare& s);
// The limit the record gives at now, and in *next the instant it changes next
// (0 when it never changes again). Times compare as serial numbers, so a
// clock near the 32-bit wrap still orders them.
HX_EXPORT uint32_t FleetLimitAt(const FleetShare& s, uint32_t now, uint32_t* next);

}  // namespace hx
