// The monitor's metrics textfile: names and values as the exposition format
// wants them, the latest rows of every object read back by the reference
// parser after each tick, and a replacement that readers never see half done.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "perfmonitor/exposition_text.h"
#include "perfmonitor/metrics_textfile.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::Series;
using hxtest::SeriesValues;

TEST(ExpositionText, NamesNumbersAndLabelValues) {
  const std::pair<const char*, const char*> snake[] = {
      {"LogicalDisk1", "logical_disk1"}, {"CPU-Usage", "cpu_usage"}, {"HTTPServerCount", "http_server_count"},
      {"HBA-FC", "hba_fc"}, {"Job-ID", "job_id"}, {"--", "x"}, {"a\xc3\xbc" "b", "a_b"}, {"IOps2Go", "i_ops2_go"}};
  for (const auto& c : snake) EXPECT_EQ(c.second, hxmetrics::SnakeCase(c.first)) << c.first;
  const std::pair<const char*, bool> numbers[] = {
      {"0", true}, {"-12", true}, {"3.50", true}, {".5", true}, {"5.", true}, {"1e3", true}, {"2E-7", true},
      {"", false}, {"-", false}, {".", false}, {"N/A", false}, {"0x10", false}, {"1,5", false}, {"1e", false},
      {"e3", false}, {"inf", false}, {" 1", false}, {"1 ", false}, {"--1", false}};
  for (const auto& c : numbers) EXPECT_EQ(c.second, hxmetrics::IsDecimalNumber(c.first)) << c.first;
  // Escapes, and U+FFFD for every byte that is not part of valid UTF-8.
  const std::pair<std::string, std::string> labels[] = {
      {"q\"b\\n\nc\rt\t", "q\\\"b\\\\n\\nc\rt\t"}, {"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"},
      // The first and last code points of every length and around the surrogates.
      {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
       "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
      {"bad\xff", "bad\xef\xbf\xbd"}, {"cut\xe2\x82", "cut\xef\xbf\xbd\xef\xbf\xbd"},
      {"over\xc0\xaf", "over\xef\xbf\xbd\xef\xbf\xbd"}, {"over\xe0\x9f\xbf", "over\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"sur\xed\xa0\x80", "sur\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}};
  for (const auto& c : labels) EXPECT_EQ(c.second, hxmetrics::EscapeLabelValue(c.first)) << c.first;
  EXPECT_EQ("halvex_.._x_y_az.AZ-09_.prom", hxmetrics::TextfileName("../x/y az.AZ-09_"));
  // A family without samples is left out, as are a repeated family and a
  // repeated series.
  hxmetrics::ExpositionWriter w;
  w.BeginFamily("t_empty", "none", "gauge");
  w.BeginFamily("t", "help \\ and\nnewline", "gauge");
  w.AddSample({{"v", "a"}, {"w", "b"}}, "1");
  w.AddSample({{"v", "a"}, {"w", "b"}}, "2");
  w.BeginFamily("t", "again", "counter");
  w.AddSample({}, "3");
  w.BeginFamily("u", "u", "counter");
  w.AddSample({}, "4");
  EXPECT_EQ("# HELP t help \\\\ and\\nnewline\n# TYPE t gauge\nt{v=\"a\",w=\"b\"} 1\n"
            "# HELP u u\n# TYPE u counter\nu 4\n", w.Finish());
}

class MetricsTextfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = inst_.root() + "/textfile";
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0755));
    inst_.SetConfig("Hxd", "PerfMetricsTextfileDirectory", dir_ + "//");
    ASSERT_EQ(0, m_.Initialize(nullptr));
  }
  std::string Path() const { return dir_ + "/halvex_" + inst_.focus() + ".prom"; }
  SeriesValues Read() {
    SeriesValues series;
    std::map<std::string, std::string> types;
    std::string error;
    EXPECT_TRUE(hxtest::ParseSeries(Path(), &series, &types, &error)) << error;
    for (const auto& t : types) EXPECT_EQ("gauge", t.second) << t.first;
    return series;
  }
  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  CHxPerfManager m_{&env_};
  std::string dir_;
};

// One object of the textfile: its columns, what each is called there ("" =
// left out, "=x" = label x, else the family) and the rows reported.
struct ObjectCase {
  ResourceAgentType type;
  const char* object;
  std::vector<std::string> columns, names;
  std::vector<std::vector<std::string>> rows;
};

