// Reads metrics exposition text back with the reference parser (Debian's
// python3-prometheus-client, run by /usr/bin/python3 through prom_parse.py).
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/test_env.h"

namespace hxtest {

struct PromSample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

struct PromFamily {
  std::string name, type, help;
  std::vector<PromSample> samples;
};

inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Families of the file at path as the parser reads them. False with *error
// (the parser's reason) when the text is rejected or the parser is missing.
inline bool ParsePromFile(const std::string& path, std::vector<PromFamily>* families,
                          std::string* error) {
  std::string out;
  const int status = RunAndCapture(
      "/usr/bin/python3", {std::string(HX_SOURCE_DIR) + "/tests/common/prom_parse.py", path}, &out);
  families->clear();
  if (status != 0) {
    *error = "prom_parse.py exit " + std::to_string(status) + ": " + out;
    return false;
  }
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream w(line);
    std::string kind, name;
    w >> kind >> name;
    if (kind == "F") {
      PromFamily f;
      std::string help;
      w >> f.type >> help;
      f.name = FromHex(name);
      f.help = FromHex(help);
      families->push_back(f);
    } else if (kind == "S" && !families->empty()) {
      PromSample s;
      std::string value, pair;
      size_t count = 0;
      w >> value >> count;
      s.name = FromHex(name);
      s.value = std::stod(value);
      while (w >> pair) {
        const size_t eq = pair.find('=');
        s.labels[FromHex(pair.substr(0, eq))] = FromHex(pair.substr(eq + 1));
      }
      if (s.labels.size() != count) {
        *error = "bad label list in: " + line;
        return false;
      }
      families->back().samples.push_back(s);
    }
  }
  return true;
}

}  // namespace hxtest
