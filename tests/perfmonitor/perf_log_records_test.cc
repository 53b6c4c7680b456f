// Reported rows: CSV lines (read back by a standard CSV reader) and metrics text.
#include <gtest/gtest.h>

#include <sstream>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_process.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

// Decodes csv_rows.py's output: one record a line, fields as hex ("-": empty).
std::vector<std::vector<std::string>> ParseHexRecords(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(text);
  std::string line, hex;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream words(line);
    while (words >> hex) {
      std::string field;
      for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
        field += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      }
      fields.push_back(field);
    }
    records.push_back(fields);
  }
  return records;
}

TEST(PerfLogRecords, RowsAreWrittenAsCsvAndAsMetricsText) {
  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  env.now = 1700000000;  // 2023-11-14 22:13:20 UTC
  hxtest::ScopedTZ tz("UTC");
  CHxPerfManager m(&env);
  CHxPerfManagerTestPeer peer(m);
  _PerfLogItems items;
  items.version = "1.2";
  items.columns = {"CPU-Usage", "Name", "Arguments", "Empty-Col"};
  items.rows = {
      {"12", "a,b", "cmd --x \"y,z\"", ""},
      {"3.5", "say \"hi\"", "", "v"},
      {"1", "x", "y", "z", "surplus"},  // more values than columns
  };
  EXPECT_EQ(1, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));  // not initialised: nothing
  EXPECT_EQ("", hxtest::ReadFile(inst.logDir() + "/metrics.log"));
  ASSERT_EQ(0, m.Initialize(nullptr));
  const std::string path = peer.logDirectory() + "/PerfLog_Proc-1.2_" + hxtest::MachineId() + ".csv";
  EXPECT_FALSE(CUaPath::Exists(path.c_str()));

  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));
  env.now += 61;
  _PerfLogItems more = items;
  more.rows = {{"0", "only,comma", "\"quoted\",inside", ""}};
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", more));
  // Only values with a comma are quoted, their inner quotes doubled; CR LF; header once.
  EXPECT_EQ(
      "Date,Time,CPU-Usage,Name,Arguments,Empty-Col\r\n"
      "11/14/23,22:13:20,12,\"a,b\",\"cmd --x \"\"y,z\"\"\",\r\n"
      "11/14/23,22:13:20,3.5,say \"hi\",,v\r\n"
      "11/14/23,22:13:20,1,x,y,z,surplus\r\n"
      "11/14/23,22:14:21,0,\"only,comma\",\"\"\"quoted\"\",inside\",\r\n",
      hxtest::ReadFile(path));
  // Metrics text: every non-empty value but the arguments, named by its column.
  const std::string metrics = hxtest::ReadFile(inst.logDir() + "/metrics.log");
  EXPECT_EQ(0u, metrics.find("System Resource|Proc|CPU_Usage:[12] Name:[a,b] \n"
                             "System Resource|Proc|CPU_Usage:[3.5] Name:[say \"hi\"] Empty_Col:[v] \n"
                             "System Resource|Proc|CPU_Usage:[1] Name:[x] Empty_Col:[z] \n"))
      << metrics;
  // Empty rows list: the file exists with its header only.
  _PerfLogItems empty;
  empty.version = "1.0";
  empty.columns = {"A"};
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_HBA_FC, "N", empty));
  EXPECT_EQ("Date,Time,A\r\n",
            hxtest::ReadFile(peer.logDirectory() + "/PerfLog_N-1.0_" + hxtest::MachineId() + ".csv"));

  std::string out;
  if (HxProcess::system("command -v python3", &out, nullptr, 0, true) != 0) {
    GTEST_SKIP() << "python3 is not installed: the CSV reader check cannot run";
  }
  const std::string script = std::string(HX_SOURCE_DIR) + "/tests/perfmonitor/csv_rows.py";
  out.clear();
  ASSERT_EQ(0, HxProcess::system(("python3 " + HxShellQuote(script) + " " + HxShellQuote(path)).c_str(),
                                 &out, nullptr, 0, true));
  using Rec = std::vector<std::string>;
  const std::vector<Rec> want = {
      {"Date", "Time", "CPU-Usage", "Name", "Arguments", "Empty-Col"},
      {"11/14/23", "22:13:20", "12", "a,b", "cmd --x \"y,z\"", ""},
      {"11/14/23", "22:13:20", "3.5", "say \"hi\"", "", "v"},
      {"11/14/23", "22:13:20", "1", "x", "y", "z", "surplus"},
      {"11/14/23", "22:14:21", "0", "only,comma", "\"quoted\",inside", ""},
  };
  EXPECT_EQ(want, ParseHexRecords(out));
}

}  // namespace
