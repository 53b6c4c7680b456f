// Perf-log files on disk: rotation, generations, clean-up, legacy names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "perfmonitor/perf_manager.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

const uint64_t kMiB = 1ull << 20;

class PerfLogFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, m.Initialize(nullptr));
    dir = peer.logDirectory();
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
  static bool StartsWith(const std::string& path, const std::string& text) {
    return hxtest::ReadFile(path).compare(0, text.size(), text) == 0;
  }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  CHxPerfManager m{&env};
  CHxPerfManagerTestPeer peer{m};
  std::string dir, id = hxtest::MachineId();
};

TEST_F(PerfLogFilesTest, RotatesFromElevenMiBIntoTheFirstGapOnly) {
  const std::string current = Name("K-1", 0);
  MakeFile(current, 11 * kMiB - 1, "old");
  ASSERT_EQ(0, Report("x"));
  EXPECT_FALSE(Exists(Name("K-1", 1)));
  const uint64_t grown = SizeOf(current);
  EXPECT_GT(grown, 11 * kMiB - 1);
  EXPECT_LT(grown, 11 * kMiB + 100);  // appended, no header

  // Exactly 11 MiB, generations 1 and 3 present, 2 missing: 1 moves to 2,
  // current to 1, 3 stays.
  ASSERT_EQ(0, truncate(current.c_str(), static_cast<off_t>(11 * kMiB)));
  MakeFile(Name("K-1", 1), 10, "g1");
  MakeFile(Name("K-1", 3), 10, "g3");
  ASSERT_EQ(0, Report("y"));
  EXPECT_EQ(11 * kMiB, SizeOf(Name("K-1", 1)));
  EXPECT_TRUE(StartsWith(Name("K-1", 2), "g1"));
  EXPECT_TRUE(StartsWith(Name("K-1", 3), "g3"));
  EXPECT_FALSE(Exists(Name("K-1", 4)));
  EXPECT_TRUE(StartsWith(current, "Date,Time,V\r\n"));
  EXPECT_LT(SizeOf(current), 100u);
}

TEST_F(PerfLogFilesTest, FullSetDropsTheOldestGeneration) {
  for (uint32_t count : {1u, 3u}) {
    SCOPED_TRACE(count);
    peer.setMaxLogCount(count);
    const std::string object = "K" + std::to_string(count), key = object + "-1";
    MakeFile(Name(key, 0), 12 * kMiB, "cur");
    for (uint32_t g = 1; g <= count; ++g) MakeFile(Name(key, g), 10, "g" + std::to_string(g));
    _PerfLogItems items;
    items.version = "1";
    items.rows = {{"v"}};
    ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_SYSTEM, object.c_str(), items));
    EXPECT_EQ(12 * kMiB, SizeOf(Name(key, 1)));
    for (uint32_t g = 2; g <= count; ++g) {
      EXPECT_TRUE(StartsWith(Name(key, g), "g" + std::to_string(g - 1)));
    }
    EXPECT_FALSE(Exists(Name(key, count + 1)));
    EXPECT_TRUE(StartsWith(Name(key, 0), "Date,Time,\r\n"));  // no columns
  }
}

TEST_F(PerfLogFilesTest, OldFilesAreDeletedWhenANewFileIsCreated) {
  const std::string foreign = dir + "/someone_else.txt", threeDays = dir + "/exactly_three_days.csv",
                    recent = dir + "/two_days.csv", future = dir + "/from_the_future.csv",
                    subdir = dir + "/old_directory";
  for (const std::string& f : {foreign, threeDays, recent, future}) hxtest::WriteFile(f, "x");
  ASSERT_EQ(0, mkdir(subdir.c_str(), 0777));
  const std::pair<std::string, int64_t> ages[] = {
      {foreign, 4 * 86400}, {threeDays, 3 * 86400}, {recent, 2 * 86400}, {future, -86400}, {subdir, 10 * 86400}};
  for (const auto& a : ages) {
    struct timeval tv[2] = {{static_cast<time_t>(static_cast<int64_t>(env.now) - a.second), 0}, {}};
    tv[1] = tv[0];
    ASSERT_EQ(0, utimes(a.first.c_str(), tv));
  }

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
  EXPECT_TRUE(StartsWith(Name("K-1", 2), "old-1"));
  EXPECT_EQ(11 * kMiB, SizeOf(Name("K-1", 1)));
}

