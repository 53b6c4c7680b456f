// The demo, shortened: what it leaves (CSV perf logs, summary) and what it
// must not leave (segments, processes, lock files); plain lines when stdout is
// a file, redrawing in place on a terminal.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/common/test_env.h"
#include "tests/tools/hxctl_run.h"

using hxctltest::Contains;
using hxctltest::DirNames;
using hxctltest::FileWithPrefix;
using hxctltest::RunHxctl;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The value of a summary line "  <name>  <value>".
std::string SummaryValue(const std::string& out, const std::string& name) {
  for (const std::string& l : Lines(out)) {
    if (l.compare(0, 2 + name.size(), "  " + name) == 0) {
      size_t v = l.find_first_not_of(' ', 2 + name.size());
      return v == std::string::npos ? "" : l.substr(v);
    }
  }
  return "";
}

// The CSV files in dir.
std::vector<std::string> CsvFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& n : hxctltest::DirNames(dir)) {
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".csv") == 0) names.push_back(n);
  }
  return names;
}

// Checks the perf logs the demo must produce: the jobs summaries of both
// tables, with data rows under their header, and the system counters.
void ExpectPerfLogs(const std::string& dir) {
  std::string reader = FileWithPrefix(dir, "PerfLog_JobsStreamReader-1.0_");
  std::string writer = FileWithPrefix(dir, "PerfLog_JobsStreamWriter-1.0_");
  ASSERT_FALSE(reader.empty()) << "no outbound jobs summary in " << dir;
  ASSERT_FALSE(writer.empty()) << "no inbound jobs summary in " << dir;
  EXPECT_FALSE(FileWithPrefix(dir, "PerfLog_System-1.2_").empty());
  auto rows = Lines(hxtest::ReadFile(reader));
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], "Date,Time,TotalBytesSent,ActiveJobs,ActiveStreams");
  // The summary saw jobs on the table while they ran, and its cumulative
  // total of bytes grew (rows come at the monitor's pace, which the
  // providers' commands set: there may be only a first and a last row).
  bool sawJobs = false;
  uint64_t lastTotal = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    std::vector<std::string> f;
    std::stringstream ss(rows[i]);
    std::string cell;
    while (std::getline(ss, cell, ',')) f.push_back(cell);
    ASSERT_EQ(f.size(), 5u) << rows[i];
    uint64_t total = std::strtoull(f[2].c_str(), nullptr, 10);
    EXPECT_GE(total, lastTotal) << "cumulative total went down: " << rows[i];
    lastTotal = total;
    if (f[3] != "0") sawJobs = true;
  }
  EXPECT_TRUE(sawJobs) << hxtest::ReadFile(reader);
  EXPECT_GT(lastTotal, 0u) << hxtest::ReadFile(reader);
  EXPECT_EQ(Lines(hxtest::ReadFile(writer))[0], "Date,Time,TotalBytesRecieved,ActiveJobs,ActiveStreams");
}

void ExpectCleanSummary(const std::string& out) {
  EXPECT_TRUE(Contains(out, "\nSummary\n")) << out;
  EXPECT_TRUE(Contains(out, "Demo completed.\n")) << out;
  EXPECT_FALSE(Contains(out, "PROBLEM")) << out;
  EXPECT_TRUE(Contains(SummaryValue(out, "killed job"), "its streams were removed at t=")) << out;
  EXPECT_EQ(SummaryValue(out, "left behind"), "segments 0, processes 0, lock files 0") << out;
  EXPECT_TRUE(Contains(SummaryValue(out, "duration"), "5 jobs, 15 streams registered")) << out;
}

