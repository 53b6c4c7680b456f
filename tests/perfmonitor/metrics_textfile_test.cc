// The monitor's metrics textfile, read back by the reference parser: it holds
// the CSV rows of the same tick, hostile names survive, readers never see a
// partial file, and the replacement is safe.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <set>
#include <thread>

#include "perfmonitor/exposition_text.h"
#include "perfmonitor/metrics_textfile.h"
#include "providers/perf_header_info.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;
using hxtest::Series;
using hxtest::SeriesValues;

// One perf-log object: its columns, what each is called in the textfile
// ("" = left out, "=name" = label name, else the family), and the identity
// values of its rows (one list per row, in label-column order).
struct ObjectCase {
  ResourceAgentType type;
  const char* object;
  const char* version;
  const char* prefix;
  std::vector<std::string> columns;  // empty: the provider's header
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> ids;
};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

// Names per column: "=label", "-" (left out) or the family after the prefix.
ObjectCase Case(ResourceAgentType type, const char* object, const char* version, const char* prefix,
                const char* columns, const char* names, std::vector<std::vector<std::string>> ids) {
  ObjectCase c{type, object, version, prefix, Words(columns), {}, std::move(ids)};
  for (const std::string& n : Words(names)) {
    c.names.push_back(n == "-" ? "" : n[0] == '=' ? n : std::string(prefix) + "_" + n);
  }
  return c;
}

std::vector<ObjectCase> Objects() {
  return {
      Case(RSRC_AGENT_SYSTEM, "System", "1.2", "halvex_system", "",
           "cpu_usage_percent physical_memory_kilobytes free_physical_memory_percent "
           "virtual_memory_kilobytes free_virtual_memory_percent events mutexes processes "
           "semaphores threads", {{}}),
      // Hostile names; the last row repeats an identity and replaces it.
      Case(RSRC_AGENT_PROCESS, "Process", "1.2", "halvex_process", "",
           "cpu_usage_percent =process =pid threads handles memory_bytes "
           "non_paged_pool_memory_kilobytes paged_pool_memory_kilobytes write_operations "
           "written_bytes read_operations read_bytes -",
           {{"evil \"quote\" \\back,slash", "42"}, {"two,\nlines", "43"}, {"plain", "44"}, {"plain", "44"}}),
      Case(RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", "1.2", "halvex_logical_disk", "",
           "=disk writes_per_second write_bytes_per_second reads_per_second read_bytes_per_second "
           "avg_write_queue_length avg_read_queue_length free_megabytes free_space_percent "
           "total_megabytes", {{"/dev/sda1"}, {"C:\\"}}),
      Case(RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", "1.2", "halvex_logical_disk1", "", "=disk size",
           {{"sdb"}}),
      Case(RSRC_AGENT_TCPIP, "Tcpip", "1.2", "halvex_tcpip", "",
           "=interface received_bytes_per_second sent_bytes_per_second current_bandwidth "
           "received_packets_per_second sent_packets_per_second packets_received_discarded "
           "packets_received_errors packets_outbound_discarded packets_outbound_errors",
           {{"eth0"}, {"we\\ird\"if,0"}}),
      Case(RSRC_AGENT_HBA_FC, "HBA-FC", "1.0", "halvex_hba_fc", "",
           "=adapter =port =wwn input_requests output_requests control_requests input_megabytes "
           "output_megabytes", {{"hba0", "1", "50:01"}}),
      Case(RSRC_AGENT_JOBS_STATS, "JobsStats", "1.3", "halvex_jobs_stats",
           "Job-ID Stream-Source Stream-Destination Job-Type Job-Duration Job-Duration-Seconds "
           "Active-Streams Total-Job-Throughput Current-Job-Throughput Total-Read-Size "
           "Current-Read-Size Current-Read-Time Current-Read-Throughput Total-Network-Size "
           "Current-Network-Size Current-Network-Time Current-Network-Throughput Total-Write-Size "
           "Current-Write-Size Current-Write-Time Current-Write-Throughput Total-SIDBLookup-Samples "
           "Current-SIDBLookup-Samples Current-SIDBLookup-Time Current-Avg-SIDBLooupTime",
           "=job - - - - duration_seconds active_streams total_throughput_gibibytes_per_hour "
           "current_throughput_gibibytes_per_hour total_read_bytes current_read_bytes "
           "current_read_time current_read_throughput_gibibytes_per_hour total_network_bytes "
           "current_network_bytes current_network_time current_network_throughput_gibibytes_per_hour "
           "total_write_bytes current_write_bytes current_write_time "
           "current_write_throughput_gibibytes_per_hour total_sidb_lookup_samples "
           "current_sidb_lookup_samples current_sidb_lookup_time current_avg_sidb_lookup_time",
           {{"7"}, {"8"}}),
      Case(RSRC_AGENT_JOBS_STREAM_WRITER, "JobsStreamWriter", "1.0", "halvex_jobs_stream_writer",
           "TotalBytesRecieved ActiveJobs ActiveStreams", "received_bytes active_jobs active_streams", {{}}),
      Case(RSRC_AGENT_JOBS_STREAM_READER, "JobsStreamReader", "1.0", "halvex_jobs_stream_reader",
           "TotalBytesSent ActiveJobs ActiveStreams", "sent_bytes active_jobs active_streams", {{}}),
  };
}

