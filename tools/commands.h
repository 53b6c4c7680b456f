// The commands of hxctl. Each takes its words after the command name and
// returns the process exit status below; messages go to stderr prefixed with
// "hxctl <command>: ".
#pragma once

#include <string>
#include <vector>

#include "tools/args.h"

namespace hxctl {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;   // the operation was tried and failed
constexpr int kExitUsage = 2;     // bad command line: nothing was done
constexpr int kExitNotFound = 3;  // unknown instance, or the table is absent

struct Command {
  const char* name;
  const char* summary;  // one line for the command list
  const char* help;     // the full --help text
  std::vector<OptionSpec> options;
  int (*run)(const ParsedArgs& args);
  // Takes a program after "--": the words after it are not hxctl's.
  bool takesCommand = false;
};

const std::vector<Command>& AllCommands();

// Prints "hxctl <command>: <message>" to stderr and returns status.
int Fail(const char* command, int status, const std::string& message);

int RunTable(const ParsedArgs& args);
int RunLimit(const ParsedArgs& args);
int RunMonitor(const ParsedArgs& args);
int RunDemo(const ParsedArgs& args);
int RunMetrics(const ParsedArgs& args);
int RunRun(const ParsedArgs& args);

}  // namespace hxctl
