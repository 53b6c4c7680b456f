// The machine-limit timetable: on the tables (a boundary reaches a process
// that only queries, an operator's limit lasts until the next one, a bad text
// is never half-applied), its parser (every refusal names the position
// and what was expected, and takes nothing), and its clock, checked against a
// reference that walks the local wall clock minute by minute through real
// zones' daylight-saving changes and fires each entry the first time the wall
// clock reaches it on its day.
#include <stdlib.h>
#include <time.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/throttling_test_util.h"
#include "throttling/throughput_schedule.h"

namespace {

using hx::ScheduleLimits;
using hx::ThroughputSchedule;

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

// Local wall-clock seconds since the epoch at instant t.
int64_t Wall(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  localtime_r(&tt, &tm);
  return static_cast<int64_t>(timegm(&tm));
}

struct Fire {
  int64_t at;
  ScheduleLimits limits;
};

// Walks [from, to) a minute at a time. An entry fires at the first minute whose
// wall clock has passed its time on a day it applies to; each (day, entry)
// fires once, however often the wall clock passes it.
std::vector<Fire> ModelFires(const ThroughputSchedule& s, int64_t from, int64_t to) {
  std::vector<Fire> fires;
  std::set<std::pair<int64_t, size_t>> fired;
  int64_t prev = Wall(from - 60);
  for (int64_t t = from; t < to; t += 60) {
    const int64_t wall = Wall(t);
    for (int64_t day = prev / 86400; day <= wall / 86400; ++day) {
      const int weekday = static_cast<int>((day + 3) % 7);  // Monday = 0
      for (size_t i = 0; i < s.entries().size(); ++i) {
        const auto& e = s.entries()[i];
        const int64_t target = day * 86400 + e.minute * 60;
        if ((e.day >= 0 && e.day != weekday) || !(prev < target && target <= wall)) continue;
        if (!fired.insert({day, i}).second) continue;
        // Entries reached at one instant (a jump passes several): the last holds.
        if (!fires.empty() && fires.back().at == t) fires.pop_back();
        fires.push_back({t, e.limits});
      }
    }
    prev = wall;
  }
  return fires;
}

int64_t Utc(const char* text) {  // "YYYY-MM-DD"
  struct tm tm = {};
  strptime(text, "%Y-%m-%d", &tm);
  return static_cast<int64_t>(timegm(&tm));
}

TEST(ThroughputSchedule, FollowsTheWallClockThroughDaylightSavingChanges) {
  const char* zones[] = {"UTC", "Europe/Berlin", "America/New_York"};
  const char* schedules[] = {
      "08:00,7200 18:00,36000:72000 23:00,off",
      "01:30,100 02:00,150 02:30,200:off 02:45,300 03:30,400",  // inside both changes
      "Mon-08:00,5000 Fri-18:30,off Sun-02:30,1:2 Sun-02:59,3",
      "12:00,500",
      "06:00,500 12:00,500 15:00,500 18:00,900",  // changes that change nothing
  };
  // Both 2026 spring changes (New York Mar 8, Berlin Mar 29), from the end of
  // February on (the day count's year starts in March), and both autumn ones
  // (Berlin Oct 25, New York Nov 1).
  const std::pair<const char*, const char*> windows[] = {{"2026-02-25", "2026-03-31"},
                                                         {"2026-10-22", "2026-11-04"}};
  for (const char* zone : zones) {
    ZoneGuard tz(zone);
    for (const char* text : schedules) {
      ThroughputSchedule s;
      std::string error;
      ASSERT_TRUE(s.Parse(text, &error)) << error;
      for (const auto& w : windows) {
        SCOPED_TRACE(std::string(zone) + " / " + text + " / " + w.first);
        const int64_t from = Utc(w.first), to = Utc(w.second);
        const std::vector<Fire> fires = ModelFires(s, from - 8 * 86400, to + 8 * 86400);
        std::vector<int64_t> checks;
        for (int64_t t = from; t < to; t += 37 * 60 + 11) checks.push_back(t);
        for (const Fire& f : fires) {
          if (f.at >= from && f.at < to) checks.insert(checks.end(), {f.at - 1, f.at, f.at + 1});
        }
        for (int64_t t : checks) {
          size_t k = 0;  // fires[k - 1] is the last at or before t
          while (k < fires.size() && fires[k].at <= t) ++k;
          ASSERT_GT(k, 0u);
          ASSERT_LT(k, fires.size());
          int64_t next = -1;
          const ScheduleLimits got = s.At(t, &next);
          ASSERT_EQ(got.out, fires[k - 1].limits.out) << "at " << t;
          ASSERT_EQ(got.in, fires[k - 1].limits.in) << "at " << t;
          ASSERT_EQ(next, fires[k].at) << "at " << t;
          int64_t when = 0;
          ScheduleLimits then;
          size_t c = k;
          while (c < fires.size() && fires[c].limits == got) ++c;
          ASSERT_EQ(s.NextChange(t, &when, &then), c < fires.size()) << "at " << t;
          if (c < fires.size()) {
            ASSERT_EQ(when, fires[c].at) << "at " << t;
            ASSERT_TRUE(then == fires[c].limits);
          }
        }
      }
    }
  }
  // Anchors that do not rest on the reference: in Berlin, 02:30 on the spring
  // day takes effect at the jump (03:00 CEST), on the autumn day at its first
  // occurrence (02:30 CEST).
  ZoneGuard tz("Europe/Berlin");
  ThroughputSchedule s;
  std::string error;
  ASSERT_TRUE(s.Parse("00:00,1 02:30,2", &error));
  int64_t next = 0;
  s.At(Utc("2026-03-29"), &next);
  EXPECT_EQ(next, 1774746000);  // 2026-03-29T01:00:00Z
  s.At(Utc("2026-10-25") - 3600, &next);
  EXPECT_EQ(next, 1792888200);  // 2026-10-25T00:30:00Z
  EXPECT_EQ(s.At(1792888200 + 3600, &next).out, 2u);  // 02:30 CET, the repeat: no new start
  EXPECT_EQ(next, Utc("2026-10-25") + 23 * 3600);     // the next local midnight
}

TEST(ThroughputSchedule, ParsesLimitsAndRefusesBadTextWithItsPosition) {
  struct Case {
    const char* text;
    const char* result;  // "" for an empty schedule; entries as "day/minute=limits"
  } cases[] = {
      {"", ""},
      {"  \t ", ""},
      {"18:00,36000:72000 08:00,7200 23:00,off", "-1/480=7200 -1/1080=36000:72000 -1/1380=off"},
      {"mon-00:00,0 SUN-23:59,Off:5 Wed-12:30,4294967295",
       "0/0=off 2/750=4294967295 6/1439=off:5"},
      {"08:00,7200 Mon-09:00,1", "position 12: expected a daily entry"},
      {"Mon-09:00,1 08:00,7200", "position 13: expected a weekly entry"},
      {"8:00,1", "position 1: expected an hour 00-23"},
      {"24:00,1", "position 1: expected an hour 00-23"},
      {"12.00,1", "position 3: expected ':' between the hour and the minute"},
      {"12:60,1", "position 4: expected a minute 00-59"},
      {"12:00 1", "position 6: expected ',' before the limit"},
      {"12:00,", "position 7: expected a limit: MBPH, 'off' or OUT:IN"},
      {"12:00,-5", "position 7: expected a limit"},
      {"12:00,1:", "position 9: expected a limit"},
      {"12:00,4294967296", "position 7: expected a limit of at most 4294967295 MBPH"},
      {"12:00,5MB", "position 8: expected a blank or the end after the limit"},
      {"12:00,1:2:3", "position 10: expected a blank or the end"},
      {"Mo-12:00,1", "position 1: expected a day (Mon..Sun) or a time HH:MM"},
      {"Mon12:00,1", "position 4: expected '-' between the day and the time"},
      {"12:00,1 12:00,2", "position 9: expected one entry per time"},
      {"Tue-12:00,1 Tue-12:00,2", "position 13: expected one entry per time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ThroughputSchedule s;
    std::string error;
    ASSERT_TRUE(s.Parse("07:00,9", &error));
    const bool ok = s.Parse(c.text, &error);
    std::string got;
    if (ok) {
      for (const auto& e : s.entries()) {
        got += (got.empty() ? "" : " ") + std::to_string(e.day) + "/" + std::to_string(e.minute) +
               "=" + hx::FormatScheduleLimits(e.limits);
      }
      EXPECT_EQ(got, c.result);
    } else {
      EXPECT_EQ(error.rfind(c.result, 0), 0u) << error;
      // Nothing of a refused text is taken.
      ASSERT_EQ(s.entries().size(), 1u);
      EXPECT_EQ(s.entries()[0].minute, 7 * 60);
    }
  }
}

// An instance's outbound and inbound tables, in UTC, with a clock the test
// moves and "ComputerThroughputMBPH" 1000: one stream of job 7 on each, and an
// observer that attaches anew when told.
class MachineLimitTest : public ::testing::Test {
 protected:
  void Start(uint32_t now) {
    env_.now = now;
    inst_.SetConfig("Hxd", "ComputerThroughputMBPH", "1000");
    ASSERT_EQ(out_.Initialize(inst_.focus().c_str(), 1, kTMKindOutbound), 0);
    ASSERT_EQ(in_.Initialize(inst_.focus().c_str(), 2, kTMKindInbound), 0);
    _TMSRegParams params = thrtest::Params(7);
    hOut_ = out_.RegisterStream(params);
    hIn_ = in_.RegisterStream(params);
    ASSERT_NE(hOut_, kTMInvalidHandle);
    ASSERT_NE(hIn_, kTMInvalidHandle);
  }
  void Reattach() {
    ASSERT_EQ(observer_.Uninitialize(), 0);
    ASSERT_EQ(observer_.Initialize(inst_.focus().c_str(), 3, kTMKindOutbound), 0);
  }
  // Queries both streams, expects their shares, and returns what `viewer`
  // tells of the outbound table's machine limit.
  _TMMachineLimitInfo Query(uint32_t rateOut, uint32_t rateIn, CHxThrottlingManager& viewer) {
    unsigned int rate = 99;
    EXPECT_EQ(out_.GetThroughputRate(hOut_, 0, rate), 0);
    EXPECT_EQ(rate, rateOut);
    EXPECT_EQ(in_.GetThroughputRate(hIn_, 0, rate), 0);
    EXPECT_EQ(rate, rateIn);
    _TMMachineLimitInfo info;
    EXPECT_EQ(viewer.GetMachineLimitInfo(info), 0);
    return info;
  }
  void TearDown() override {
    EXPECT_EQ(out_.UnregisterStream(hOut_), 0);
    EXPECT_EQ(in_.UnregisterStream(hIn_), 0);
    for (auto* m : {&observer_, &out_, &in_}) EXPECT_EQ(m->Uninitialize(), 0);
  }

  ZoneGuard tz_{"UTC"};
  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  thrtest::Manager out_{&env_}, in_{&env_}, observer_{&env_};
  unsigned long long hOut_ = kTMInvalidHandle, hIn_ = kTMInvalidHandle;
};

// One timeline: each step sets the time and maybe the configuration or a
// hand-set limit, then queries both streams and checks the share and the
// limit an observer sees.
TEST_F(MachineLimitTest, ScheduleDrivesTheTables) {
  const int64_t day = Utc("2026-03-02");  // a Monday
  inst_.SetConfig("Hxd", "ThroughputSchedule", "08:00,7200 18:00,36000:72000 23:00,off");
  Start(static_cast<uint32_t>(day + 7 * 3600 + 59 * 60 + 58));
  struct Step {
    int64_t at;             // seconds after midnight
    const char* schedule;   // new ThroughputSchedule text, or null
    int handSet;            // >= 0: SetComputerMaxThroghput first
    bool attach;            // the observer attaches (anew) before looking
    uint32_t rateOut, rateIn;
    uint32_t source;        // kTMLimitFrom* of the outbound table
    uint32_t configured;    // what the configuration gives the outbound table
    uint32_t nextChange;    // seconds after midnight; 0 = none
  } steps[] = {
      {7 * 3600 + 59 * 60 + 59, nullptr, -1, true, 0, 0, kTMLimitFromSchedule, 0, 8 * 3600},
      {8 * 3600, nullptr, -1, false, 7200, 7200, kTMLimitFromSchedule, 7200, 18 * 3600},
      {8 * 3600 + 5, nullptr, 2000, false, 2000, 7200, kTMLimitSetByHand, 7200, 18 * 3600},
      // Attaching and the settings' periodic look leave an operator's limit.
      {9 * 3600, nullptr, -1, true, 2000, 7200, kTMLimitSetByHand, 7200, 18 * 3600},
      {18 * 3600, nullptr, -1, false, 36000, 72000, kTMLimitFromSchedule, 36000, 23 * 3600},
      // A changed text holds within a few seconds; a bad one is not used at all.
      {18 * 3600 + 1, "12:00,500 20:00,900", -1, false, 36000, 72000, kTMLimitFromSchedule,
       500, 20 * 3600},
      {18 * 3600 + 3, nullptr, -1, false, 500, 500, kTMLimitFromSchedule, 500, 20 * 3600},
      {18 * 3600 + 20, "12:00,500 20:00,x", -1, false, 1000, 1000, kTMLimitFromConfiguration,
       1000, 0},
      {18 * 3600 + 40, nullptr, -1, true, 1000, 1000, kTMLimitFromConfiguration, 1000, 0},
      // With no change ahead an operator's limit lasts (until a clean-up pass).
      {18 * 3600 + 50, nullptr, 3000, false, 3000, 1000, kTMLimitSetByHand, 1000, 0},
      {18 * 3600 + 60, nullptr, -1, true, 3000, 1000, kTMLimitSetByHand, 1000, 0},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.at);
    env_.now = static_cast<uint32_t>(day + st.at);
    if (st.schedule) inst_.SetConfig("Hxd", "ThroughputSchedule", st.schedule);
    if (st.handSet >= 0) {
      ASSERT_EQ(out_.SetComputerMaxThroghput(st.handSet), 0);
    }
    if (st.attach) Reattach();
    const _TMMachineLimitInfo info = Query(st.rateOut, st.rateIn, observer_);
    EXPECT_EQ(info.LimitMBPH, st.rateOut);  // one stream: the whole machine
    EXPECT_EQ(info.Source, st.source);
    EXPECT_EQ(info.ConfiguredMBPH, st.configured);
    EXPECT_EQ(info.NextChangeTime, st.nextChange ? day + st.nextChange : 0);
  }
  EXPECT_EQ(inst_.LogLinesContaining("[ERROR] ThroughputSchedule \"12:00,500 20:00,x\" not used: "
                                     "position 17: expected a limit").size(),
            3u);  // once by each manager that read it
  // A clean-up pass replaces an operator's limit with the configured one.
  out_.CheckAndCleanupStreams(true);
  _TMMachineLimitInfo info;
  ASSERT_EQ(observer_.GetMachineLimitInfo(info), 0);
  EXPECT_EQ(info.LimitMBPH, 1000u);
}

// A fleet share caps the configured limit and falls by its own deadlines in
// every attached process, with nobody rewriting it: share until the lease
// end, the safe share until the safe end, then the floor. A record that does
// not parse is not used; clean-up passes and attaching keep the share.
TEST_F(MachineLimitTest, FleetShareCapsTheLimitAndFallsByItsDeadlines) {
  const uint32_t t0 = static_cast<uint32_t>(Utc("2026-03-02") + 9 * 3600);
  Start(t0);
  const std::string record = "600 " + std::to_string(t0 + 20) + " 300 " +
                             std::to_string(t0 + 50) + " 40";
  struct Step {
    uint32_t at;          // seconds after t0
    const char* share;    // new "HxFleet" "Share", "-" to remove it, or null
    const char* schedule; // new ThroughputSchedule, or null
    int action;           // first: 1 the observer runs a clean-up pass, 2 an operator sets 5000
    uint32_t rate, source, nextChange, nextLimit;  // times after t0; 0 = none
  } steps[] = {
      {0, nullptr, nullptr, 0, 1000, kTMLimitFromConfiguration, 0, 0},
      {1, record.c_str(), nullptr, 0, 1000, kTMLimitFromConfiguration, 20, 300},
      {3, nullptr, nullptr, 0, 600, kTMLimitFromFleet, 20, 300},
      {19, nullptr, nullptr, 1, 600, kTMLimitFromFleet, 20, 300},
      {20, nullptr, nullptr, 0, 300, kTMLimitFromFleet, 50, 40},
      {30, nullptr, nullptr, 2, 300, kTMLimitSetByHand, 50, 40},  // not above the share
      {50, nullptr, nullptr, 0, 40, kTMLimitFromFleet, 0, 0},
      {60, nullptr, nullptr, 1, 40, kTMLimitFromFleet, 0, 0},
      // A lower schedule wins over the share; a bad record leaves only it.
      {63, nullptr, "00:00,25", 0, 25, kTMLimitFromSchedule, 0, 0},
      {66, "600 5 300 4 40", nullptr, 0, 25, kTMLimitFromSchedule, 0, 0},
      {69, nullptr, "00:00,off", 0, 0, kTMLimitFromSchedule, 0, 0},
      {72, "7 0 7 0 7", nullptr, 0, 7, kTMLimitFromFleet, 0, 0},
      {75, "-", nullptr, 0, 0, kTMLimitFromSchedule, 0, 0},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.at);
    env_.now = t0 + st.at;
    if (st.share && std::string(st.share) == "-") inst_.RemoveConfig("HxFleet", "Share");
    else if (st.share) inst_.SetConfig("HxFleet", "Share", st.share);
    if (st.schedule) inst_.SetConfig("Hxd", "ThroughputSchedule", st.schedule);
    if (st.action == 2) out_.SetComputerMaxThroghput(5000);
    if (st.action == 1) {
      Reattach();
      ASSERT_TRUE(observer_.Lock());
      observer_.CheckAndCleanupStreams(true);
      ASSERT_TRUE(observer_.Unlock());
    }
    const _TMMachineLimitInfo info = Query(st.rate, st.rate, out_);
    EXPECT_EQ(info.Source, st.source);
    EXPECT_EQ(info.NextChangeTime, st.nextChange ? t0 + st.nextChange : 0);
    EXPECT_EQ(info.NextLimitMBPH, st.nextLimit);
  }
  EXPECT_EQ(inst_.LogLinesContaining("[ERROR] HxFleet Share \"600 5 300 4 40\" not used: "
                                     "the safe end is before the lease end").size(),
            2u);  // once by each manager that read it
}

}  // namespace
