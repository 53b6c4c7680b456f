#include "tools/args.h"

#include <limits>

namespace hxctl {

ParsedArgs::ParsedArgs(std::vector<OptionSpec> specs) : specs_(std::move(specs)) {}

const OptionSpec* ParsedArgs::Find(const std::string& name) const {
  for (const OptionSpec& s : specs_) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

bool ParsedArgs::Parse(const std::vector<std::string>& args, std::string* error) {
  given_.clear();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + word + "'";
      return false;
    }
    std::string name = word.substr(2);
    std::string inlineValue;
    bool hasInline = false;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasInline = true;
    }
    const OptionSpec* spec = Find(name);
    if (!spec) {
      *error = "unknown option '--" + name + "'";
      return false;
    }
    if (given_.count(name)) {
      *error = "option '--" + name + "' given twice";
      return false;
    }
    std::vector<std::string> values;
    if (hasInline) {
      if (spec->values != 1) {
        *error = spec->values == 0 ? "option '--" + name + "' takes no value"
                                   : "option '--" + name + "' needs " + spec->valueHelp +
                                         " as separate words";
        return false;
      }
      values.push_back(inlineValue);
    } else {
      for (int k = 0; k < spec->values; ++k) {
        if (i + 1 >= args.size() || args[i + 1].compare(0, 2, "--") == 0) {
          *error = "option '--" + name + "' needs " + spec->valueHelp;
          return false;
        }
        values.push_back(args[++i]);
      }
    }
    for (const std::string& v : values) {
      if (v.empty()) {
        *error = "option '--" + name + "' has an empty value";
        return false;
      }
    }
    given_[name] = values;
  }
  return true;
}

const std::vector<std::string>& ParsedArgs::Values(const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto it = given_.find(name);
  return it == given_.end() ? kNone : it->second;
}

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  const std::vector<std::string>& v = Values(name);
  return v.empty() ? fallback : v[0];
}

bool ParseNumber(const std::string& what, const std::string& text, uint64_t min, uint64_t max,
                 uint64_t* out, std::string* error) {
  const std::string range =
      " (expected a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ")";
  if (text.empty()) {
    *error = "bad number for " + what + ": empty" + range;
    return false;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      *error = "bad number for " + what + ": '" + text + "'" + range;
      return false;
    }
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      *error = "number out of range for " + what + ": '" + text + "'" + range;
      return false;
    }
    value = value * 10 + digit;
  }
  if (value < min || value > max) {
    *error = "number out of range for " + what + ": '" + text + "'" + range;
    return false;
  }
  *out = value;
  return true;
}

bool ParseNumber32(const std::string& what, const std::string& text, uint32_t min, uint32_t max,
                   uint32_t* out, std::string* error) {
  uint64_t v = 0;
  if (!ParseNumber(what, text, min, max, &v, error)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace hxctl
