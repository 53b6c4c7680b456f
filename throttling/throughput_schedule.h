// ThroughputSchedule: a weekly or daily timetable of machine limits, written as
// blank-separated entries "HH:MM,LIMIT" (daily) or "Day-HH:MM,LIMIT" (weekly,
// Day = Mon..Sun). LIMIT is MB per hour, "off" (no limit) or "OUT:IN" (each a
// number or "off"), giving the outbound and inbound tables their own values.
// An entry holds from its time until the next entry's, wrapping round the day
// or week. Times are the machine's local time: a time skipped by a
// daylight-saving change takes effect at the jump, a repeated one once (at its
// first occurrence).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hx_export.h"

namespace hx {

// A machine limit in MB per hour per direction; 0 means no limit, as in the
// table's machine-limit field.
struct ScheduleLimits {
  uint32_t out = 0;
  uint32_t in = 0;
  bool operator==(const ScheduleLimits& o) const { return out == o.out && in == o.in; }
  bool operator!=(const ScheduleLimits& o) const { return !(*this == o); }
};

class HX_EXPORT ThroughputSchedule {
 public:
  struct Entry {
    int day = -1;    // 0 = Monday .. 6 = Sunday; -1 for a daily entry
    int minute = 0;  // minute of the day, 0..1439
    ScheduleLimits limits;
  };

  // Parses text. An empty or all-blank text is an empty schedule. On failure
  // *this is left unchanged and *error says where (1-based character
  // position) and what was expected; nothing of the text is taken.
  bool Parse(const std::string& text, std::string* error);

  bool empty() const { return entries_.empty(); }
  const std::vector<Entry>& entries() const { return entries_; }

  // The limits in force at time `now` (seconds since the epoch) and, in
  // *next, the first instant after now at which an entry starts (0 when the
  // schedule is empty). Reads the local time zone (TZ) as localtime_r does.
  ScheduleLimits At(int64_t now, int64_t* next) const;

  // The first instant after `now` at which the limits differ from those at
  // now, with the new limits; false when they never change.
  bool NextChange(int64_t now, int64_t* when, ScheduleLimits* limits) const;

 private:
  std::vector<Entry> entries_;  // sorted by (day, minute)
};

// Renders limits as the schedule syntax writes them: "7200", "off",
// "36000:72000".
HX_EXPORT std::string FormatScheduleLimits(const ScheduleLimits& limits);

}  // namespace hx