// Values of row r: identities where the case has labels, text in omitted
// columns, some cells that are not numbers (left out), else numbers of
// several forms, one past 2^53.
std::vector<std::string> RowValues(const ObjectCase& c, size_t r) {
  static const char* const kCells[] = {"0",    "12.50", "-3",   "N/A", "1e3",
                                       "",     "0x10",  "1,5",  "18446744073709551615", "0.001"};
  std::vector<std::string> row;
  size_t id = 0;
  for (size_t j = 0; j < c.names.size(); ++j) {
    const bool label = !c.names[j].empty() && c.names[j][0] == '=';
    const std::string cell = kCells[(r * 3 + j) % 10];
    row.push_back(label ? c.ids[r][id++] : c.names[j].empty() ? "text, \"not\" a number"
                                          : cell == "0" ? std::to_string(r * 100 + j) : cell);
  }
  return row;
}

bool IsNumber(const std::string& v) { return v != "N/A" && !v.empty() && v != "0x10" && v != "1,5"; }

// The CSV records of path (header first), read by Python's CSV reader.
std::vector<std::vector<std::string>> CsvRecords(const std::string& path) {
  std::string out;
  EXPECT_EQ(0, hxtest::RunAndCapture("/usr/bin/python3",
                                     {std::string(HX_SOURCE_DIR) + "/tests/perfmonitor/csv_rows.py", path}, &out));
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(out);
  std::string line, hex;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    records.emplace_back();
    while (words >> hex) records.back().push_back(hxtest::FromHex(hex));
  }
  return records;
}

std::vector<std::string> DirNames(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The series of a text file; every family is a gauge.
SeriesValues Read(const std::string& path) {
  SeriesValues series;
  std::map<std::string, std::string> types;
  std::string error;
  EXPECT_TRUE(hxtest::ParseSeries(path, &series, &types, &error)) << error;
  for (const auto& t : types) EXPECT_EQ("gauge", t.second) << t.first;
  return series;
}

class MetricsTextfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = inst_.root() + "/textfile";
    mkdir(dir_.c_str(), 0755);
    inst_.SetConfig("Hxd", "PerfMetricsTextfileDirectory", dir_ + "/");
  }
  std::string TextfilePath() const { return dir_ + "/halvex_" + inst_.focus() + ".prom"; }
  Series Up(const std::string& provider, ResourceAgentType type) const {
    return Series("halvex_monitor_provider_up", {{"instance", inst_.focus()}, {"provider", provider},
                                                 {"agent_type", std::to_string(type)}});
  }
  // Adds the series of CSV records [from, end) as the case names them; a
  // later row of the same identity replaces an earlier one.
  void AddCsvRows(const ObjectCase& c, const std::vector<std::vector<std::string>>& csv, size_t from,
                  SeriesValues* want) const {
    for (size_t r = from; r < csv.size(); ++r) {
      std::map<std::string, std::string> labels = {{"instance", inst_.focus()}};
      for (size_t j = 0; j < c.names.size(); ++j) {
        if (!c.names[j].empty() && c.names[j][0] == '=') labels[c.names[j].substr(1)] = csv[r][j + 2];
      }
      for (size_t j = 0; j < c.names.size(); ++j) {
        if (c.names[j].empty() || c.names[j][0] == '=') continue;
        const Series s(c.names[j], labels);
        want->erase(s);
        if (IsNumber(csv[r][j + 2])) (*want)[s] = std::strtod(csv[r][j + 2].c_str(), nullptr);
      }
    }
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  std::string dir_;
};