TEST_F(PerfLogFilesTest, FailedRotationOrOpenNeverOverwritesRows) {
  // The current name is as long as a name may be, so the generation-1 name
  // is too long and the current file cannot be moved away.
  const size_t fixed = std::string("PerfLog__").size() + id.size() + std::string("-1.csv").size();
  const std::string object(255 - fixed, 'n');
  const std::string current = Name(object + "-1", 0);
  const std::string rows = "01/01/01,00:00:00,precious\r\n01/01/01,00:01:00,precious\r\n";
  MakeFile(current, 11 * kMiB, rows);
  ASSERT_EQ(0, Report("new", object));
  EXPECT_FALSE(inst.LogLinesContaining("renaming file failed").empty());
  const std::string after = hxtest::ReadFile(current);
  EXPECT_EQ(0u, after.find(rows));  // not overwritten by a header
  EXPECT_EQ(",new\r\n", after.substr(after.size() - 6));

  // A directory in place of the current file: neither open works, the batch is dropped.
  ASSERT_EQ(0, mkdir(Name("K-1", 0).c_str(), 0777));
  EXPECT_EQ(1, Report("x"));
  EXPECT_EQ(1u, inst.LogLinesContaining("CHxPerfManager::OpenLogfile: [ERROR] System Resource Monitor opening file failed [" + Name("K-1", 0) + "]").size());
  EXPECT_EQ(2u, inst.LogLinesContaining("CHxPerfManager::OpenLogfile: [ERROR][").size());
}

// The current file stays open between batches, and whatever happens to it
// on disk in between, the next batch goes where a fresh open would put it.
TEST_F(PerfLogFilesTest, KeptFileFollowsWhatHappensToItsName) {
  const std::string current = Name("K-1", 0), moved = Name("K-1", 1), victim = dir + "/victim";
  const auto heldOpen = [&] {
    for (int fd = 0; fd < 1024; ++fd) {
      char target[4096];
      const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target));
      if (n > 0 && std::string(target, static_cast<size_t>(n)) == current) return true;
    }
    return false;
  };
  struct Case {
    const char* name;
    std::function<void()> change;
    int result;
    std::string file;  // what the current name holds afterwards ("" = as the victim check says)
  };
  const std::string header = "Date,Time,V\r\n";
  const std::vector<Case> cases = {
      {"untouched", [] {}, 0, header + "a\r\nb\r\n"},
      {"removed", [&] { ASSERT_EQ(0, unlink(current.c_str())); }, 0, header + "b\r\n"},
      {"replaced", [&] {
         hxtest::WriteFile(dir + "/other", header + "other\r\n");
         ASSERT_EQ(0, rename((dir + "/other").c_str(), current.c_str()));
       }, 0, header + "other\r\nb\r\n"},
      {"moved away", [&] { ASSERT_EQ(0, rename(current.c_str(), moved.c_str())); }, 0, header + "b\r\n"},
      {"grown past the limit", [&] {
         ASSERT_EQ(0, truncate(current.c_str(), static_cast<off_t>(11 * kMiB)));
       }, 0, header + "b\r\n"},
      {"made a symlink", [&] {
         hxtest::WriteFile(victim, "keep");
         ASSERT_EQ(0, unlink(current.c_str()));
         ASSERT_EQ(0, symlink(victim.c_str(), current.c_str()));
       }, 1, "keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& f : {current, moved, victim}) unlink(f.c_str());
    ASSERT_EQ(0, Report("a"));
    EXPECT_TRUE(heldOpen()) << "kept open between batches";
    c.change();
    EXPECT_EQ(c.result, Report("b"));
    // Rows without their date and time.
    const std::regex stamp(R"(\d\d/\d\d/\d\d,\d\d:\d\d:\d\d,)");
    EXPECT_EQ(std::regex_replace(hxtest::ReadFile(current), stamp, ""), c.file);
    if (c.result != 0) {
      EXPECT_EQ(hxtest::ReadFile(victim), "keep");
    }
    EXPECT_EQ(std::string::npos, hxtest::ReadFile(moved).find(",b\r\n")) << "a moved file gets no new row";
  }
}

}  // namespace
