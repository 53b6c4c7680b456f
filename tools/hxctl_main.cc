// hxctl: the operator tool. Dispatches to one command and prints help.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace hxctl {
namespace {

const char kUsage[] =
    "usage: hxctl COMMAND [OPTIONS]\n"
    "       hxctl COMMAND --help\n"
    "\n"
    "Looks at and steers the throttle tables and the resource monitor of a\n"
    "platform instance on this machine.\n"
    "\n"
    "Commands:\n";

const char kTrailer[] =
    "\n"
    "Every command takes --registry DIR (the configuration store root; default\n"
    "$HXREG, else the system's) and --help.\n"
    "Exit status: 0 done, 1 the operation failed, 2 bad command line,\n"
    "3 unknown instance or table absent.\n";

void PrintUsage(FILE* out) {
  fputs(kUsage, out);
  for (const Command& c : AllCommands()) fprintf(out, "  %-8s %s\n", c.name, c.summary);
  fputs(kTrailer, out);
}

}  // namespace

int Fail(const char* command, int status, const std::string& message) {
  fprintf(stderr, "hxctl %s: %s\n", command, message.c_str());
  return status;
}

int Main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string& name = words[0];
  if (name == "--help" || name == "-h" || name == "help") {
    if (words.size() > 1 && name == "help") {
      for (const Command& c : AllCommands()) {
        if (words[1] == c.name) {
          fputs(c.help, stdout);
          return kExitOk;
        }
      }
      fprintf(stderr, "hxctl: unknown command '%s'; run 'hxctl --help'\n", words[1].c_str());
      return kExitUsage;
    }
    PrintUsage(stdout);
    return kExitOk;
  }
  for (const Command& c : AllCommands()) {
    if (name != c.name) continue;
    std::vector<std::string> rest(words.begin() + 1, words.end());
    std::vector<std::string> program;
    if (c.takesCommand) {
      for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != "--") continue;
        program.assign(rest.begin() + static_cast<long>(i) + 1, rest.end());
        rest.resize(i);
        break;
      }
    }
    for (const std::string& w : rest) {
      if (w == "--help" || w == "-h") {
        fputs(c.help, stdout);
        return kExitOk;
      }
    }
    std::vector<OptionSpec> specs = c.options;
    specs.push_back({"registry", 1, "DIR"});
    ParsedArgs args(specs);
    std::string error;
    if (!args.Parse(rest, &error)) {
      fprintf(stderr, "hxctl %s: %s\nrun 'hxctl %s --help' for usage\n", c.name, error.c_str(),
              c.name);
      return kExitUsage;
    }
    args.SetCommand(program);
    return c.run(args);
  }
  fprintf(stderr, "hxctl: unknown command '%s'; run 'hxctl --help'\n", name.c_str());
  return kExitUsage;
}

}  // namespace hxctl

int main(int argc, char** argv) { return hxctl::Main(argc, argv); }
