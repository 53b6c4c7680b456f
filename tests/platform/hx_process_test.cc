#include "platform/hx_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/hx_env.h"
#include "platform/ua_file.h"
#include "tests/common/test_env.h"

namespace {

int Shell(const std::string& command, std::string* out, std::string* err = nullptr) {
  return HxProcess::system(command.c_str(), out, err, 0, true);
}

TEST(HxProcessTest, CapturesStandardOutputAndErrorExactly) {
  std::string out, err;
  ASSERT_EQ(Shell("printf 'a b\\n\\n  c\\t'; printf 'oops\\n' >&2", &out, &err), 0);
  EXPECT_EQ(out, "a b\n\n  c\t");
  EXPECT_EQ(err, "oops\n");

  ASSERT_EQ(Shell("true", &out, &err), 0);
  EXPECT_EQ(out, "") << "earlier contents are replaced";
  EXPECT_EQ(err, "");
  EXPECT_EQ(Shell("echo hi", nullptr, nullptr), 0) << "output may be discarded";
}

TEST(HxProcessTest, LargeOutputOnBothStreamsDoesNotDeadlock) {
  std::string out, err;
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

TEST(HxProcessTest, CommandPastItsTimeLimitIsKilledWithItsChildren) {
  std::string out;
  auto start = std::chrono::steady_clock::now();
  // The sleep runs in a subshell and a background job, so only killing the
  // whole process group ends everything that holds the output pipe.
  int rc = HxProcess::systemWithTimeout("echo started; (sleep 30); sleep 30 & wait", &out, nullptr,
                                        500);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_NE(rc, 0);
  EXPECT_EQ(out, "started\n") << "output before the kill is kept";
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(HxProcessTest, BackgroundDescendantDoesNotHoldTheCallerUp) {
  std::string out;
  auto start = std::chrono::steady_clock::now();
  int rc = HxProcess::systemWithTimeout("sleep 4 & echo done", &out, nullptr, 10000);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// The descriptor number under which this process has path open, or -1.
int FindDescriptor(const std::string& path) {
  for (int fd = 3; fd < 1024; ++fd) {
    char target[4096];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target) - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) return fd;
  }
  return -1;
}

// What descriptor fd of the command's shell refers to ("" when not open).
std::string TargetInChild(int fd) {
  std::string target;
  Shell("readlink /proc/$$/fd/" + std::to_string(fd) + " || true", &target);
  return target;
}

TEST(HxProcessTest, DescriptorsOfTheCallerAreNotInherited) {
  hxtest::TestInstance instance;
  std::string path = instance.root() + "/open-file";
  CUaFile file;
  ASSERT_TRUE(file.Open(path.c_str(), O_CREAT | O_WRONLY, 0644).Success());
  int fd = FindDescriptor(path);
  ASSERT_GE(fd, 3);
  EXPECT_EQ(TargetInChild(fd).find(path), std::string::npos) << "descriptor " << fd << " leaked";

  // Not even one opened by the caller without O_CLOEXEC.
  int raw = open(path.c_str(), O_RDONLY);
  ASSERT_GE(raw, 0);
  EXPECT_EQ(TargetInChild(raw).find(path), std::string::npos) << "descriptor " << raw << " leaked";
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

TEST(HxProcessTest, SafeToCallFromSeveralThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> outs(6);
  std::vector<int> rcs(6, -1);
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] {
      rcs[i] = Shell("sleep 0.1; echo " + std::to_string(i), &outs[i]);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(rcs[i], 0);
    EXPECT_EQ(outs[i], std::to_string(i) + "\n");
  }
}

TEST(HxProcessTest, DefaultEnvRunsCommandsAndTellsTime) {
  std::string out, err;
  EXPECT_EQ(HxEnv::Default()->RunCommand("echo env", &out, &err), 0);
  EXPECT_EQ(out, "env\n");
  EXPECT_EQ(HxEnv::Default(), HxEnv::Default());
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  EXPECT_LE(HxEnv::Default()->NowSeconds() - now, 1u);
}

}  // namespace