// Each tick's objects replace their rows, a later row of one identity
// replacing an earlier one; objects not reported keep theirs and their time,
// and each provider entry is up when its last update reported rows.
TEST_F(MetricsTextfileTest, HoldsTheLatestRowsOfEveryObject) {
  std::vector<ObjectCase> objects = {
      {RSRC_AGENT_PROCESS, "Process", {"CPU-Usage", "Name", "Process-Id", "MemoryBytes", "Arguments"},
       {"halvex_process_cpu_usage_percent", "=process", "=pid", "halvex_process_memory_bytes", ""},
       {{"1.5", "evil \"quote\" \\back,slash", "42", "4096", "--x"}, {"N/A", "two,\nlines", "43", "1e3", "a"},
        {"2", "plain", "44", "0x10", ""}, {"3", "plain", "44", "-7", ""}}},
      {RSRC_AGENT_HBA_FC, "HBA-FC", {"HBAadapter", "PortIndex", "InputRequests"},
       {"=adapter", "=port", "halvex_hba_fc_input_requests"}, {{"hba0", "1", "12.50"}, {"hba0", "2", "7"}, {"hba1", "3"}}},  // a short row
      {RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", {"Name", "HTTPServerCount"},
       {"=disk", "halvex_logical_disk1_http_server_count"}, {{"sdb", "18446744073709551615"}}},
      {RSRC_AGENT_JOBS_STATS, "Widget", {"Name", "Value"}, {"=name", "halvex_widget_value"}, {{"w", "0.001"}}},
  };
  std::vector<ResourceAgentType> types;
  for (const ObjectCase& c : objects) types.push_back(c.type);
  hxtest::FakeProvider os("Fake OS", types), silent("Silent", {RSRC_AGENT_SYSTEM}), broken("Broken", {RSRC_AGENT_TCPIP});
  broken.initResult = -1;
  os.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    for (const ObjectCase& c : objects) {
      if (c.type != type || c.rows.empty()) continue;
      for (const std::vector<std::string>& row : c.rows) {  // one report per row
        _PerfLogItems items{"1.0", c.columns, {row}};
        cb->OnUpdateLog(type, c.object, items);
      }
    }
  };
  for (hxtest::FakeProvider* p : {&os, &silent, &broken}) {
    for (std::atomic<uint32_t>& i : p->intervals) i = 1;
    ASSERT_EQ(0, m_.RegisterPerfProvider(p));
  }
  const std::string focus = inst_.focus();
  SeriesValues want;
  const auto up = [&](const char* provider, ResourceAgentType t) -> double& {
    return want[Series("halvex_monitor_provider_up", {{"instance", focus}, {"provider", provider}, {"agent_type", std::to_string(t)}})];
  };
  for (int tick = 0; tick < 2; ++tick) {
    m_.UpdateTimerAndPerfLogs();
    for (const ObjectCase& c : objects) {
      up("Fake OS", c.type) = !c.rows.empty();
      if (c.rows.empty()) continue;
      const std::string prefix = "halvex_" + hxmetrics::SnakeCase(c.object) + "_";
      for (auto it = want.begin(); it != want.end();) {
        it = it->first.first.rfind(prefix, 0) == 0 ? want.erase(it) : std::next(it);
      }
      want[Series(prefix + "timestamp_seconds", {{"instance", focus}})] = env_.now;
      for (const std::vector<std::string>& row : c.rows) {
        std::map<std::string, std::string> labels = {{"instance", focus}};
        for (size_t j = 0; j < row.size(); ++j) {
          if (c.names[j][0] == '=') labels[c.names[j].substr(1)] = row[j];
        }
        for (size_t j = 0; j < row.size(); ++j) {
          if (c.names[j].empty() || c.names[j][0] == '=') continue;
          want.erase(Series(c.names[j], labels));
          if (row[j] != "N/A" && row[j] != "0x10") want[Series(c.names[j], labels)] = std::stod(row[j]);
        }
      }
    }
    up("Silent", RSRC_AGENT_SYSTEM) = 0;
    up("Broken", RSRC_AGENT_TCPIP) = 0;
    EXPECT_EQ("", hxtest::Diff(want, Read())) << "tick " << tick;
    // Next tick only the processes report, the first of them gone.
    env_.now += 60;
    for (ObjectCase& c : objects) c.rows.erase(c.rows.begin(), c.type == RSRC_AGENT_PROCESS ? c.rows.begin() + 1 : c.rows.end());
  }
  // The replacement leaves nothing beside the file; a failure to write is
  // logged once, not at every tick.
  std::string out;
  hxtest::RunAndCapture("/bin/ls", {"-A", dir_}, &out);
  EXPECT_EQ("halvex_" + focus + ".prom\n", out);
  EXPECT_TRUE(inst_.LogLinesContaining("cannot write the metrics textfile").empty());
  ASSERT_EQ(0, rename(dir_.c_str(), (dir_ + ".gone").c_str()));
  m_.UpdateTimerAndPerfLogs();
  m_.UpdateTimerAndPerfLogs();
  EXPECT_EQ(1u, inst_.LogLinesContaining("[ERROR] cannot write the metrics textfile [" + Path() + "]").size());
}

