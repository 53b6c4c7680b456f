// Perf-log files: which files exist after each write (rotation, clean-up,
// legacy names, against a model of the directory), and the CSV rows, headers
// and metrics text a report becomes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <set>

#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

class PerfLogTest : public ::testing::Test {
 protected:
  int Report(const std::string& object, const std::vector<std::string>& columns,
             const std::vector<std::vector<std::string>>& rows, const char* version = "1") {
    _PerfLogItems items;
    items.version = version;
    items.columns = columns;
    items.rows = rows;
    return m.OnUpdateLog(RSRC_AGENT_SYSTEM, object.c_str(), items);
  }
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  CHxPerfManager m{&env};
  CHxPerfManagerTestPeer peer{m};
};

std::string Head(const std::string& path, size_t n) {
  std::string head(n, '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(&head[0], static_cast<std::streamsize>(n));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

std::set<std::string> DirNames(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.insert(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  return names;
}

// Random writes, growth past the size limit, removals, ageing and legacy-named
// files; after every step the directory holds exactly the model's files, each
// of the model's size, beginning with one header and its first row.
TEST_F(PerfLogTest, RotationAndCleanUpFollowTheModel) {
  inst.SetConfig("Hxd", "HX_PERF_LOG_SIZEMB", "1");  // rotated from 2 MiB on
  inst.SetConfig("Hxd", "HX_PERF_LOG_COUNT", "3");
  ASSERT_EQ(0, m.Initialize(nullptr));
  const std::string dir = peer.logDirectory(), header = "Date,Time,V\r\n";
  const int kCount = 3;
  const uint64_t kRow = 24;  // "MM/DD/YY,HH:MM:SS,tNNN\r\n"
  const auto name = [&](int gen) { return hxtest::PerfLogName(dir, "K-1", gen); };
  const std::string legacy = hxtest::PerfLogName(dir, "K-1", 0, "hxtesthost");
  struct File {
    uint64_t size;
    std::string first;  // tag of the first row
    bool old = false;   // last modified more than three days before the clock
  };
  std::map<std::string, File> model;
  std::mt19937 rng(7);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int step = 0; step < 400; ++step) {
    char tag[8];
    snprintf(tag, sizeof(tag), "t%03d", step % 1000);
    const int op = pick(10);
    const std::string cur = name(0);
    if (op < 5) {
      ASSERT_EQ(0, Report("K", {"V"}, {{tag}}));
      if (!model.count(cur) && model.count(legacy)) {
        model[cur] = model[legacy];
        model.erase(legacy);
      }
      bool create = !model.count(cur);
      if (!create && (model[cur].size >> 20) > 1) {
        int free = 0;
        for (int g = kCount; g >= 1; --g) free = model.count(name(g)) ? free : g;
        if (free == 0) model.erase(name(free = kCount));
        for (int i = free; i >= 1; --i) {
          model[name(i)] = model[name(i - 1)];
          model.erase(name(i - 1));
        }
        create = true;
      }
      if (create) {
        for (auto it = model.begin(); it != model.end();) it = it->second.old ? model.erase(it) : std::next(it);
        model[cur] = {header.size(), tag};
      }
      model[cur].size += kRow;
      model[cur].old = false;
    } else if (op == 5 && model.count(cur)) {
      const uint64_t sizes[] = {(2u << 20) - 1, 2u << 20, (2u << 20) + 100};
      model[cur] = {sizes[pick(3)], model[cur].first};
      ASSERT_EQ(0, truncate(cur.c_str(), static_cast<off_t>(model[cur].size)));
    } else if (op <= 7 && !model.empty()) {
      auto it = std::next(model.begin(), pick(static_cast<int>(model.size())));
      if (op == 6) {
        ASSERT_EQ(0, unlink(it->first.c_str()));
        model.erase(it);
        continue;
      }
      it->second.old = pick(2);  // else exactly three days: not old yet
      struct timeval tv[2] = {{static_cast<time_t>(env.now - 259200 - it->second.old), 0}, {}};
      tv[1] = tv[0];
      ASSERT_EQ(0, utimes(it->first.c_str(), tv));
    } else if (op == 8 && !model.count(cur) && !model.count(legacy)) {
      tag[0] = 'L';
      hxtest::WriteFile(legacy, header + "01/01/01,00:00:00," + tag + "\r\n");
      model[legacy] = {header.size() + kRow, tag};
    }
    std::set<std::string> want;
    for (const auto& f : model) want.insert(f.first);
    ASSERT_EQ(want, DirNames(dir)) << "step " << step;
    for (const auto& f : model) {
      struct stat st;
      ASSERT_EQ(0, stat(f.first.c_str(), &st));
      EXPECT_EQ(f.second.size, static_cast<uint64_t>(st.st_size)) << f.first << " step " << step;
      const std::string head = Head(f.first, header.size() + kRow);
      EXPECT_EQ(header, head.substr(0, header.size())) << f.first;
      EXPECT_EQ(f.second.first + "\r\n", head.substr(header.size() + 18)) << f.first;
    }
  }
}

// A file that cannot be moved away or opened never loses its rows: the
// report is appended to it or dropped.
TEST_F(PerfLogTest, FailedRotationOrOpenNeverOverwritesRows) {
  ASSERT_EQ(0, m.Initialize(nullptr));
  const std::string dir = peer.logDirectory();
  // The current name is as long as a name may be: generation 1's is too long.
  const std::string object(255 - hxtest::PerfLogName("", "-1", 0).size() + 1, 'n');
  const std::string current = hxtest::PerfLogName(dir, object + "-1", 0);
  const std::string rows = "01/01/01,00:00:00,precious\r\n";
  hxtest::WriteFile(current, rows);
  ASSERT_EQ(0, truncate(current.c_str(), 11 << 20));
  ASSERT_EQ(0, Report(object, {"V"}, {{"new"}}));
  const std::string after = hxtest::ReadFile(current);
  EXPECT_EQ(0u, after.find(rows));
  EXPECT_EQ(",new\r\n", after.substr(after.size() - 6));
  // A directory, or a link, in the file's place: the batch is dropped.
  ASSERT_EQ(0, mkdir(hxtest::PerfLogName(dir, "D-1", 0).c_str(), 0777));
  EXPECT_EQ(1, Report("D", {"V"}, {{"x"}}));
  hxtest::WriteFile(dir + "/victim", "keep");
  ASSERT_EQ(0, symlink((dir + "/victim").c_str(), hxtest::PerfLogName(dir, "S-1", 0).c_str()));
  EXPECT_EQ(1, Report("S", {"V"}, {{"x"}}));
  EXPECT_EQ("keep", hxtest::ReadFile(dir + "/victim"));
}

// One row per report: its CSV line after the date and time of the clock, and
// its metrics text. Only values holding a comma are quoted, with their quotes
// doubled; the metrics text names every non-empty value but the arguments.
TEST_F(PerfLogTest, RowsBecomeCsvLinesAndMetricsText) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::vector<std::string> columns = {"CPU-Usage", "Name", "Arguments", "Empty-Col"};
  struct Case {
    uint32_t now;
    std::vector<std::string> row;
    const char *csv, *metrics;
  } cases[] = {
      {1700000000, {"12", "a,b", "cmd --x \"y,z\"", ""}, "11/14/23,22:13:20,12,\"a,b\",\"cmd --x \"\"y,z\"\"\",",
       "CPU_Usage:[12] Name:[a,b] "},
      {1700000061, {"3.5", "say \"hi\"", "", "v"}, "11/14/23,22:14:21,3.5,say \"hi\",,v",
       "CPU_Usage:[3.5] Name:[say \"hi\"] Empty_Col:[v] "},
      {1700006400, {"1", "x", "y", "z", "surplus"}, "11/15/23,00:00:00,1,x,y,z,surplus",
       "CPU_Usage:[1] Name:[x] Empty_Col:[z] "},
      {1700006400, {"0", "only,comma", "\"quoted\",inside", ""},
       "11/15/23,00:00:00,0,\"only,comma\",\"\"\"quoted\"\",inside\",", "CPU_Usage:[0] Name:[only,comma] "},
  };
  EXPECT_EQ(1, Report("Proc", columns, {cases[0].row}, "1.2"));  // not initialised: nothing
  ASSERT_EQ(0, m.Initialize(nullptr));
  std::string csv = "Date,Time,CPU-Usage,Name,Arguments,Empty-Col\r\n", metrics;
  for (const Case& c : cases) {
    env.now = c.now;
    ASSERT_EQ(0, Report("Proc", columns, {c.row}, "1.2"));
    csv += std::string(c.csv) + "\r\n";
    metrics += std::string("System Resource|Proc|") + c.metrics + "\n";
  }
  const std::string path = hxtest::PerfLogName(peer.logDirectory(), "Proc-1.2", 0);
  EXPECT_EQ(csv, hxtest::ReadFile(path));
  EXPECT_EQ(metrics, hxtest::ReadFile(inst.logDir() + "/metrics.log"));
  // A batch without rows creates the file with its header only.
  ASSERT_EQ(0, Report("N", {}, {}, "1.0"));
  EXPECT_EQ("Date,Time,\r\n", hxtest::ReadFile(hxtest::PerfLogName(peer.logDirectory(), "N-1.0", 0)));
}

}  // namespace
