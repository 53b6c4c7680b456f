// Reads metrics exposition text back with the reference parser (Debian's
// python3-prometheus-client, run by /usr/bin/python3 through prom_parse.py),
// and compares what it read as sets of series.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
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


// A series: family name and its labels.
typedef std::pair<std::string, std::map<std::string, std::string>> Series;

inline std::vector<PromFamily> Parse(const std::string& path) {
  std::vector<PromFamily> families;
  std::string error;
  EXPECT_TRUE(hxtest::ParsePromFile(path, &families, &error)) << error;
  return families;
}

// Every series of the parsed text by name and labels. Checks on the way that
// no family or series repeats, every family has help, and the families are
// gauges but those named in counters (named without "_total").
inline std::map<Series, double> SeriesOf(const std::vector<PromFamily>& families,
                                         const std::set<std::string>& counters = {}) {
  std::map<Series, double> all;
  std::set<std::string> names;
  for (const PromFamily& f : families) {
    EXPECT_TRUE(names.insert(f.name).second) << "family twice: " << f.name;
    EXPECT_EQ(counters.count(f.name) ? "counter" : "gauge", f.type) << f.name;
    EXPECT_FALSE(f.help.empty()) << f.name;
    for (const hxtest::PromSample& s : f.samples) {
      EXPECT_TRUE(all.emplace(Series(s.name, s.labels), s.value).second) << "series twice: " << s.name;
    }
  }
  return all;
}

// What differs between two sets of series ("" when none).
inline std::string Diff(const std::map<Series, double>& want, const std::map<Series, double>& got) {
  auto text = [](const Series& s) {
    std::string t = s.first + "{";
    for (const auto& l : s.second) t += l.first + "=\"" + l.second + "\",";
    return t + "}";
  };
  std::ostringstream out;
  for (const auto& w : want) {
    auto g = got.find(w.first);
    if (g == got.end()) {
      out << "missing " << text(w.first) << "\n";
    } else if (g->second != w.second) {
      out << text(w.first) << " " << g->second << " instead of " << w.second << "\n";
    }
  }
  for (const auto& g : got) {
    if (!want.count(g.first)) out << "extra " << text(g.first) << "\n";
  }
  return out.str();
}

}  // namespace hxtest
