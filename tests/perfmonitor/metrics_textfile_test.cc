// The monitor's metrics textfile: read back by the reference parser, it holds
// the CSV rows of the same tick; hostile names survive; readers never see a
// partial file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "perfmonitor/exposition_text.h"
#include "perfmonitor/metrics_textfile.h"
#include "perfmonitor/perf_manager.h"
#include "providers/perf_header_info.h"
#include "tests/common/prom_text.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

using hxtest::FakeProvider;
using hxtest::Diff;
using hxtest::Parse;
using hxtest::PromFamily;
using hxtest::Series;
using hxtest::SeriesOf;

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

std::vector<ObjectCase> Objects() {
  return {
      {RSRC_AGENT_SYSTEM, "System", "1.2", "halvex_system", {},
       {"halvex_system_cpu_usage_percent", "halvex_system_physical_memory_kilobytes",
        "halvex_system_free_physical_memory_percent", "halvex_system_virtual_memory_kilobytes",
        "halvex_system_free_virtual_memory_percent", "halvex_system_events",
        "halvex_system_mutexes", "halvex_system_processes", "halvex_system_semaphores",
        "halvex_system_threads"},
       {{}}},
      {RSRC_AGENT_PROCESS, "Process", "1.2", "halvex_process", {},
       {"halvex_process_cpu_usage_percent", "=process", "=pid", "halvex_process_threads",
        "halvex_process_handles", "halvex_process_memory_bytes",
        "halvex_process_non_paged_pool_memory_kilobytes",
        "halvex_process_paged_pool_memory_kilobytes", "halvex_process_write_operations",
        "halvex_process_written_bytes", "halvex_process_read_operations",
        "halvex_process_read_bytes", ""},
       // Hostile names; the last row repeats an identity and replaces it.
       {{"evil \"quote\" \\back,slash", "42"}, {"two,\nlines", "43"}, {"plain", "44"},
        {"plain", "44"}}},
      {RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", "1.2", "halvex_logical_disk", {},
       {"=disk", "halvex_logical_disk_writes_per_second",
        "halvex_logical_disk_write_bytes_per_second", "halvex_logical_disk_reads_per_second",
        "halvex_logical_disk_read_bytes_per_second", "halvex_logical_disk_avg_write_queue_length",
        "halvex_logical_disk_avg_read_queue_length", "halvex_logical_disk_free_megabytes",
        "halvex_logical_disk_free_space_percent", "halvex_logical_disk_total_megabytes"},
       {{"/dev/sda1"}, {"C:\\"}}},
      {RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", "1.2", "halvex_logical_disk1", {},
       {"=disk", "halvex_logical_disk1_size"}, {{"sdb"}}},
      {RSRC_AGENT_TCPIP, "Tcpip", "1.2", "halvex_tcpip", {},
       {"=interface", "halvex_tcpip_received_bytes_per_second",
        "halvex_tcpip_sent_bytes_per_second", "halvex_tcpip_current_bandwidth",
        "halvex_tcpip_received_packets_per_second", "halvex_tcpip_sent_packets_per_second",
        "halvex_tcpip_packets_received_discarded", "halvex_tcpip_packets_received_errors",
        "halvex_tcpip_packets_outbound_discarded", "halvex_tcpip_packets_outbound_errors"},
       {{"eth0"}, {"we\\ird\"if,0"}}},
      {RSRC_AGENT_HBA_FC, "HBA-FC", "1.0", "halvex_hba_fc", {},
       {"=adapter", "=port", "=wwn", "halvex_hba_fc_input_requests",
        "halvex_hba_fc_output_requests", "halvex_hba_fc_control_requests",
        "halvex_hba_fc_input_megabytes", "halvex_hba_fc_output_megabytes"},
       {{"hba0", "1", "50:01"}}},
      {RSRC_AGENT_JOBS_STATS, "JobsStats", "1.3", "halvex_jobs_stats",
       {"Job-ID", "Stream-Source", "Stream-Destination", "Job-Type", "Job-Duration",
        "Job-Duration-Seconds", "Active-Streams", "Total-Job-Throughput",
        "Current-Job-Throughput", "Total-Read-Size", "Current-Read-Size", "Current-Read-Time",
        "Current-Read-Throughput", "Total-Network-Size", "Current-Network-Size",
        "Current-Network-Time", "Current-Network-Throughput", "Total-Write-Size",
        "Current-Write-Size", "Current-Write-Time", "Current-Write-Throughput",
        "Total-SIDBLookup-Samples", "Current-SIDBLookup-Samples", "Current-SIDBLookup-Time",
        "Current-Avg-SIDBLooupTime"},
       {"=job", "", "", "", "", "halvex_jobs_stats_duration_seconds",
        "halvex_jobs_stats_active_streams", "halvex_jobs_stats_total_throughput_gibibytes_per_hour",
        "halvex_jobs_stats_current_throughput_gibibytes_per_hour",
        "halvex_jobs_stats_total_read_bytes", "halvex_jobs_stats_current_read_bytes",
        "halvex_jobs_stats_current_read_time",
        "halvex_jobs_stats_current_read_throughput_gibibytes_per_hour",
        "halvex_jobs_stats_total_network_bytes", "halvex_jobs_stats_current_network_bytes",
        "halvex_jobs_stats_current_network_time",
        "halvex_jobs_stats_current_network_throughput_gibibytes_per_hour",
        "halvex_jobs_stats_total_write_bytes", "halvex_jobs_stats_current_write_bytes",
        "halvex_jobs_stats_current_write_time",
        "halvex_jobs_stats_current_write_throughput_gibibytes_per_hour",
        "halvex_jobs_stats_total_sidb_lookup_samples",
        "halvex_jobs_stats_current_sidb_lookup_samples",
        "halvex_jobs_stats_current_sidb_lookup_time",
        "halvex_jobs_stats_current_avg_sidb_lookup_time"},
       {{"7"}, {"8"}}},
      {RSRC_AGENT_JOBS_STREAM_WRITER, "JobsStreamWriter", "1.0", "halvex_jobs_stream_writer",
       {"TotalBytesRecieved", "ActiveJobs", "ActiveStreams"},
       {"halvex_jobs_stream_writer_received_bytes", "halvex_jobs_stream_writer_active_jobs",
        "halvex_jobs_stream_writer_active_streams"},
       {{}}},
      {RSRC_AGENT_JOBS_STREAM_READER, "JobsStreamReader", "1.0", "halvex_jobs_stream_reader",
       {"TotalBytesSent", "ActiveJobs", "ActiveStreams"},
       {"halvex_jobs_stream_reader_sent_bytes", "halvex_jobs_stream_reader_active_jobs",
        "halvex_jobs_stream_reader_active_streams"},
       {{}}},
  };
}

