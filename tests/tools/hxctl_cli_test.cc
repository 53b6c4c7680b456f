// hxctl as a new user meets it: help, and what happens on every kind of bad
// input (message on stderr, exit status, nothing created).
#include <sys/stat.h>

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

TEST(HxctlCli, NoCommandPrintsUsageAndFails) {
  auto r = RunHxctl({});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "usage: hxctl COMMAND")) << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST(HxctlCli, HelpListsEveryCommandAndEachCommandHasItsOwn) {
  auto r = RunHxctl({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* cmd : {"demo", "table", "limit", "monitor"}) {
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

TEST(HxctlCli, UnknownCommandAndOptionsAreNamed) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
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
      {{"table", "--kind", "sideways", "--registry", "/nonexistent"}, "unknown table kind 'sideways'"},
  };
  for (const Case& c : cases) {
    auto r = RunHxctl(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << "expected '" << c.message << "' in:\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

TEST(HxctlCli, BadNumbersAreRejectedWithTheAcceptedRange) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
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
  };
  for (const Case& c : cases) {
    auto r = RunHxctl(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << "expected '" << c.message << "' in:\n" << r.err;
  }
}

TEST(HxctlCli, UsageErrorsCreateNothing) {
  hxtest::TestInstance t;
  std::string state = t.root() + "/state";
  auto r = RunHxctl({"demo", "--seconds", "abc", "--state-dir", state});
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(Exists(state));
}

TEST(HxctlCli, UnknownInstanceIsReportedForEveryCommand) {
  hxtest::TestInstance t;  // a registry that has only its own instance
  std::string reg = t.root() + "/registry";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"table"}, std::vector<std::string>{"limit", "--machine", "5"},
        std::vector<std::string>{"monitor", "--once"}}) {
    std::vector<std::string> full = args;
    full.insert(full.end(), {"--registry", reg, "--focus", "NoSuchInstance"});
    auto r = RunHxctl(full);
    EXPECT_EQ(r.status, 3) << args[0];
    EXPECT_TRUE(Contains(r.err, "unknown instance 'NoSuchInstance'")) << r.err;
    EXPECT_FALSE(Exists(reg + "/Halvex/NoSuchInstance"));
  }
  // A registry directory that does not exist at all.
  auto r = RunHxctl({"table", "--registry", t.root() + "/nowhere", "--focus", "X"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, t.root() + "/nowhere/Halvex/X")) << r.err;
}

TEST(HxctlCli, AbsentTableIsReportedAndNotCreated) {
  hxtest::TestInstance t;
  for (const char* kind : {"out", "in", "cloud-out", "cloud-in"}) {
    auto r = RunHxctl({"table", "--kind", kind, "--focus", t.focus()});
    EXPECT_EQ(r.status, 3) << kind;
    EXPECT_TRUE(Contains(r.err, "table absent")) << r.err;
    auto l = RunHxctl({"limit", "--kind", kind, "--machine", "100", "--focus", t.focus()});
    EXPECT_EQ(l.status, 3) << kind;
    EXPECT_TRUE(Contains(l.err, "table absent")) << l.err;
  }
  // No key file was made, so no segment can be keyed by one: an observer
  // leaves nothing behind.
  EXPECT_FALSE(Exists(t.jobResultsDir() + "/" + t.focus() + "_HX_THROTTLE_SHMEM_OUT"));
  EXPECT_FALSE(Exists(t.jobResultsDir() + "/" + t.focus() + "_HX_THROTTLE_SHMEM_IN"));
}

}  // namespace
