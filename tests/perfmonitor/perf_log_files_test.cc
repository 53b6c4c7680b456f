// Perf-log files on disk: names, creation, rotation, generations, clean-up,
// legacy names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "perfmonitor/perf_manager.h"
#include "platform/ua_crc64.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

const uint64_t kMiB = 1ull << 20;

class PerfLogFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, m.Initialize(nullptr));
    dir = peer.logDirectory();
    CUaCRC64 crc;
    crc.UpdateCRC64("hxtesthost", 10);  // the test instance's physical machine
    char text[32];
    snprintf(text, sizeof(text), "%" PRIu64, crc.GetCRC64());
    id = text;
  }

  std::string Name(const std::string& key, int gen, const std::string& machine = "") const {
    char suffix[16] = "";
    if (gen > 0) snprintf(suffix, sizeof(suffix), "_%04d", gen);
    return dir + "/PerfLog_" + key + "_" + (machine.empty() ? id : machine) + suffix + ".csv";
  }

  // Reports one row of one value for object "K", version "1" (key K-1).
  int Report(const std::string& value, const std::string& object = "K") {
    _PerfLogItems items;
    items.version = "1";
    items.columns = {"V"};
    items.rows = {{value}};
    return m.OnUpdateLog(RSRC_AGENT_SYSTEM, object.c_str(), items);
  }

  static uint64_t SizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  static void MakeFile(const std::string& path, uint64_t size, const std::string& head = "") {
    hxtest::WriteFile(path, head);
    ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(size)));
  }
  void SetAge(const std::string& path, int64_t secondsBeforeNow) const {
    struct timeval tv[2];
    tv[0].tv_sec = tv[1].tv_sec = static_cast<time_t>(static_cast<int64_t>(env.now) - secondsBeforeNow);
    tv[0].tv_usec = tv[1].tv_usec = 0;
    ASSERT_EQ(0, utimes(path.c_str(), tv));
  }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  CHxPerfManager m{&env};
  CHxPerfManagerTestPeer peer{m};
  std::string dir, id;
};

TEST_F(PerfLogFilesTest, FirstBatchCreatesFileWithHeaderThenAppends) {
  ASSERT_EQ(0, Report("1"));
  const std::string path = Name("K-1", 0);
  const std::string first = hxtest::ReadFile(path);
  ASSERT_EQ(0u, first.find("Date,Time,V\r\n"));
  ASSERT_EQ(0, Report("2"));
  const std::string both = hxtest::ReadFile(path);
  EXPECT_EQ(0u, both.find(first));
  EXPECT_EQ(std::string::npos, both.find("Date,Time", 1));  // header once
  EXPECT_EQ(",2\r\n", both.substr(both.size() - 4));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(PerfLogFilesTest, RotatesFromElevenMiBNotBelow) {
  const std::string current = Name("K-1", 0);
  MakeFile(current, 11 * kMiB - 1, "old");
  ASSERT_EQ(0, Report("x"));
  EXPECT_FALSE(Exists(Name("K-1", 1)));
  const uint64_t grown = SizeOf(current);
  EXPECT_GT(grown, 11 * kMiB - 1);
  EXPECT_LT(grown, 11 * kMiB + 100);  // appended, no header

  // Now at or above 11 MiB: rotated before this batch.
  ASSERT_EQ(0, Report("y"));
  EXPECT_EQ(grown, SizeOf(Name("K-1", 1)));
  EXPECT_EQ(0u, hxtest::ReadFile(current).find("Date,Time,V\r\n"));
  EXPECT_LT(SizeOf(current), 100u);
}

TEST_F(PerfLogFilesTest, ExactlyElevenMiBRotatesIntoTheFirstGapOnly) {
  // Generations 1 and 3 present, 2 missing: 1 moves to 2, current to 1, 3 stays.
  MakeFile(Name("K-1", 0), 11 * kMiB, "cur");
  MakeFile(Name("K-1", 1), 10, "g1");
  MakeFile(Name("K-1", 3), 10, "g3");
  ASSERT_EQ(0, Report("x"));
  EXPECT_EQ(11 * kMiB, SizeOf(Name("K-1", 1)));
  EXPECT_EQ(0u, hxtest::ReadFile(Name("K-1", 2)).find("g1"));
  EXPECT_EQ(0u, hxtest::ReadFile(Name("K-1", 3)).find("g3"));
  EXPECT_FALSE(Exists(Name("K-1", 4)));
  EXPECT_EQ(0u, hxtest::ReadFile(Name("K-1", 0)).find("Date,Time,V\r\n"));
}

TEST_F(PerfLogFilesTest, FullSetDropsTheOldestGeneration) {
  for (uint32_t count : {1u, 3u}) {
    SCOPED_TRACE(count);
    peer.setMaxLogCount(count);
    const std::string key = "K" + std::to_string(count) + "-1";
    MakeFile(Name(key, 0), 12 * kMiB, "cur");
    for (uint32_t g = 1; g <= count; ++g) MakeFile(Name(key, g), 10, "g" + std::to_string(g));
    _PerfLogItems items;
    items.version = "1";
    items.rows = {{"v"}};
    ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_SYSTEM, ("K" + std::to_string(count)).c_str(), items));
    EXPECT_EQ(12 * kMiB, SizeOf(Name(key, 1)));
    for (uint32_t g = 2; g <= count; ++g) {
      EXPECT_EQ(0u, hxtest::ReadFile(Name(key, g)).find("g" + std::to_string(g - 1)));
    }
    EXPECT_FALSE(Exists(Name(key, count + 1)));
    EXPECT_EQ(0u, hxtest::ReadFile(Name(key, 0)).find("Date,Time,\r\n"));  // no columns
  }
}

