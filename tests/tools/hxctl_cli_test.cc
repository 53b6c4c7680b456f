// hxctl as a new user meets it: help, and what happens on every kind of bad
// input (message on stderr, exit status, nothing created).
#include <sys/stat.h>

#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/test_env.h"
#include "tests/tools/hxctl_run.h"

using hxctltest::Contains;
using hxctltest::RunHxctl;

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(HxctlCli, HelpListsEveryCommandAndEachCommandHasItsOwn) {
  auto r = RunHxctl({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* cmd : {"demo", "table", "limit", "monitor", "metrics", "run"}) {
    EXPECT_TRUE(Contains(r.out, std::string("  ") + cmd + " ")) << cmd << "\n" << r.out;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{cmd, "--help"}, std::vector<std::string>{"help", cmd},
          // --help wins over anything wrong around it.
          std::vector<std::string>{cmd, "--bogus", "--help"}}) {
      auto h = RunHxctl(args);
      EXPECT_EQ(h.status, 0) << cmd;
      EXPECT_EQ(h.out.rfind(std::string("usage: hxctl ") + cmd, 0), 0u) << h.out;
      EXPECT_TRUE(Contains(h.out, "--registry DIR")) << cmd;
    }
  }
}

// Every usage error: status 2, the reason on stderr, nothing on stdout and
// nothing created.
TEST(HxctlCli, UsageErrorsAreNamedAndCreateNothing) {
  hxtest::TestInstance t;
  std::string state = t.root() + "/state";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "usage: hxctl COMMAND"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"help", "frobnicate"}, "unknown command 'frobnicate'"},
      {{"table", "--frobnicate"}, "unknown option '--frobnicate'"},
      {{"table", "extra"}, "unexpected argument 'extra'"},
      {{"demo", "--seconds"}, "option '--seconds' needs N"},
      {{"demo", "--seconds", "--jobs", "3"}, "option '--seconds' needs N"},
      {{"demo", "--seconds", "6", "--seconds", "7"}, "option '--seconds' given twice"},
      {{"demo", "--plain=yes"}, "option '--plain' takes no value"},
      {{"limit", "--job", "5"}, "option '--job' needs ID MBPH"},
      {{"limit"}, "give exactly one of --machine MBPH and --job ID MBPH"},
      {{"limit", "--machine", "1", "--job", "1", "2"}, "give exactly one of"},
      {{"monitor"}, "--once is required"},
      {{"table", "--json", "--watch"}, "--json cannot be combined with --watch"},
      {{"table", "--kind", "sideways", "--registry", "/nonexistent"}, "unknown table kind 'sideways'"},
      {{"demo", "--seconds", "abc"}, "bad number for --seconds: 'abc' (expected a whole number from 5 to 3600)"},
      {{"demo", "--seconds", "-5"}, "bad number for --seconds: '-5'"},
      {{"demo", "--seconds", "4"}, "number out of range for --seconds: '4'"},
      {{"demo", "--seconds=1e3"}, "bad number for --seconds: '1e3'"},
      {{"demo", "--jobs", "99999999999999999999999"}, "number out of range for --jobs"},
      {{"demo", "--streams", "0"}, "number out of range for --streams: '0'"},
      {{"demo", "--machine-mbph", " 100"}, "bad number for --machine-mbph"},
      {{"limit", "--machine", "12x"}, "bad number for --machine: '12x'"},
      {{"limit", "--machine", "4294967296"}, "number out of range for --machine"},
      {{"limit", "--job", "x", "5"}, "bad number for the job id of --job: 'x'"},
      {{"limit", "--job", "5", "0x10"}, "bad number for the MBPH of --job: '0x10'"},
      {{"demo", "--seconds", "abc", "--state-dir", state}, "bad number for --seconds"},
      {{"run", "--", "/bin/true"}, "give --job ID and the command after '--'"},
      {{"run", "--job", "1"}, "give --job ID and the command after '--'"},
      {{"run", "--job", "1", "/bin/true"}, "unexpected argument '/bin/true'"},
      {{"run", "--job", "x", "--", "/bin/true"}, "bad number for --job: 'x'"},
      {{"run", "--job", "1", "--limit", "-3", "--", "/bin/true"}, "bad number for --limit"},
      {{"run", "--job", "1", "--direction", "up", "--", "/bin/true"}, "unknown direction 'up'"},
      {{"run", "--job", "1", "--kind", "wan", "--", "/bin/true"}, "unknown kind 'wan'"},
      {{"table", "--", "x"}, "unexpected argument '--'"},
  };
  for (const Case& c : cases) {
    auto r = RunHxctl(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << "expected '" << c.message << "' in:\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_FALSE(Exists(state));
}

// What is not there (instance, registry, table) is status 3 on every command,
// and looking for it creates nothing: no instance, no key file, no segment.
TEST(HxctlCli, MissingInstanceOrTableIsReportedAndNotCreated) {
  hxtest::TestInstance t;  // a registry that has only its own instance
  std::string reg = t.root() + "/registry";
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"table", "--registry", reg, "--focus", "NoSuchInstance"}, "unknown instance 'NoSuchInstance'"},
      {{"limit", "--machine", "5", "--registry", reg, "--focus", "NoSuchInstance"},
       "unknown instance 'NoSuchInstance'"},
      {{"monitor", "--once", "--registry", reg, "--focus", "NoSuchInstance"}, "unknown instance 'NoSuchInstance'"},
      {{"metrics", "--registry", reg, "--focus", "NoSuchInstance"}, "unknown instance 'NoSuchInstance'"},
      {{"metrics", "--focus", t.focus()}, "table absent: instance '" + t.focus() + "' has no throttle table"},
      {{"table", "--registry", t.root() + "/nowhere", "--focus", "X"}, t.root() + "/nowhere/Halvex/X"},
  };
  for (const char* kind : {"out", "in", "cloud-out", "cloud-in"}) {
    cases.push_back({{"table", "--kind", kind, "--focus", t.focus()}, "table absent"});
    cases.push_back({{"limit", "--kind", kind, "--machine", "100", "--focus", t.focus()}, "table absent"});
  }
  for (const auto& c : cases) {
    auto r = RunHxctl(c.first);
    EXPECT_EQ(r.status, 3) << c.second;
    EXPECT_TRUE(Contains(r.err, c.second)) << "expected '" << c.second << "' in:\n" << r.err;
  }
  EXPECT_FALSE(Exists(reg + "/Halvex/NoSuchInstance"));
  EXPECT_FALSE(Exists(t.jobResultsDir() + "/" + t.focus() + "_HX_THROTTLE_SHMEM_OUT"));
  EXPECT_FALSE(Exists(t.jobResultsDir() + "/" + t.focus() + "_HX_THROTTLE_SHMEM_IN"));
}

}  // namespace
