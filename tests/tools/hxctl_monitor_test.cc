// hxctl monitor --once: every provider runs once, rows land in the CSV perf
// logs and on stdout.
#include <gtest/gtest.h>

#include "tests/common/test_env.h"
#include "tests/tools/hxctl_run.h"

using hxctltest::Contains;
using hxctltest::RunHxctl;

namespace {

TEST(HxctlMonitor, OnceWritesAndPrintsEveryProvidersRowsUnlessDisabled) {
  hxtest::TestInstance t;
  t.SetConfig("Hxd", "CollectStreamStats", "1");
  auto r = RunHxctl({"monitor", "--once", "--focus", t.focus()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string dir = t.logDir() + "/ResourceMonitor";
  EXPECT_TRUE(Contains(r.out, "perf logs in " + dir)) << r.out;
  for (const char* key : {"System-1.2", "JobsStreamWriter-1.0", "JobsStreamReader-1.0"}) {
    EXPECT_TRUE(Contains(r.out, std::string("[") + key + "]")) << key << "\n" << r.out;
  }
  // The system row printed is the one written under the file's header.
  std::string header = hxtest::ReadFile(hxctltest::FileWithPrefix(dir, "PerfLog_System-1.2_"));
  ASSERT_FALSE(header.empty()) << "no System perf log in " << dir;
  std::string columns = header.substr(10, header.find("\r\n") - 10);  // after "Date,Time,"
  EXPECT_TRUE(Contains(r.out, "  " + columns + "\n")) << columns;
  // The jobs provider attached the tables for the run only.
  for (const char* suffix : {"_HX_THROTTLE_SHMEM_OUT", "_HX_THROTTLE_SHMEM_IN"}) {
    EXPECT_FALSE(hxctltest::SegmentExistsForKeyFile(t.jobResultsDir() + "/" + t.focus() + suffix));
  }
  EXPECT_EQ(hxctltest::SegmentsCreatedBy(r.pid), 0);

  // A disabled monitor is an error that names the setting.
  t.SetConfig("Hxd", "HX_PERF_LOG_DISABLE", "1");
  auto off = RunHxctl({"monitor", "--once", "--focus", t.focus()});
  EXPECT_EQ(off.status, 1);
  EXPECT_TRUE(Contains(off.err, "HX_PERF_LOG_DISABLE")) << off.err;
}

}  // namespace
