// The pacer against a model clock: an eager sender that always sends as soon
// as the pacer lets it, with pieces of changing sizes, must move rate x time
// bytes give or take one piece, over every window; idle time earns one piece;
// no limit means no wait. (Rates that change while a stream runs, and the
// MBPH conversion, are covered with real programs.)
#include <map>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "preload/pacer.h"
#include "preload/run_settings.h"

namespace {

using hxrun::Pacer;

constexpr int64_t kSecond = 1000000000LL;

// An eager sender writes pieces of random sizes up to maxWrite as soon as the
// pacer lets it, for 20 s of model time; then it pauses for a minute; then the
// limit is lifted.
TEST(Pacer, EagerSenderMovesTheRateOverEveryWindow) {
  const std::vector<std::pair<double, size_t>> cases = {  // bytes per second, largest write the program makes
      {1048576.0, 65536}, {10 * 1048576.0, 1 << 22}, {300, 100}, {50 * 1048576.0, 65536}, {4096, 1 << 20}};
  std::mt19937 rng(42);
  for (const auto& [rate, maxWrite] : cases) {
    SCOPED_TRACE(rate);
    Pacer p;
    int64_t now = 5 * kSecond;
    p.SetRate(rate, now);
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
      const size_t written = p.PieceLimit(std::uniform_int_distribution<size_t>(1, maxWrite)(rng));
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
        EXPECT_NEAR(log[j].second - log[i].second, rate * seconds, 2.0 * piece);
      }
    }
    // A long pause earns one piece of credit, not the whole pause.
    now += 60 * kSecond;
    p.Charge(piece, now);
    EXPECT_EQ(p.WaitNs(now), 0);
    p.Charge(piece, now);
    EXPECT_GT(p.WaitNs(now), 0);
    // No limit: any amount, no wait, whole writes.
    p.SetRate(0, now);
    p.Charge(1 << 30, now);
    EXPECT_EQ(p.WaitNs(now), 0);
    EXPECT_EQ(p.PieceLimit(12345678), 12345678u);
  }
}

// HXRUN_* as hxctl run sets them, and what a user may mistype: the result,
// then what is read (job, limit, out, in, the outbound and inbound table
// kinds) or how the error starts.
TEST(RunSettings, EnvironmentIsReadStrictly) {
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"", 1, ""}, {"HXRUN_JOB=12", 0, "12 0 1 0 1 2"},
      {"HXRUN_JOB=4294967295 HXRUN_LIMIT=36000 HXRUN_DIRECTION=both HXRUN_TABLES=cloud", 0, "4294967295 36000 1 1 3 4"},
      {"HXRUN_JOB=3 HXRUN_DIRECTION=in", 0, "3 0 0 1 1 2"}, {"HXRUN_JOB=4294967296", -1, "HXRUN_JOB"},
      {"HXRUN_JOB=1 HXRUN_DIRECTION=up", -1, "HXRUN_DIRECTION"}};
  static std::map<std::string, std::string> env;
  for (const auto& [text, result, expected] : cases) {
    env.clear();
    std::istringstream words(text);
    for (std::string w; words >> w;) env[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    hxrun::RunSettings s;
    std::string error;
    EXPECT_EQ(hxrun::ParseRunSettings([](const char* name) { return env.count(name) ? env[name].c_str() : nullptr; }, &s, &error),
              result) << text << ": " << error;
    std::ostringstream read;
    read << s.jobId << " " << s.limitMBPH << " " << s.outbound << " " << s.inbound << " " << s.OutboundKind() << " " << s.InboundKind();
    EXPECT_EQ(result == 0 ? read.str() : error.substr(0, expected.size()), expected) << text;
  }
}

}  // namespace
