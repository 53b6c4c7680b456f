// DumpAll, the table as text for support staff: one table of table shapes
// (empty, a job whose streams were partly released, entries naming no slot)
// and log levels, each with the exact text it must write (golden files next
// to this test; "dump_none.txt" is empty: nothing written).
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

using Shape = std::function<void(thrtest::Manager&, _TMThrottleTable&, hxtest::FakeEnv&)>;

void NoSetup(thrtest::Manager&, _TMThrottleTable&, hxtest::FakeEnv&) {}

// Job 4242 in job slot 1 (slot 0 released before it), six streams of which
// those in slots 5 and 2 remain, one of them marked unresponsive.
void PartlyReleasedJob(thrtest::Manager& m, _TMThrottleTable& t, hxtest::FakeEnv& env) {
  env.now = 1700001000;
  ASSERT_EQ(m.ReserveJobIndex(1, 0), 0);
  ASSERT_EQ(m.ReserveJobIndex(4242, 300), 1);
  ASSERT_EQ(m.UnReserveJobIndex(0), 0);
  char name[] = "host";
  for (unsigned int s = 0; s < 6; ++s) {
    env.now = 1700001000 + s;
    ASSERT_EQ(m.ReserveStreamIndex(1, 0x20 + s, 4242, 0xAB00 + s, s == 2 ? 0x14 : 0x10,
                                   static_cast<unsigned char>(s), name),
              static_cast<int>(s));
  }
  for (unsigned int s : {0u, 1u, 3u, 4u}) ASSERT_EQ(m.UnreserveStreamIndex(1, s, 0x20 + s), 0);
  t.Jobs[1].PerStreamMBPH = 150;
  t.Jobs[1].Streams[5].SizeProcessed = 0x1234567890ULL;
  t.Jobs[1].Streams[5].LatUpdateTime = 1700002000;
  t.Jobs[1].Streams[2].Flags |= kTMStreamUnresponsive;
  t.ComputerThrottleMBPH = 1000;
  t.UniqueID = 0x2f;
}

// A job whose second position names no stream slot, and a second job position
// that names no job slot.
void BadEntries(thrtest::Manager& m, _TMThrottleTable& t, hxtest::FakeEnv&) {
  char name[] = "h";
  ASSERT_EQ(m.ReserveJobIndex(5, 0), 0);
  ASSERT_EQ(m.ReserveStreamIndex(0, 1, 5, 0, 0, 0, name), 0);
  t.ActiveJobCount = 2;
  t.JobAT[1] = 9999;
  t.Jobs[0].ActiveStreamCount = 2;
  t.Jobs[0].StreamAT[1] = 70000;
}

TEST(DumpTest, EachTableShapeIsWrittenAsItsGoldenText) {
  struct Case {
    const char* golden;
    const char* level;  // the log level configured
    bool force;
    Shape setup;
    bool enumerate = false;  // an enumeration that meets the entries dumps instead
  };
  const Case cases[] = {
      {"dump_empty.txt", "1", true, NoSetup},
      {"dump_empty.txt", "5", false, NoSetup},
      {"dump_none.txt", "4", false, NoSetup},
      {"dump_job.txt", "1", true, PartlyReleasedJob},
      // Counts and entries beyond the table are shown, never followed.
      {"dump_bad_entries.txt", "1", true, BadEntries},
      {"dump_enum_bad_entries.txt", "1", false, BadEntries, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.golden) + " at level " + c.level);
    hxtest::TestInstance inst;
    hxtest::FakeEnv env;
    thrtest::Manager m(&env);
    inst.SetConfig("Platform", "DebugLevel", c.level);
    ASSERT_EQ(m.Initialize(inst.focus().c_str(), 9, kTMKindCloudOutbound), 0);
    ASSERT_TRUE(m.Lock());
    c.setup(m, *m.table(), env);
    inst.ClearLog();
    if (c.enumerate) {
      EXPECT_EQ(m.EnumerateJobsInfo(nullptr, nullptr, 0), 0);
    } else {
      m.DumpAll(c.force);
    }
    m.Unlock();
    std::string text;
    for (const std::string& t : thrtest::LogTexts(inst)) text += t + "\n";
    EXPECT_EQ(text, hxtest::ReadFile(std::string(HX_SOURCE_DIR) + "/tests/throttling/golden/" +
                                     c.golden));
    EXPECT_EQ(m.Uninitialize(), 0);
  }
}

}  // namespace
