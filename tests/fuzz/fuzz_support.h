// Shared by the libFuzzer targets: a private platform instance for the whole
// run, an environment that hands fuzz input to chosen commands and replays
// recorded outputs for the others, a hard check that stops the run with the
// failing input, and the checks every provider report must pass.
#pragma once

#include <string>
#include <vector>

#include "tests/providers/linux_provider_test_support.h"

namespace hxfuzz {

// Reports the broken property and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what, const std::string& detail);
#define FUZZ_CHECK(cond, detail) \
  if (!(cond)) ::hxfuzz::Fail(#cond, (detail))

// The run's private instance, made on first use and removed at a normal
// exit; call it once per run. WriteConfig replaces a section's .properties
// file in its configuration store. The debug and metrics logs are emptied
// now and then so that long runs do not fill the disk.
hxtest::TestInstance& Instance();
void WriteConfig(const std::string& section, const std::string& text);


// The input cut at every separator byte (0x1E, record separator, unless told):
// the outputs of the successive fuzzed commands.
std::vector<std::string> Pieces(const std::string& input, char separator = 0x1E);

// Recorded outputs of a fixture for every command, except that a command
// containing one of the ';'-separated texts of `fuzzed` receives the next
// piece of the input (an empty output once the pieces are used up). Commands
// with no reply fail. outputs[i] is what commands[i] was answered.
struct FuzzEnv : hxtest::ReplayEnv {
  FuzzEnv(const char* fixture, const std::string& fuzzed);
  // Starts one run: the next fuzzed commands answer pieces in order.
  void Begin(std::vector<std::string> pieces);
  int RunCommand(const std::string& command, std::string* out, std::string* err) override;
  std::vector<std::string> fuzzed, pieces, outputs;
  size_t next = 0;  // the piece the next fuzzed command answers
};

// Checks every report of one update: the object name and columns of type's
// header, exactly one row, one value per column, and each value of the kind
// kinds[i] says:
//   'u' unsigned decimal digits   'f' a finite number as "%f" prints it
//   'e' empty                     'n' a name: non-empty, no blank, tab, CR or LF
//   't' text on one line (no LF)
void CheckReports(const hxtest::CaptureCallback& callback, ResourceAgentType type, const char* kinds);

// The single shell word `word` stands for, when it is one word made of
// quoted and unquoted parts with no unquoted shell syntax; false otherwise.
bool ShellWord(const std::string& word, std::string* value);

}  // namespace hxfuzz
