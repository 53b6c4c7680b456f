// Reads metrics exposition text back with the reference parser (Debian's
// python3-prometheus-client, run by /usr/bin/python3 through prom_parse.py)
// as a set of series.
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "tests/common/test_env.h"

namespace hxtest {

// A series: its name and labels.
typedef std::pair<std::string, std::map<std::string, std::string>> Series;
typedef std::map<Series, double> SeriesValues;

inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// The series of the file at path, and in *types each family's type. False
// with *error when the parser rejects the text, a family lacks help, a family
// or a series repeats, or the parser is missing.
inline bool ParseSeries(const std::string& path, SeriesValues* series,
                        std::map<std::string, std::string>* types, std::string* error) {
  std::string out;
  const int status = RunAndCapture(
      "/usr/bin/python3", {std::string(HX_SOURCE_DIR) + "/tests/common/prom_parse.py", path}, &out);
  if (status != 0) {
    *error = "prom_parse.py exit " + std::to_string(status) + ": " + out;
    return false;
  }
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream w(line);
    std::string kind, name, value, pair;
    w >> kind >> name >> value;
    if (kind == "T") (*types)[FromHex(name)] = value;
    if (kind != "S") continue;
    Series s(FromHex(name), {});
    while (w >> pair) s.second[FromHex(pair.substr(0, pair.find('=')))] = FromHex(pair.substr(pair.find('=') + 1));
    (*series)[s] = std::stod(value);
  }
  return true;
}

}  // namespace hxtest