TEST_F(PerfLogFilesTest, OldFilesAreDeletedWhenANewFileIsCreated) {
  const std::string foreign = dir + "/someone_else.txt";
  const std::string threeDays = dir + "/exactly_three_days.csv";
  const std::string recent = dir + "/two_days.csv";
  const std::string future = dir + "/from_the_future.csv";
  const std::string subdir = dir + "/old_directory";
  for (const std::string& f : {foreign, threeDays, recent, future}) hxtest::WriteFile(f, "x");
  ASSERT_EQ(0, mkdir(subdir.c_str(), 0777));
  SetAge(foreign, 4 * 86400);
  SetAge(threeDays, 3 * 86400);
  SetAge(recent, 2 * 86400);
  SetAge(future, -86400);
  SetAge(subdir, 10 * 86400);

  // An existing current file within the limit: no creation, no clean-up.
  MakeFile(Name("K-1", 0), 5, "rows\r\n");
  ASSERT_EQ(0, Report("a"));
  EXPECT_TRUE(Exists(foreign));

  // A new key: the file is created and the directory cleaned first.
  ASSERT_EQ(0, Report("b", "Other"));
  EXPECT_FALSE(Exists(foreign));
  EXPECT_TRUE(Exists(threeDays));
  EXPECT_TRUE(Exists(recent));
  EXPECT_TRUE(Exists(future));  // dated in the future: not old
  EXPECT_TRUE(Exists(subdir));
  EXPECT_TRUE(Exists(Name("Other-1", 0)));

  // The clock, not the file system's, decides what is old.
  env.now += 1;
  ASSERT_EQ(0, Report("c", "Third"));
  EXPECT_FALSE(Exists(threeDays));
  EXPECT_TRUE(Exists(recent));
}

TEST_F(PerfLogFilesTest, LegacyNamesAreAdopted) {
  hxtest::WriteFile(Name("K-1", 0, "hxtesthost"), "Date,Time,V\r\nlegacy");
  hxtest::WriteFile(Name("K-1", 1, "hxtesthost"), "old-1");
  ASSERT_EQ(0, Report("z"));
  EXPECT_FALSE(Exists(Name("K-1", 0, "hxtesthost")));
  const std::string current = hxtest::ReadFile(Name("K-1", 0));
  EXPECT_EQ(0u, current.find("Date,Time,V\r\nlegacy"));  // kept, appended to, no second header
  EXPECT_EQ(std::string::npos, current.find("Date,Time", 1));
  // Generation 1 is adopted when its name is next computed (at rotation).
  EXPECT_TRUE(Exists(Name("K-1", 1, "hxtesthost")));
  ASSERT_EQ(0, truncate(Name("K-1", 0).c_str(), static_cast<off_t>(11 * kMiB)));
  ASSERT_EQ(0, Report("w"));
  EXPECT_FALSE(Exists(Name("K-1", 1, "hxtesthost")));
  EXPECT_EQ(0u, hxtest::ReadFile(Name("K-1", 2)).find("old-1"));
  EXPECT_EQ(11 * kMiB, SizeOf(Name("K-1", 1)));
}

TEST_F(PerfLogFilesTest, FailedRotationNeverOverwritesRows) {
  // The current name is as long as a name may be, so the generation-1 name
  // is too long and the current file cannot be moved away.
  const size_t fixed = std::string("PerfLog__").size() + id.size() + std::string("-1.csv").size();
  const std::string object(255 - fixed, 'n');
  const std::string key = object + "-1";
  const std::string current = Name(key, 0);
  const std::string rows = "01/01/01,00:00:00,precious\r\n01/01/01,00:01:00,precious\r\n";
  MakeFile(current, 11 * kMiB, rows);
  ASSERT_EQ(0, Report("new", object));
  EXPECT_FALSE(inst.LogLinesContaining("renaming file failed").empty());
  const std::string after = hxtest::ReadFile(current);
  EXPECT_EQ(0u, after.find(rows));  // not overwritten by a header
  EXPECT_EQ(",new\r\n", after.substr(after.size() - 6));
}

TEST_F(PerfLogFilesTest, UnopenableCurrentFileDropsTheBatch) {
  // A directory in place of the current file: neither open works.
  ASSERT_EQ(0, mkdir(Name("K-1", 0).c_str(), 0777));
  EXPECT_EQ(1, Report("x"));
  EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::OpenLogfile: [ERROR] System Resource Monitor opening file failed [" + Name("K-1", 0) + "]").size());
  EXPECT_EQ(2u, inst.LogLinesContaining("CHxPerfManager::OpenLogfile: [ERROR][").size());
}

}  // namespace
