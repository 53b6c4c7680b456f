// Test helpers: a private platform instance per test, reading the debug log,
// starting helper programs as real processes, and a controllable HxEnv.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/hx_env.h"
#include "tools/private_instance.h"

namespace hxtest {

// A private instance (/tmp/hxtest.XXXXXX) with the debug log at level 20;
// the destructor leaves nothing of it behind (see PrivateInstance).
class TestInstance : public hxctl::PrivateInstance {
 public:
  TestInstance();

  const std::string& root() const { return stateDir(); }  // temp dir

  // Lines of the debug log (hxdebug.log) written so far, and those containing text.
  std::vector<std::string> LogLines() const;
  std::vector<std::string> LogLinesContaining(const std::string& text) const;
  // Removes the debug log (start assertions from a clean slate).
  void ClearLog() const;

};

// Processes attached to inst's inbound and outbound tables, as "<in> <out>"
// (-1: the table does not exist).
std::string TablesAttached(const TestInstance& inst);

// Path of a helper program built from tests/<sub>/children/<name>.cc.
std::string ChildPath(const std::string& name);
// Same program from the other ABI's build, or "" when that build is absent.
std::string OtherAbiChildPath(const std::string& name);

// Starts program with args as a new process (through the i386 emulator when
// the program is an i386 binary and this kernel cannot run it). Returns the pid.
// The child's stdout and stderr go to the files given.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& stdoutPath = "", const std::string& stderrPath = "");
// Waits for pid; returns its exit status (0..255) or 128+signal.
int WaitExit(pid_t pid);
// Spawn + WaitExit, capturing stdout into *out (and stderr into *err).
// *pid, when given, is the child's pid.
int RunAndCapture(const std::string& program, const std::vector<std::string>& args,
                  std::string* out, std::string* err = nullptr, pid_t* pid = nullptr);

// Waits at most seconds for a condition another process brings about
// (looking every 10 ms); whether it holds.
template <typename Pred>
bool WaitFor(Pred pred, int seconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!pred() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return pred();
}

// text with every from replaced by to.
std::string Replace(std::string text, const std::string& from, const std::string& to);
// Reads a whole file ("" when absent).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// An HxEnv whose clock the test sets and whose commands are answered from a
// table of recorded outputs (exact command text -> {result, output}); a
// command not in the table fails with -1 and is recorded in unknownCommands.
class FakeEnv : public HxEnv {
 public:
  uint32_t now = 1700000000;
  struct Reply {
    int result;
    std::string output;
  };
  std::map<std::string, Reply> replies;
  std::vector<std::string> commands;         // every command asked, in order
  std::vector<std::string> unknownCommands;  // those with no reply

  int64_t monoMs = 0;  // the monotonic clock: no time passes unless the test says so
  uint32_t NowSeconds() override { return now; }
  int64_t MonotonicMs() override { return monoMs; }
  int RunCommand(const std::string& command, std::string* out, std::string* err) override;
};

}  // namespace hxtest
