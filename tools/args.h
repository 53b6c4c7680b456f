// Command-line options of hxctl. Accepted forms: "--name", "--name VALUE ...",
// "--name=VALUE" (one-value options only). Parse rejects unknown options,
// missing values, an option given twice and stray words, with a message that
// names the culprit; numbers are parsed strictly by ParseNumber.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hxctl {

struct OptionSpec {
  std::string name;       // without the leading "--"
  int values = 0;         // number of values the option takes (0, 1 or 2)
  std::string valueHelp;  // "N", "DIR", "ID MBPH", ... for messages
};

class ParsedArgs {
 public:
  explicit ParsedArgs(std::vector<OptionSpec> specs);

  // False with *error set on the first problem.
  bool Parse(const std::vector<std::string>& args, std::string* error);

  bool Has(const std::string& name) const { return given_.count(name) != 0; }
  // The values of a given option; empty for an absent one.
  const std::vector<std::string>& Values(const std::string& name) const;
  // The first value, or fallback when the option is absent.
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  // The words after "--" (a program and its arguments), for commands that run one.
  void SetCommand(std::vector<std::string> words) { command_ = std::move(words); }
  const std::vector<std::string>& Command() const { return command_; }

 private:
  const OptionSpec* Find(const std::string& name) const;

  std::vector<OptionSpec> specs_;
  std::map<std::string, std::vector<std::string>> given_;
  std::vector<std::string> command_;
};

// Strict unsigned decimal: digits only (no sign, blanks, prefix or suffix),
// value within [min, max]. False with *error naming what (e.g. "--seconds")
// and the accepted range.
bool ParseNumber(const std::string& what, const std::string& text, uint64_t min, uint64_t max,
                 uint64_t* out, std::string* error);
bool ParseNumber32(const std::string& what, const std::string& text, uint32_t min, uint32_t max,
                   uint32_t* out, std::string* error);

}  // namespace hxctl
