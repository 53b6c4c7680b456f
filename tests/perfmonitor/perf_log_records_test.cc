// Reported rows: CSV lines (read back by a standard CSV reader), metrics
// text, policy hand-off.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sstream>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_process.h"
#include "platform/ua_crc64.h"
#include "tests/common/test_env.h"
#include "tests/perfmonitor/perf_manager_test_peer.h"

namespace {

// Sets TZ for the scope of a test (local time decides dates and stamps).
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* tz) {
    if (const char* old = getenv("TZ")) {
      had_ = true;
      old_ = old;
    }
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTZ() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

struct PolicyCall {
  unsigned long id1, id2;
  std::vector<std::string> values;
};
std::mutex g_callsMu;
std::vector<PolicyCall> g_calls;
bool Collect(unsigned long id1, unsigned long id2, std::vector<std::string>& values) {
  std::lock_guard<std::mutex> g(g_callsMu);
  g_calls.push_back({id1, id2, values});
  return true;
}

std::vector<std::vector<std::string>> ParseHexRecords(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream words(line);
    std::string hex;
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

class PerfLogRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.now = 1700000000;  // 2023-11-14 22:13:20 UTC
    ASSERT_EQ(0, m.Initialize(nullptr));
    CUaCRC64 crc;
    crc.UpdateCRC64("hxtesthost", 10);
    char text[32];
    snprintf(text, sizeof(text), "%" PRIu64, crc.GetCRC64());
    id = text;
    std::lock_guard<std::mutex> g(g_callsMu);
    g_calls.clear();
  }
  std::string LogFile(const std::string& key) const {
    return peer.logDirectory() + "/PerfLog_" + key + "_" + id + ".csv";
  }

  hxtest::TestInstance inst;
  hxtest::FakeEnv env;
  CHxPerfManager m{&env};
  CHxPerfManagerTestPeer peer{m};
  std::string id;
};

_PerfLogItems MixedItems() {
  _PerfLogItems items;
  items.version = "1.2";
  items.columns = {"CPU-Usage", "Name", "Arguments", "Empty-Col"};
  items.rows = {
      {"12", "a,b", "cmd --x \"y,z\"", ""},
      {"3.5", "say \"hi\"", "", "v"},
      {"1", "x", "y", "z", "surplus"},  // more values than columns
  };
  return items;
}

TEST_F(PerfLogRecordsTest, RowsReadBackWithAStandardCsvReader) {
  std::string out;
  if (HxProcess::system("command -v python3", &out, nullptr, 0, true) != 0) {
    GTEST_SKIP() << "python3 is not installed: the CSV reader check cannot run";
  }
  ScopedTZ tz("UTC");
  _PerfLogItems items = MixedItems();
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));
  env.now += 61;
  _PerfLogItems more;
  more.version = "1.2";
  more.columns = items.columns;
  more.rows = {{"0", "only,comma", "\"quoted\",inside", ""}};
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", more));

  const std::string script = std::string(HX_SOURCE_DIR) + "/tests/perfmonitor/csv_rows.py";
  out.clear();
  ASSERT_EQ(0, HxProcess::system(("python3 " + HxShellQuote(script) + " " +
                                  HxShellQuote(LogFile("Proc-1.2")))
                                     .c_str(),
                                 &out, nullptr, 0, true))
      << hxtest::ReadFile(LogFile("Proc-1.2"));
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

TEST_F(PerfLogRecordsTest, BytesOnDiskQuoteOnlyValuesWithACommaAndEndInCrLf) {
  ScopedTZ tz("UTC");
  _PerfLogItems items = MixedItems();
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));
  EXPECT_EQ(
      "Date,Time,CPU-Usage,Name,Arguments,Empty-Col\r\n"
      "11/14/23,22:13:20,12,\"a,b\",\"cmd --x \"\"y,z\"\"\",\r\n"
      "11/14/23,22:13:20,3.5,say \"hi\",,v\r\n"
      "11/14/23,22:13:20,1,x,y,z,surplus\r\n",
      hxtest::ReadFile(LogFile("Proc-1.2")));
  // Empty rows list: the file exists with its header only.
  _PerfLogItems empty;
  empty.version = "1.0";
  empty.columns = {"A"};
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_HBA_FC, "N", empty));
  EXPECT_EQ("Date,Time,A\r\n", hxtest::ReadFile(LogFile("N-1.0")));
}

TEST_F(PerfLogRecordsTest, MetricsTextNamesNonEmptyValuesExceptArguments) {
  _PerfLogItems items = MixedItems();
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));
  EXPECT_EQ(
      "System Resource|Proc|CPU_Usage:[12] Name:[a,b] \n"
      "System Resource|Proc|CPU_Usage:[3.5] Name:[say \"hi\"] Empty_Col:[v] \n"
      "System Resource|Proc|CPU_Usage:[1] Name:[x] Empty_Col:[z] \n",
      hxtest::ReadFile(inst.logDir() + "/metrics.log"));
}

TEST_F(PerfLogRecordsTest, NotInitializedWritesNothing) {
  CHxPerfManager fresh(&env);
  _PerfLogItems items = MixedItems();
  EXPECT_EQ(1, fresh.OnUpdateLog(RSRC_AGENT_PROCESS, "Fresh", items));
  EXPECT_EQ("", hxtest::ReadFile(inst.logDir() + "/metrics.log"));
  EXPECT_FALSE(CUaPath::Exists(LogFile("Fresh-1.2").c_str()));
}

TEST_F(PerfLogRecordsTest, PolicyCallbackGetsFirstRecordIdsAndStampedRows) {
  ScopedTZ tz("EST5");  // UTC read back as local time: five hours later
  std::set<GenericResourcePolicyDetails> set;
  GenericResourcePolicyDetails r;
  r.agentType = RSRC_AGENT_PROCESS;
  r.policyId1 = 1;
  r.policyId2 = 100;
  set.insert(r);
  r.policyId1 = 2;  // same type, later in set order: not used for ids
  r.policyId2 = 200;
  set.insert(r);
  peer.attachPolicy(set, &Collect);

  _PerfLogItems items = MixedItems();
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));
  _PerfLogItems other;
  other.version = "1.2";
  other.columns = {"A"};
  other.rows = {{"1"}};
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_SYSTEM, "Sys", other));  // no record: no call
  {
    std::lock_guard<std::mutex> g(g_callsMu);
    ASSERT_EQ(3u, g_calls.size());
    const std::string stamp = std::to_string(1700000000 + 5 * 3600);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(1u, g_calls[i].id1);
      EXPECT_EQ(100u, g_calls[i].id2);
      std::vector<std::string> want = {stamp};
      want.insert(want.end(), items.rows[i].begin(), items.rows[i].end());
      EXPECT_EQ(want, g_calls[i].values);
    }
    g_calls.clear();
  }

  // After a stop request rows are still logged but no longer handed over.
  m.Stop();
  ASSERT_EQ(0, m.OnUpdateLog(RSRC_AGENT_PROCESS, "Proc", items));
  std::lock_guard<std::mutex> g(g_callsMu);
  EXPECT_TRUE(g_calls.empty());
}

}  // namespace