// A reader opening the file while ticks replace it sees one whole tick: as
// many process rows as that tick's System row announces, and the last family.
TEST_F(MetricsTextfileTest, ConcurrentReaderNeverSeesAPartialFile) {
  hxtest::FakeProvider p("P", {RSRC_AGENT_SYSTEM, RSRC_AGENT_PROCESS});
  for (std::atomic<uint32_t>& i : p.intervals) i = 1;
  std::atomic<int> tick{0};
  const auto rowsOf = [](int t) { return 500 + (t % 5) * 100; };
  p.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    _PerfLogItems items{"1", {"Threads"}, {{std::to_string(tick.load())}}};
    if (type == RSRC_AGENT_PROCESS) {
      items = {"1", {"Name", "Process-Id", "MemoryBytes"}, {}};
      for (int i = 0; i < rowsOf(tick); ++i) items.rows.push_back({"proc", std::to_string(i), "4096"});
    }
    cb->OnUpdateLog(type, type == RSRC_AGENT_PROCESS ? "Process" : "System", items);
  };
  ASSERT_EQ(0, m_.RegisterPerfProvider(&p));
  m_.UpdateTimerAndPerfLogs();
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, partial{0};
  std::thread reader([&] {
    const std::string marker = "halvex_system_threads{instance=\"" + inst_.focus() + "\"} ";
    const std::string end = "agent_type=\"7\"} 1\n";
    while (!stop) {
      const std::string text = hxtest::ReadFile(Path());
      ++reads;
      const size_t at = text.find(marker);
      const int t = at == std::string::npos ? -1 : std::atoi(text.c_str() + at + marker.size());
      int rows = 0;
      for (size_t pos = 0; (pos = text.find("\nhalvex_process_memory_bytes{", pos + 1)) != std::string::npos;) ++rows;
      if (t < 0 || rows != rowsOf(t) || text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) {
        ++partial;
      }
    }
  });
  for (int t = 1; t <= 30; ++t) {
    tick = t;
    m_.UpdateTimerAndPerfLogs();
  }
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 30);
  EXPECT_EQ(0, partial.load());
}

// A link in the file's place is replaced, not followed; the mode is 0644
// whatever the umask; a failure names the temporary file.
TEST_F(MetricsTextfileTest, ReplacementIsSafe) {
  const std::string outside = inst_.root() + "/outside";
  hxtest::WriteFile(outside, "keep");
  ASSERT_EQ(0, symlink(outside.c_str(), (dir_ + "/b.prom").c_str()));
  const mode_t oldMask = umask(077);
  std::string error;
  EXPECT_TRUE(hxmetrics::ReplaceFileAtomically(dir_, "b.prom", "new\n", &error)) << error;
  umask(oldMask);
  struct stat st;
  ASSERT_EQ(0, lstat((dir_ + "/b.prom").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0644);
  EXPECT_EQ("new\n", hxtest::ReadFile(dir_ + "/b.prom"));
  EXPECT_EQ("keep", hxtest::ReadFile(outside));
  EXPECT_FALSE(hxmetrics::ReplaceFileAtomically(dir_ + "/missing", "a.prom", "x", &error));
  EXPECT_EQ(0u, error.find("cannot create " + dir_ + "/missing/.a.prom.")) << error;
  ASSERT_EQ(0, mkdir((dir_ + "/d.prom").c_str(), 0755));  // rename onto a directory fails
  EXPECT_FALSE(hxmetrics::ReplaceFileAtomically(dir_, "d.prom", "x", &error));
  EXPECT_EQ(0u, error.find("rename of " + dir_ + "/.d.prom.")) << error;
}

}  // namespace
