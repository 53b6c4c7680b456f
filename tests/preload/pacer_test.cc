// The pacer against a model clock: an eager sender that always sends as soon
// as the pacer lets it, with pieces of changing sizes, must move rate x time
// bytes give or take one piece, over every window; rate changes take effect
// at once; no limit means no wait.
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "preload/pacer.h"
#include "preload/run_settings.h"

namespace {

using hxrun::Pacer;

constexpr int64_t kSecond = 1000000000LL;

// An eager sender writes pieces of random sizes up to maxWrite as soon as the
// pacer lets it, for 20 s of model time.
TEST(Pacer, EagerSenderMovesTheRateOverEveryWindow) {
  struct Case {
    double rate;      // bytes per second
    size_t maxWrite;  // largest write the program makes
  } cases[] = {{1048576.0 / 3600 * 3600, 65536}, {10 * 1048576.0, 1 << 22}, {300, 100},
               {50 * 1048576.0, 65536}, {4096, 1 << 20}};
  std::mt19937 rng(42);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    Pacer p;
    int64_t now = 5 * kSecond;
    p.SetRate(c.rate, now);
    const size_t piece = p.PieceLimit(SIZE_MAX);
    EXPECT_LE(piece, static_cast<size_t>(1 << 20));
    EXPECT_GE(piece, static_cast<size_t>(4096));
    std::vector<std::pair<int64_t, double>> log;  // each piece: when, and bytes sent up to and including it
    double total = 0;
    for (const int64_t until = now + 20 * kSecond; now < until;) {
      const int64_t wait = p.WaitNs(now);
      EXPECT_GE(wait, 0);
      // A microsecond short of the answer is still too early: the pacer
      // does not make the sender wait longer than the debt needs.
      EXPECT_TRUE(wait <= 1000 || p.WaitNs(now + wait - 1000) > 0);
      now += wait;
      if (wait > 0) continue;
      const size_t written = p.PieceLimit(std::uniform_int_distribution<size_t>(1, c.maxWrite)(rng));
      p.Charge(written, now);
      total += static_cast<double>(written);
      log.emplace_back(now, total);
    }
    ASSERT_GT(log.size(), 2u);
    // Every window between two pieces: at most one piece beyond the rate,
    // and (the sender being eager) at most one piece short of it.
    for (size_t i = 0; i < log.size(); i += 1 + log.size() / 200) {
      for (size_t j = i + 1; j < log.size(); j += 1 + log.size() / 50) {
        const double seconds = static_cast<double>(log[j].first - log[i].first) / kSecond;
        EXPECT_NEAR(log[j].second - log[i].second, c.rate * seconds, 2.0 * piece);
      }
    }
  }
}

// (Rates that change while a stream runs are covered with real programs.)
TEST(Pacer, IdleTimeEarnsOnePieceAndNoLimitMeansNoWait) {
  Pacer p;
  int64_t now = 0;
  p.SetRate(1 << 20, now);
  // A long pause earns one piece of credit, not the whole pause.
  now += 60 * kSecond;
  const size_t piece = p.PieceLimit(SIZE_MAX);
  p.Charge(piece, now);
  EXPECT_EQ(p.WaitNs(now), 0);
  p.Charge(piece, now);
  EXPECT_GT(p.WaitNs(now), 0);
  // No limit: any amount, no wait, whole writes.
  p.SetRate(0, now);
  p.Charge(1 << 30, now);
  EXPECT_EQ(p.WaitNs(now), 0);
  EXPECT_EQ(p.PieceLimit(12345678), 12345678u);
  EXPECT_NEAR(hxrun::MbphToBytesPerSecond(3600), 1048576.0, 1e-6);
}

// HXRUN_* as hxctl run sets them, and what a user may mistype.
TEST(RunSettings, EnvironmentIsReadStrictly) {
  struct Case {
    std::map<std::string, const char*> env;
    int result;
    uint32_t job, limit;
    bool out, in, cloud;
    const char* error;
  } cases[] = {
      {{}, 1, 0, 0, true, false, false, ""},
      {{{"HXRUN_JOB", "12"}}, 0, 12, 0, true, false, false, ""},
      {{{"HXRUN_JOB", "4294967295"}, {"HXRUN_LIMIT", "36000"}, {"HXRUN_DIRECTION", "both"}, {"HXRUN_TABLES", "cloud"}},
       0, 4294967295u, 36000, true, true, true, ""},
      {{{"HXRUN_JOB", "3"}, {"HXRUN_DIRECTION", "in"}}, 0, 3, 0, false, true, false, ""},
      {{{"HXRUN_JOB", "4294967296"}}, -1, 0, 0, true, false, false, "HXRUN_JOB"},
      {{{"HXRUN_JOB", "1"}, {"HXRUN_DIRECTION", "up"}}, -1, 0, 0, true, false, false, "HXRUN_DIRECTION"},
  };
  static const std::map<std::string, const char*>* current;
  for (const Case& c : cases) {
    current = &c.env;
    hxrun::RunSettings s;
    std::string error;
    const int rc = hxrun::ParseRunSettings(
        [](const char* name) { return current->count(name) ? current->at(name) : nullptr; }, &s, &error);
    EXPECT_EQ(rc, c.result) << error;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    if (rc == 0) {
      EXPECT_EQ(std::make_tuple(s.jobId, s.limitMBPH, s.outbound, s.inbound, s.OutboundKind(), s.InboundKind()),
                std::make_tuple(c.job, c.limit, c.out, c.in, c.cloud ? 3u : 1u, c.cloud ? 4u : 2u));
    }
  }
}

}  // namespace