TEST(HxctlDemo, ShortRunInGivenStateDirLeavesPerfLogsAndNoSegment) {
  hxtest::TestInstance t;
  std::string state = t.root() + "/state";
  auto r = RunHxctl({"demo", "--seconds", "6", "--state-dir", state});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ExpectCleanSummary(r.out);
  // Neither table of the demo's instance is left, nor any segment it made.
  size_t keyFiles = 0;
  std::string jobResults = state + "/JobResults";
  for (const std::string& n : DirNames(jobResults)) {
    if (!Contains(n, "_HX_THROTTLE_SHMEM_")) continue;
    ++keyFiles;
    EXPECT_FALSE(hxctltest::SegmentExistsForKeyFile(jobResults + "/" + n)) << n;
  }
  EXPECT_EQ(keyFiles, 2u);
  EXPECT_EQ(hxctltest::SegmentsCreatedBy(r.pid), 0);

  // Not a terminal: plain lines only, snapshots under "--- t=Ns ---" headers,
  // events as they come.
  EXPECT_FALSE(Contains(r.out, "\x1b")) << "escape sequences in plain output";
  EXPECT_TRUE(Contains(r.out, "--- t=1s ---")) << r.out;
  EXPECT_TRUE(Contains(r.out, "machine limit 36000 -> 18000 MBPH")) << r.out;
  EXPECT_TRUE(Contains(r.out, "with SIGKILL")) << r.out;

  std::string perfLogs = state + "/Log/ResourceMonitor";
  ExpectPerfLogs(perfLogs);
  std::string where = SummaryValue(r.out, "perf logs");
  EXPECT_TRUE(Contains(where, std::to_string(CsvFiles(perfLogs).size()) + " CSV files")) << where;
  EXPECT_TRUE(Contains(where, "in " + perfLogs)) << where;
  EXPECT_EQ(SummaryValue(r.out, "state"), "kept in " + state);
  // The lock files of the run are gone even though the state is kept.
  for (const std::string& n : DirNames(state + "/registry/Halvex/.locks")) EXPECT_FALSE(Contains(n, "HxDemo")) << n;
}

// A pseudo-terminal as stdout: the table is redrawn in place. Without
// --state-dir the perf logs are copied to a kept folder and the temporary
// state goes away, and so does the instance in the registry given.
TEST(HxctlDemo, TerminalRunRedrawsInPlaceAndKeepsLogsOfATemporaryState) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave = ptsname(master);
  std::string out;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      ssize_t n = read(master, buf, sizeof(buf));
      if (n <= 0) break;  // EIO once the last writer has closed the slave
      out.append(buf, static_cast<size_t>(n));
    }
    done = true;
  });
  const char* oldTerm = getenv("TERM");
  std::string savedTerm = oldTerm ? oldTerm : "";
  setenv("TERM", "xterm", 1);
  hxtest::TestInstance t;
  std::string registry = t.root() + "/otherRegistry";
  ASSERT_EQ(mkdir(registry.c_str(), 0777), 0);
  pid_t pid = hxtest::Spawn(hxtest::ChildPath("hxctl"), {"demo", "--seconds", "5", "--registry", registry},
                            slave);
  int status = hxtest::WaitExit(pid);
  if (oldTerm) setenv("TERM", savedTerm.c_str(), 1); else unsetenv("TERM");
  // The reader sees EIO when no process holds the slave any more.
  for (int i = 0; i < 100 && !done; ++i) usleep(20000);
  close(master);
  reader.join();
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // the terminal's CR LF
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(hxctltest::SegmentsCreatedBy(pid), 0);
  EXPECT_TRUE(Contains(out, "\x1b[J")) << "no in-place redraw";
  ExpectCleanSummary(out);

  std::string where = SummaryValue(out, "perf logs");
  size_t at = where.find("in /tmp/hxctl-demo-logs.");
  ASSERT_NE(at, std::string::npos) << where;
  std::string kept = where.substr(at + 3);
  ExpectPerfLogs(kept);
  EXPECT_FALSE(hxtest::ReadFile(kept + "/hxdebug.log").empty());
  EXPECT_EQ(SummaryValue(out, "state"), "temporary directory removed");
  // The first line names the temporary state directory, which is gone.
  size_t s = out.find("state in /tmp/hxctl-demo.");
  ASSERT_NE(s, std::string::npos);
  std::string tmpState = out.substr(s + 9, out.find(' ', s + 9) - (s + 9));
  EXPECT_NE(access(tmpState.c_str(), F_OK), 0) << tmpState;
  // The registry given is as empty as before: no instance, no lock files.
  EXPECT_NE(access((registry + "/Halvex").c_str(), F_OK), 0);
  std::string rm = "rm -rf '" + kept + "'";
  EXPECT_EQ(system(rm.c_str()), 0);
}

}  // namespace
