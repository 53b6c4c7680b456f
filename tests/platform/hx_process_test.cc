#include "platform/hx_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/ua_file.h"
#include "tests/common/test_env.h"

namespace {

int Shell(const std::string& command, std::string* out, std::string* err = nullptr) {
  return HxProcess::system(command.c_str(), out, err, 0, true);
}

TEST(HxProcessTest, CapturesStandardOutputAndErrorExactlyWhateverTheirSize) {
  std::string out, err;
  ASSERT_EQ(Shell("printf 'a b\\n\\n  c\\t'; printf 'oops\\n' >&2", &out, &err), 0);
  EXPECT_EQ(out, "a b\n\n  c\t");
  EXPECT_EQ(err, "oops\n");
  ASSERT_EQ(Shell("true", &out, &err), 0);
  EXPECT_EQ(out, "") << "earlier contents are replaced";
  EXPECT_EQ(err, "");
  EXPECT_EQ(Shell("echo hi", nullptr, nullptr), 0) << "output may be discarded";

  // 1 MB on each stream, written alternately: far beyond a pipe's buffer.
  ASSERT_EQ(Shell("i=0; while [ $i -lt 64 ]; do head -c 16384 /dev/zero | tr '\\0' o; "
                  "head -c 16384 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done",
                  &out, &err),
            0);
  EXPECT_EQ(out, std::string(64 * 16384, 'o'));
  EXPECT_EQ(err, std::string(64 * 16384, 'e'));
}

TEST(HxProcessTest, FailuresAreReportedAsNonZero) {
  std::string out, err;
  EXPECT_NE(Shell("hx_no_such_command_here", &out, &err), 0);
  EXPECT_NE(err, "") << "the shell says why";
  EXPECT_EQ(Shell("exit 3", &out), 3);
  EXPECT_NE(Shell("kill -9 $$", &out), 0) << "death by signal";
  EXPECT_NE(HxProcess::system(nullptr, &out, nullptr, 0, true), 0);
}

TEST(HxProcessTest, TimeLimitKillsTheWholeCommandButNotItsDetachedWork) {
  std::string out;
  auto start = std::chrono::steady_clock::now();
  // The sleep runs in a subshell and a background job, so only killing the
  // whole process group ends everything that holds the output pipe.
  EXPECT_NE(HxProcess::systemWithTimeout("echo started; (sleep 30); sleep 30 & wait", &out, nullptr, 500), 0);
  EXPECT_EQ(out, "started\n") << "output before the kill is kept";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // A background descendant does not hold the caller up past the command.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(HxProcess::systemWithTimeout("sleep 4 & echo done", &out, nullptr, 10000), 0);
  EXPECT_EQ(out, "done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(HxProcessTest, DescriptorsOfTheCallerAreNotInherited) {
  hxtest::TestInstance instance;
  std::string path = instance.root() + "/open-file";
  CUaFile file;  // opened by the library
  ASSERT_TRUE(file.Open(path.c_str(), O_CREAT | O_WRONLY, 0644).Success());
  int raw = open(path.c_str(), O_RDONLY);  // opened by the caller without O_CLOEXEC
  ASSERT_GE(raw, 0);
  std::string seen;
  ASSERT_EQ(Shell("ls -l /proc/$$/fd/", &seen), 0);
  EXPECT_EQ(seen.find(path), std::string::npos) << "descriptor leaked:\n" << seen;
  close(raw);
}

TEST(HxProcessTest, QuotedWordsReachTheCommandUnchanged) {
  const std::vector<std::string> hostile = {
      "plain",       "",          "two words",        "semi;colon; rm -rf /nonexistent",
      "$(echo pwned)", "`echo pwned`", "it's", "'", "''",  "\"double\" \\back\\slash",
      "new\nline",   "$HOME *?[a] ~ & | > < #", "tab\tand\r"};
  for (const auto& s : hostile) {
    std::string out;
    ASSERT_EQ(Shell("printf %s " + HxShellQuote(s), &out), 0) << s;
    EXPECT_EQ(out, s);
  }
  EXPECT_EQ(HxShellQuote("it's"), "'it'\\''s'");
}

}  // namespace
