// hxctl run before and after the program: which programs it refuses and why,
// and that the program's own exit status and arguments come through intact.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/test_env.h"
#include "tests/tools/hxctl_run.h"

using hxctltest::Contains;
using hxctltest::RunHxctl;

namespace {

TEST(HxctlRunCmd, RefusesWhatCannotBeThrottledAndPassesOnTheExitStatus) {
#ifdef HX_SANITIZED
  GTEST_SKIP() << "a sanitized library cannot be preloaded into other programs";
#endif
  hxtest::TestInstance t;
  const std::string setuidCopy = t.root() + "/setuid-true";
  const std::string plainFile = t.root() + "/not-a-program";
  const std::string script = t.root() + "/script";
  hxtest::WriteFile(setuidCopy, hxtest::ReadFile("/bin/true"));
  chmod(setuidCopy.c_str(), 04755);
  hxtest::WriteFile(plainFile, "just text\n");
  chmod(plainFile.c_str(), 0755);
  hxtest::WriteFile(script, "#!/bin/sh\nexit \"$1\"\n");
  chmod(script.c_str(), 0755);
  const bool haveStatic = access("/sbin/ldconfig", X_OK) == 0;

  struct Case {
    std::vector<std::string> command;
    int status;
    std::string message;  // on stderr; "" = nothing from hxctl
  } cases[] = {
      {{"/bin/sh", "-c", "exit 7"}, 7, ""},
      // Words after "--" belong to the program, --help included.
      {{"/bin/sh", "-c", "exit 5", "--help"}, 5, ""},
      {{script, "9"}, 9, ""},
      {{"sh", "-c", "kill -TERM $$"}, 128 + 15, ""},
      {{setuidCopy}, 126, "is setuid or setgid"},
      {{plainFile}, 126, "is neither an ELF program nor a #! script"},
      {{t.root()}, 126, "is not an executable file"},
      {{"no-such-program-here"}, 127, "'no-such-program-here' not found on PATH"},
      {{t.root() + "/missing"}, 127, "not found"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"run", "--job", "4", "--focus", t.focus(), "--"};
    args.insert(args.end(), c.command.begin(), c.command.end());
    auto r = RunHxctl(args);
    EXPECT_EQ(r.status, c.status) << c.command[0] << "\n" << r.err;
    if (c.message.empty()) {
      EXPECT_TRUE(r.err.empty()) << r.err;
    } else {
      EXPECT_TRUE(Contains(r.err, "hxctl run: ")) << r.err;
      EXPECT_TRUE(Contains(r.err, c.message)) << "expected '" << c.message << "' in:\n" << r.err;
    }
  }
  if (haveStatic) {
    auto r = RunHxctl({"run", "--job", "4", "--focus", t.focus(), "--", "/sbin/ldconfig", "-p"});
    EXPECT_EQ(r.status, 126);
    EXPECT_TRUE(Contains(r.err, "is statically linked")) << r.err;
  }
  auto r = RunHxctl({"run", "--job", "4", "--focus", "NoSuchInstance", "--", "/bin/true"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "unknown instance 'NoSuchInstance'")) << r.err;
}

}  // namespace
