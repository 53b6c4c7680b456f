// The machine-limit timetable parser on hostile text. A text it takes must
// give sorted, distinct entries of one kind (daily or weekly) that read back
// the same when written out again, and a clock that always moves forward; a
// text it refuses must name a position inside it (or just past its end).
#include <stdlib.h>
#include <time.h>

#include "tests/fuzz/fuzz_support.h"
#include "throttling/throughput_schedule.h"

namespace {

const char* kDays[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

std::string Write(const hx::ThroughputSchedule& s) {
  std::string text;
  char hhmm[8];
  for (const auto& e : s.entries()) {
    snprintf(hhmm, sizeof hhmm, "%02d:%02d", e.minute / 60, e.minute % 60);
    text += (e.day >= 0 ? std::string(kDays[e.day]) + "-" : "") + hhmm + "," +
            hx::FormatScheduleLimits(e.limits) + " ";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool zoned = [] { return setenv("TZ", "Europe/Berlin", 1) == 0 && (tzset(), true); }();
  (void)zoned;
  const std::string text(reinterpret_cast<const char*>(data), size);
  hx::ThroughputSchedule s;
  std::string error;
  if (!s.Parse(text, &error)) {
    const size_t pos = std::strtoul(error.c_str() + 9, nullptr, 10);
    FUZZ_CHECK(error.rfind("position ", 0) == 0 && pos >= 1 && pos <= text.size() + 1,
               "refusal without a position in the text: " + error);
    FUZZ_CHECK(s.empty(), "a refused text left entries");
    return 0;
  }
  const auto& e = s.entries();
  for (size_t i = 1; i < e.size(); ++i) {
    FUZZ_CHECK((e[i].day < 0) == (e[0].day < 0), "daily and weekly entries mixed");
    FUZZ_CHECK(e[i - 1].day < e[i].day || (e[i - 1].day == e[i].day && e[i - 1].minute < e[i].minute),
               "entries not sorted and distinct");
  }
  hx::ThroughputSchedule again;
  FUZZ_CHECK(again.Parse(Write(s), &error), "its own rendering refused: " + error);
  FUZZ_CHECK(Write(again) == Write(s), "rendering does not read back: " + Write(s));
  const int64_t spring = 1774740000;  // an hour before Berlin's 2026 spring change
  int64_t next = 0;
  s.At(spring, &next);
  FUZZ_CHECK(e.empty() ? next == 0 : next > spring && next <= spring + 8 * 86400,
             "next start " + std::to_string(next) + " not within a week after now");
  return 0;
}