// Values of row r: identities where the case has labels, "N/A" or "" in a
// few cells (not numbers: left out), free text in omitted columns, else
// numbers of several forms, one past 2^53.
std::vector<std::string> RowValues(const ObjectCase& c, size_t r) {
  static const char* const kNumbers[] = {"0", "12.50", "-3", "1e3", "18446744073709551615", "0.001"};
  std::vector<std::string> row;
  size_t id = 0;
  for (size_t j = 0; j < c.names.size(); ++j) {
    const size_t k = r * 5 + j;
    if (!c.names[j].empty() && c.names[j][0] == '=') {
      row.push_back(c.ids[r][id++]);
    } else if (c.names[j].empty()) {
      row.push_back("text, \"not\" a number");
    } else if (k % 9 == 4) {
      row.push_back(k % 2 ? "N/A" : "");
    } else {
      row.push_back(std::string(kNumbers[k % 6]) == "0" ? std::to_string(k) : kNumbers[k % 6]);
    }
  }
  return row;
}

// The CSV records of path (header first), read by Python's CSV reader.
std::vector<std::vector<std::string>> CsvRecords(const std::string& path) {
  std::string out;
  EXPECT_EQ(0, hxtest::RunAndCapture("/usr/bin/python3",
                                     {std::string(HX_SOURCE_DIR) + "/tests/perfmonitor/csv_rows.py", path},
                                     &out));
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

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

class MetricsTextfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = inst_.root() + "/textfile";
    mkdir(dir_.c_str(), 0755);
    inst_.SetConfig("Hxd", "PerfMetricsTextfileDirectory", dir_ + "/");
  }
  std::string TextfilePath() const { return dir_ + "/halvex_" + inst_.focus() + ".prom"; }
  static std::string CsvPath(CHxPerfManagerTestPeer& peer, const ObjectCase& c) {
    return peer.logDirectory() + "/PerfLog_" + c.object + "-" + c.version + "_" + hxtest::MachineId() + ".csv";
  }
  Series Up(const std::string& provider, ResourceAgentType type) const {
    return Series("halvex_monitor_provider_up", {{"instance", inst_.focus()}, {"provider", provider},
                                                 {"agent_type", std::to_string(type)}});
  }
  // The series of CSV records from, as the case names them.
  void AddCsvRows(const ObjectCase& c, const std::vector<std::vector<std::string>>& csv, size_t from,
                  std::map<Series, double>* want) const {
    for (size_t r = from; r < csv.size(); ++r) {
      std::map<std::string, std::string> labels = {{"instance", inst_.focus()}};
      for (size_t j = 0; j < c.names.size(); ++j) {
        if (!c.names[j].empty() && c.names[j][0] == '=') labels[c.names[j].substr(1)] = csv[r][j + 2];
      }
      for (size_t j = 0; j < c.names.size(); ++j) {
        const std::string& v = csv[r][j + 2];
        if (c.names[j].empty() || c.names[j][0] == '=') continue;
        Series s(c.names[j], labels);
        want->erase(s);
        if (!v.empty() && v != "N/A") (*want)[s] = std::strtod(v.c_str(), nullptr);
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
    for (ObjectCase c : objects) {
      if (c.type != type || !reporting.count(type)) continue;
      std::string object;
      _PerfLogItems items;
      if (c.columns.empty()) {
        ASSERT_TRUE(CPerfHeaderInfo::GetPerfHeader(type, object, items.version, items.columns));
      } else {
        items.columns = c.columns;
      }
      items.version = c.version;
      ASSERT_EQ(c.names.size(), items.columns.size()) << c.object;
      // One report per row, as the process and network providers do.
      for (size_t r = 0; r < c.ids.size(); ++r) {
        items.rows = {RowValues(c, r)};
        cb->OnUpdateLog(type, c.object, items);
      }
    }
  };
  for (FakeProvider* p : {&os, &silent, &broken}) {
    std::vector<ResourceAgentType> ts;
    p->GetSupprotedAgentTypes(ts);
    for (ResourceAgentType t : ts) p->SetInterval(t, 1);
  }
  CHxPerfManager m(&env_);
  CHxPerfManagerTestPeer peer(m);
  ASSERT_EQ(0, m.Initialize(nullptr));
  for (FakeProvider* p : {&os, &silent, &broken}) ASSERT_EQ(0, m.RegisterPerfProvider(p));
  const uint32_t firstTick = env_.now;
  m.UpdateTimerAndPerfLogs();

  // The model: every number cell of the CSV rows, named and labelled as the
  // case says; a later row of the same identity replaces an earlier one.
  std::map<Series, double> want;
  for (const ObjectCase& c : objects) {
    const std::vector<std::vector<std::string>> csv = CsvRecords(CsvPath(peer, c));
    ASSERT_EQ(c.ids.size() + 1, csv.size()) << c.object;
    AddCsvRows(c, csv, 1, &want);
    want[Series(std::string(c.prefix) + "_timestamp_seconds", {{"instance", inst_.focus()}})] = firstTick;
    want[Up("Fake OS", c.type)] = 1;
  }
  want[Up("Silent", RSRC_AGENT_SYSTEM)] = 0;
  want[Up("Broken", RSRC_AGENT_TCPIP)] = 0;
  EXPECT_EQ("", Diff(want, SeriesOf(Parse(TextfilePath()))));

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
  const std::vector<std::vector<std::string>> csv = CsvRecords(CsvPath(peer, process));
  ASSERT_EQ(1 + 4 + 3u, csv.size());
  AddCsvRows(process, csv, 5, &want);
  want[Series("halvex_process_timestamp_seconds", {{"instance", inst_.focus()}})] = env_.now;
  for (const ObjectCase& c : objects) want[Up("Fake OS", c.type)] = c.type == RSRC_AGENT_PROCESS;
  EXPECT_EQ("", Diff(want, SeriesOf(Parse(TextfilePath()))));
  // No temporary file is left beside the textfile.
  EXPECT_EQ(std::vector<std::string>{"halvex_" + inst_.focus() + ".prom"}, Names(dir_));
}

// A reader that opens the file while ticks replace it sees one whole tick's
// text every time: the row count that tick's System row announces, and the
// last family complete.
TEST_F(MetricsTextfileTest, ConcurrentReaderNeverSeesAPartialFile) {
  FakeProvider p("P", {RSRC_AGENT_SYSTEM, RSRC_AGENT_PROCESS});
  p.SetInterval(RSRC_AGENT_SYSTEM, 1);
  p.SetInterval(RSRC_AGENT_PROCESS, 1);
  std::atomic<int> tick{0};
  const auto rowsOf = [](int t) { return 500 + (t % 5) * 100; };
  p.onUpdate = [&](ResourceAgentType type, iCHxPerfUpdateCallback* cb) {
    _PerfLogItems items;
    items.version = "1.2";
    if (type == RSRC_AGENT_SYSTEM) {
      items.columns = {"Threads"};
      items.rows = {{std::to_string(tick.load())}};
      cb->OnUpdateLog(type, "System", items);
      return;
    }
    items.columns = {"CPU-Usage", "Name", "Process-Id", "MemoryBytes"};
    for (int i = 0; i < rowsOf(tick); ++i) {
      items.rows.push_back({"1.5", "proc", std::to_string(i), std::to_string(i * 4096)});
    }
    cb->OnUpdateLog(type, "Process", items);
  };
  CHxPerfManager m(&env_);
  ASSERT_EQ(0, m.Initialize(nullptr));
  ASSERT_EQ(0, m.RegisterPerfProvider(&p));
  m.UpdateTimerAndPerfLogs();

  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::vector<std::string> bad;
  std::thread reader([&] {
    const std::string marker = "halvex_system_threads{instance=\"" + inst_.focus() + "\"} ";
    while (!stop) {
      const std::string text = hxtest::ReadFile(TextfilePath());
      ++reads;
      const size_t at = text.find(marker);
      const int t = at == std::string::npos ? -1 : std::atoi(text.c_str() + at + marker.size());
      size_t rows = 0;
      for (size_t pos = 0; (pos = text.find("\nhalvex_process_memory_bytes{", pos)) != std::string::npos; ++pos) ++rows;
      const bool whole = t >= 0 && rows == static_cast<size_t>(rowsOf(t)) &&
                         text.size() > 4 && text.compare(text.size() - 4, 4, "} 1\n") == 0 &&
                         text.find("halvex_monitor_provider_up{") != std::string::npos;
      if (!whole && bad.size() < 3) bad.push_back(std::to_string(t) + " " + std::to_string(rows) + " " + text.substr(text.size() > 200 ? text.size() - 200 : 0));
    }
  });
  for (int t = 1; t <= 30; ++t) {
    tick = t;
    m.UpdateTimerAndPerfLogs();
  }
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 30);
  EXPECT_TRUE(bad.empty()) << bad.size() << " partial reads, e.g. ending: " << bad[0];
}