TEST_F(MetricsTextfileTest, HoldsTheCsvRowsOfTheTickWithTimesAndProviderState) {
  std::vector<ObjectCase> objects = Objects();
  std::vector<ResourceAgentType> types;
  for (const ObjectCase& c : objects) types.push_back(c.type);
  FakeProvider os("Fake OS", types), silent("Silent", {RSRC_AGENT_SYSTEM}), broken("Broken", {RSRC_AGENT_TCPIP});
  broken.initResult = -1;
  std::set<ResourceAgentType> reporting(types.begin(), types.end());
  os.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    for (const ObjectCase& c : objects) {
      if (c.type != type || !reporting.count(type)) continue;
      std::string object;
      _PerfLogItems items;
      ASSERT_EQ(c.columns.empty(), CPerfHeaderInfo::GetPerfHeader(type, object, items.version, items.columns));
      if (!c.columns.empty()) items.columns = c.columns;
      items.version = c.version;
      ASSERT_EQ(c.names.size(), items.columns.size()) << c.object;
      // One report per row, as the process and network providers do.
      for (size_t r = 0; r < c.ids.size(); ++r) {
        items.rows = {RowValues(c, r)};
        cb->OnUpdateLog(type, c.object, items);
      }
    }
  };
  CHxPerfManager m(&env_);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  for (FakeProvider* p : {&os, &silent, &broken}) {
    std::vector<ResourceAgentType> ts;
    p->GetSupprotedAgentTypes(ts);
    for (ResourceAgentType t : ts) p->SetInterval(t, 1);
    ASSERT_EQ(0, m.RegisterPerfProvider(p));
  }
  const auto csvPath = [&](const ObjectCase& c) {
    return peer.logDirectory() + "/PerfLog_" + c.object + "-" + c.version + "_" + hxtest::MachineId() + ".csv";
  };
  const uint32_t firstTick = env_.now;
  m.UpdateTimerAndPerfLogs();

  SeriesValues want;
  for (const ObjectCase& c : objects) {
    const std::vector<std::vector<std::string>> csv = CsvRecords(csvPath(c));
    ASSERT_EQ(c.ids.size() + 1, csv.size()) << c.object;
    AddCsvRows(c, csv, 1, &want);
    want[Series(std::string(c.prefix) + "_timestamp_seconds", {{"instance", inst_.focus()}})] = firstTick;
    want[Up("Fake OS", c.type)] = 1;
  }
  want[Up("Silent", RSRC_AGENT_SYSTEM)] = 0;
  want[Up("Broken", RSRC_AGENT_TCPIP)] = 0;
  EXPECT_EQ("", hxtest::Diff(want, Read(TextfilePath())));

  // Next tick only the processes report, the first of them gone: the other
  // objects keep their rows and time, their providers show no rows this time.
  env_.now += 60;
  reporting = {RSRC_AGENT_PROCESS};
  ObjectCase& process = objects[1];
  process.ids.erase(process.ids.begin());
  m.UpdateTimerAndPerfLogs();
  for (auto it = want.begin(); it != want.end();) {
    it = it->first.first.rfind("halvex_process_", 0) == 0 ? want.erase(it) : std::next(it);
  }
  const std::vector<std::vector<std::string>> csv = CsvRecords(csvPath(process));
  ASSERT_EQ(1 + 4 + 3u, csv.size());
  AddCsvRows(process, csv, 5, &want);
  want[Series("halvex_process_timestamp_seconds", {{"instance", inst_.focus()}})] = env_.now;
  for (const ObjectCase& c : objects) want[Up("Fake OS", c.type)] = c.type == RSRC_AGENT_PROCESS;
  EXPECT_EQ("", hxtest::Diff(want, Read(TextfilePath())));
  EXPECT_EQ((std::vector<std::string>{".", "..", "halvex_" + inst_.focus() + ".prom"}), DirNames(dir_));
}

