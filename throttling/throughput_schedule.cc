#include "throttling/throughput_schedule.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <limits>

namespace hx {
namespace {

constexpr int64_t kDay = 86400;
const char* const kDayNames[7] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Monday = 0; 1970-01-01 was a Thursday.
int WeekdayOf(int64_t days) { return static_cast<int>(((days + 3) % 7 + 7) % 7); }

// Local minus UTC at instant t, in seconds.
int64_t LocalOffset(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return 0;
  return tm.tm_gmtoff;
}

// The first instant whose local wall-clock time is at or past local (local
// seconds since the epoch): the time itself when it exists, its earlier
// occurrence when it repeats, the jump when a change skips it.
int64_t FirstInstantAtOrAfter(int64_t local) {
  // Zones change offset at most twice a year, so the offsets at both ends of
  // a window of +-26 h are every offset that can apply near local.
  const int64_t before = local - LocalOffset(local - 26 * 3600);
  const int64_t after = local - LocalOffset(local + 26 * 3600);
  int64_t best = std::numeric_limits<int64_t>::max();
  for (int64_t t : {before, after}) {
    if (t + LocalOffset(t) == local) best = std::min(best, t);
  }
  if (best != std::numeric_limits<int64_t>::max()) return best;
  // Skipped: the wall clock passes local at the change between the two.
  int64_t lo = std::min(before, after), hi = std::max(before, after);
  if (lo + LocalOffset(lo) >= local || hi + LocalOffset(hi) < local) return hi;
  while (hi - lo > 1) {  // invariant: wall(lo) < local <= wall(hi)
    const int64_t mid = lo + (hi - lo) / 2;
    if (mid + LocalOffset(mid) >= local) hi = mid; else lo = mid;
  }
  return hi;
}

// Parses one limit value at text[*i]: digits or "off". 0 = no limit.
bool ParseValue(const std::string& text, size_t* i, uint32_t* value, std::string* error,
                size_t* errorPos) {
  size_t p = *i;
  if (text.size() - p >= 3 && std::tolower(static_cast<unsigned char>(text[p])) == 'o' &&
      std::tolower(static_cast<unsigned char>(text[p + 1])) == 'f' &&
      std::tolower(static_cast<unsigned char>(text[p + 2])) == 'f') {
    *value = 0;
    *i = p + 3;
    return true;
  }
  if (p >= text.size() || !Digit(text[p])) {
    *errorPos = p;
    *error = "a limit: MBPH, 'off' or OUT:IN";
    return false;
  }
  uint64_t v = 0;
  for (; p < text.size() && Digit(text[p]); ++p) {
    v = v * 10 + static_cast<uint64_t>(text[p] - '0');
    if (v > std::numeric_limits<uint32_t>::max()) {
      *errorPos = *i;
      *error = "a limit of at most 4294967295 MBPH";
      return false;
    }
  }
  *value = static_cast<uint32_t>(v);
  *i = p;
  return true;
}

// Two digits at text[i] making a number at most max.
bool TwoDigits(const std::string& text, size_t i, int max, int* out) {
  if (i + 1 >= text.size() || !Digit(text[i]) || !Digit(text[i + 1])) return false;
  *out = (text[i] - '0') * 10 + (text[i + 1] - '0');
  return *out <= max;
}

}  // namespace

bool ThroughputSchedule::Parse(const std::string& text, std::string* error) {
  std::vector<Entry> parsed;
  size_t errorPos = 0;
  std::string expected;
  auto fail = [&](size_t pos, const std::string& what) {
    *error = "position " + std::to_string(pos + 1) + ": expected " + what;
    return false;
  };
  size_t i = 0;
  const size_t n = text.size();
  for (;;) {
    while (i < n && Blank(text[i])) ++i;
    if (i == n) break;
    const size_t start = i;
    Entry e;
    if (std::isalpha(static_cast<unsigned char>(text[i]))) {
      for (int d = 0; d < 7 && e.day < 0; ++d) {
        if (n - i >= 3 && std::tolower(static_cast<unsigned char>(text[i])) == kDayNames[d][0] &&
            std::tolower(static_cast<unsigned char>(text[i + 1])) == kDayNames[d][1] &&
            std::tolower(static_cast<unsigned char>(text[i + 2])) == kDayNames[d][2]) {
          e.day = d;
        }
      }
      if (e.day < 0) return fail(i, "a day (Mon..Sun) or a time HH:MM");
      i += 3;
      if (i >= n || text[i] != '-') return fail(i, "'-' between the day and the time");
      ++i;
    }
    if (!parsed.empty() && (parsed.front().day < 0) != (e.day < 0)) {
      return fail(start, e.day < 0 ? "a weekly entry Day-HH:MM,LIMIT (daily and weekly "
                                     "entries cannot be mixed)"
                                   : "a daily entry HH:MM,LIMIT (daily and weekly entries "
                                     "cannot be mixed)");
    }
    int hour = 0, minute = 0;
    if (!TwoDigits(text, i, 23, &hour)) return fail(i, "an hour 00-23");
    i += 2;
    if (i >= n || text[i] != ':') return fail(i, "':' between the hour and the minute");
    ++i;
    if (!TwoDigits(text, i, 59, &minute)) return fail(i, "a minute 00-59");
    i += 2;
    if (i >= n || text[i] != ',') return fail(i, "',' before the limit");
    ++i;
    e.minute = hour * 60 + minute;
    if (!ParseValue(text, &i, &e.limits.out, &expected, &errorPos)) {
      return fail(errorPos, expected);
    }
    e.limits.in = e.limits.out;
    if (i < n && text[i] == ':') {
      ++i;
      if (!ParseValue(text, &i, &e.limits.in, &expected, &errorPos)) {
        return fail(errorPos, expected);
      }
    }
    if (i < n && !Blank(text[i])) return fail(i, "a blank or the end after the limit");
    for (const Entry& p : parsed) {
      if (p.day == e.day && p.minute == e.minute) {
        return fail(start, "one entry per time (this time is given twice)");
      }
    }
    parsed.push_back(e);
  }
  std::sort(parsed.begin(), parsed.end(), [](const Entry& a, const Entry& b) {
    return a.day != b.day ? a.day < b.day : a.minute < b.minute;
  });
  entries_ = std::move(parsed);
  return true;
}

ScheduleLimits ThroughputSchedule::At(int64_t now, int64_t* next) const {
  *next = 0;
  if (entries_.empty()) return ScheduleLimits();
  const bool weekly = entries_.front().day >= 0;
  time_t tt = static_cast<time_t>(now);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return entries_.front().limits;
  const int64_t today = DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  // Far enough either side that the previous and the next start are inside,
  // whatever the offset change between.
  const int64_t span = weekly ? 8 : 2;
  bool havePrev = false;
  int64_t prevAt = 0;
  ScheduleLimits current = entries_.back().limits;
  for (int64_t day = today - span; day <= today + span; ++day) {
    const int weekday = WeekdayOf(day);
    for (const Entry& e : entries_) {
      if (weekly && e.day != weekday) continue;
      const int64_t at = FirstInstantAtOrAfter(day * kDay + e.minute * 60);
      if (at <= now) {
        // Later entries of the same instant (times skipped by one jump) win.
        if (!havePrev || at >= prevAt) {
          havePrev = true;
          prevAt = at;
          current = e.limits;
        }
      } else if (*next == 0 || at < *next) {
        *next = at;
      }
    }
  }
  return current;
}

bool ThroughputSchedule::NextChange(int64_t now, int64_t* when, ScheduleLimits* limits) const {
  int64_t next = 0;
  const ScheduleLimits current = At(now, &next);
  // One round of every entry at most: after that the limits repeat.
  for (size_t step = 0; next != 0 && step <= entries_.size(); ++step) {
    int64_t after = 0;
    const ScheduleLimits then = At(next, &after);
    if (then != current) {
      *when = next;
      *limits = then;
      return true;
    }
    next = after;
  }
  return false;
}

std::string FormatScheduleLimits(const ScheduleLimits& limits) {
  auto one = [](uint32_t v) { return v == 0 ? std::string("off") : std::to_string(v); };
  if (limits.out == limits.in) return one(limits.out);
  return one(limits.out) + ":" + one(limits.in);
}

}  // namespace hx