// The replacement itself: whole new file with a readable mode whatever the
// umask, nothing left beside it, a link in its place replaced rather than
// followed, and a failure that leaves the old file alone.
TEST_F(MetricsTextfileTest, ReplacementIsWholeAndSafe) {
  const std::string outside = inst_.root() + "/outside";
  hxtest::WriteFile(outside, "keep");
  ASSERT_EQ(0, symlink(outside.c_str(), (dir_ + "/linked.prom").c_str()));
  struct Case {
    std::string dir, name, content;
    bool ok;
  } cases[] = {
      {dir_, "a.prom", "first\n", true},
      {dir_, "a.prom", std::string(300000, 'x') + "\n", true},
      {dir_ + "/", "linked.prom", "new\n", true},
      {dir_ + "/missing", "a.prom", "lost\n", false},
  };
  const mode_t oldMask = umask(077);
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(c.ok, hxmetrics::ReplaceFileAtomically(c.dir, c.name, c.content, &error)) << c.name;
    EXPECT_EQ(c.ok, error.empty()) << error;
    if (!c.ok) continue;
    const std::string path = dir_ + "/" + c.name;
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0644u, st.st_mode & 0777u);
    EXPECT_EQ(c.content, hxtest::ReadFile(path));
  }
  umask(oldMask);
  EXPECT_EQ("keep", hxtest::ReadFile(outside));
  std::vector<std::string> names = Names(dir_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"a.prom", "linked.prom"}), names);
  // The instance name never leads the file out of the directory.
  EXPECT_EQ("halvex_.._x_y.prom", hxmetrics::TextfileName("../x/y"));
}