// A reader that opens the file while ticks replace it always sees one whole
// tick: as many process rows as that tick's System row announces, and the
// last family complete.
TEST_F(MetricsTextfileTest, ConcurrentReaderNeverSeesAPartialFile) {
  FakeProvider p("P", {RSRC_AGENT_SYSTEM, RSRC_AGENT_PROCESS});
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  p.SetInterval(RSRC_AGENT_PROCESS, 1);
  std::atomic<int> tick{0};
  const auto rowsOf = [](int t) { return 500 + (t % 5) * 100; };
  p.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    _PerfLogItems items;
    items.columns = {"Threads"};
    items.rows = {{std::to_string(tick.load())}};
    if (type == RSRC_AGENT_PROCESS) {
      items.columns = {"Name", "Process-Id", "MemoryBytes"};
      items.rows.clear();
      for (int i = 0; i < rowsOf(tick); ++i) items.rows.push_back({"proc", std::to_string(i), "4096"});
    }
    cb->OnUpdateLog(type, type == RSRC_AGENT_PROCESS ? "Process" : "System", items);
  };
  CHxPerfManager m(&env_);
  ASSERT_EQ(0, m.Initialize(nullptr));
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  m.UpdateTimerAndPerfLogs();

  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, partial{0};
  std::thread reader([&] {
    const std::string marker = "halvex_system_threads{instance=\"" + inst_.focus() + "\"} ";
    while (!stop) {
      const std::string text = hxtest::ReadFile(TextfilePath());
      ++reads;
      const size_t at = text.find(marker);
      const int t = at == std::string::npos ? -1 : std::atoi(text.c_str() + at + marker.size());
      int rows = 0;
      for (size_t pos = 0; (pos = text.find("\nhalvex_process_memory_bytes{", pos + 1)) != std::string::npos;) ++rows;
      const std::string end = "agent_type=\"7\"} 1\n";
      if (t < 0 || rows != rowsOf(t) || text.size() < end.size() ||
          text.compare(text.size() - end.size(), end.size(), end) != 0) {
        ++partial;
      }
    }
  });
  for (int t = 1; t <= 30; ++t) {
    tick = t;
    m.UpdateTimerAndPerfLogs();
  }
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 30);
  EXPECT_EQ(0, partial.load());
}

// The replacement: a readable mode whatever the umask, a link in the file's
// place replaced rather than followed, nothing left beside the file, and a
// failure that reports itself.
TEST_F(MetricsTextfileTest, ReplacementIsSafe) {
  const std::string outside = inst_.root() + "/outside";
  hxtest::WriteFile(outside, "keep");
  ASSERT_EQ(0, symlink(outside.c_str(), (dir_ + "/b.prom").c_str()));
  const mode_t oldMask = umask(077);
  std::string error;
  for (const char* name : {"a.prom", "a.prom", "b.prom"}) {
    ASSERT_TRUE(hxmetrics::ReplaceFileAtomically(dir_, name, std::string(name) + "\n", &error)) << error;
    struct stat st;
    ASSERT_EQ(0, lstat((dir_ + "/" + name).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0644) << name;
    EXPECT_EQ(std::string(name) + "\n", hxtest::ReadFile(dir_ + "/" + name));
  }
  umask(oldMask);
  EXPECT_FALSE(hxmetrics::ReplaceFileAtomically(dir_ + "/missing", "a.prom", "x", &error));
  EXPECT_NE(std::string::npos, error.find(dir_ + "/missing/.a.prom")) << error;
  EXPECT_EQ("keep", hxtest::ReadFile(outside));
  EXPECT_EQ((std::vector<std::string>{".", "..", "a.prom", "b.prom"}), DirNames(dir_));
  // The file never leaves the directory; the characters of a plain name stay.
  EXPECT_EQ("halvex_.._x_y_az.AZ-09_.prom", hxmetrics::TextfileName("../x/y az.AZ-09_"));
}

// Label values of any bytes come back as written, bytes that are not UTF-8
// as U+FFFD; a repeated series or family is left out, as is an empty family.
TEST(ExpositionWriter, AnyBytesInLabelsAndNoRepeats) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"q\"b\\n\nc\rt\t", "q\"b\\n\nc\rt\t"}, {"\xc3\xbc", "\xc3\xbc"}, {"", ""},
      {"bad\xff", "bad\xef\xbf\xbd"}, {"cut\xe2\x82", "cut\xef\xbf\xbd\xef\xbf\xbd"},
      {"over\xc0\xaf", "over\xef\xbf\xbd\xef\xbf\xbd"}};
  hxmetrics::ExpositionWriter w;
  w.BeginFamily("t_empty", "no samples", "gauge");
  w.BeginFamily("t", "help \\ and\nnewline", "gauge");
  for (size_t i = 0; i < values.size(); ++i) w.AddSample({{"v", values[i].first}}, std::to_string(i));
  w.AddSample({{"v", values[0].first}}, "99");
  w.BeginFamily("t", "again", "gauge");
  w.AddSample({{"v", "other"}}, "1");
  hxtest::TestInstance inst;
  hxtest::WriteFile(inst.root() + "/w.prom", w.Finish());
  SeriesValues want;
  for (size_t i = 0; i < values.size(); ++i) want[Series("t", {{"v", values[i].second}})] = i;
  EXPECT_EQ("", hxtest::Diff(want, Read(inst.root() + "/w.prom")));
}

}  // namespace