// Label values of any bytes come back from the reference parser as written
// (bytes that are not UTF-8 as U+FFFD); a repeated family or series and a
// family without samples are left out; only plain decimal numbers are values.
TEST(ExpositionWriter, HostileLabelsRepeatsAndValues) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"quote\"d", "quote\"d"},         {"back\\slash\\", "back\\slash\\"},
      {"new\nline\n", "new\nline\n"},   {"cr\rtab\t", "cr\rtab\t"},
      {"", ""},                         {"\xc3\xbcml\xc3\xa4ut", "\xc3\xbcml\xc3\xa4ut"},
      {"bad\xff", "bad\xef\xbf\xbd"},   {"cut\xe2\x82", "cut\xef\xbf\xbd\xef\xbf\xbd"},
      {"over\xc0\xaf", "over\xef\xbf\xbd\xef\xbf\xbd"},
  };
  hxmetrics::ExpositionWriter w;
  w.BeginFamily("t_empty", "no samples", "gauge");
  w.BeginFamily("t_labels", "help with \\ and\nnewline", "gauge");
  for (size_t i = 0; i < values.size(); ++i) w.AddSample({{"v", values[i].first}}, std::to_string(i));
  w.AddSample({{"v", "quote\"d"}}, "99");  // the same series again
  w.BeginFamily("t_labels", "again", "gauge");
  w.AddSample({{"v", "other"}}, "1");
  hxtest::TestInstance inst;
  const std::string path = inst.root() + "/w.prom";
  hxtest::WriteFile(path, w.Finish());
  std::vector<PromFamily> families = Parse(path);
  ASSERT_EQ(1u, families.size());
  EXPECT_EQ("help with \\ and\nnewline", families[0].help);
  ASSERT_EQ(values.size(), families[0].samples.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i].second, families[0].samples[i].labels["v"]) << i;
    EXPECT_EQ(static_cast<double>(i), families[0].samples[i].value);
  }

  for (const char* number : {"0", "-12", "3.50", ".5", "7.", "1e6", "2.5E-3", "18446744073709551616"}) {
    EXPECT_TRUE(hxmetrics::IsDecimalNumber(number)) << number;
  }
  for (const char* other : {"", "-", ".", "N/A", " 1", "1 ", "+1", "0x10", "1e", "inf", "nan", "1,5", "1.2.3"}) {
    EXPECT_FALSE(hxmetrics::IsDecimalNumber(other)) << other;
  }
}

}  // namespace
