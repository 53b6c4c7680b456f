// Shared by the provider tests: recorded command outputs, an environment that
// replays them, and a callback that keeps every report.
#pragma once

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "providers/linux_provider_base.h"
#include "providers/perf_provider.h"
#include "tests/common/test_env.h"

namespace hxtest {

// Loads tests/providers/fixtures/<name>: blocks of "@@@ <status> <command>"
// followed by the command's output, verbatim (see fixtures/record.sh).
inline void LoadFixture(const std::string& name, FakeEnv* env) {
  const std::string text = ReadFile(std::string(HX_SOURCE_DIR) + "/tests/providers/fixtures/" + name);
  ASSERT_FALSE(text.empty()) << "missing fixture " << name;
  size_t pos = 0;
  while (pos < text.size()) {
    ASSERT_EQ(text.compare(pos, 4, "@@@ "), 0) << name << " at " << pos;
    size_t eol = text.find('\n', pos);
    const std::string header = text.substr(pos + 4, eol - pos - 4);
    const size_t blank = header.find(' ');
    size_t next = text.find("\n@@@ ", eol);
    next = next == std::string::npos ? text.size() : next + 1;
    env->replies[header.substr(blank + 1)] = {std::stoi(header.substr(0, blank)),
                                              text.substr(eol + 1, next - eol - 1)};
    pos = next;
  }
}

// Replays recorded replies; commands matching none of them run for real when
// they contain one of passThrough (e.g. the awk over the registry's runtime
// properties file, or a command that must prove quoting in a real shell).
class ReplayEnv : public FakeEnv {
 public:
  std::vector<std::string> passThrough;
  void Reply(const std::string& command, int result, const std::string& output) {
    replies[hxprov::kCommandPrefix + command] = {result, output};
  }
  int RunCommand(const std::string& command, std::string* out, std::string* err) override {
    if (replies.count(command) == 0) {
      for (const std::string& p : passThrough) {
        if (command.find(p) != std::string::npos) {
          commands.push_back(command);
          return HxEnv::Default()->RunCommand(command, out, err);
        }
      }
    }
    return FakeEnv::RunCommand(command, out, err);
  }
};

struct CapturedReport {
  ResourceAgentType type;
  std::string object;
  _PerfLogItems items;
};

class CaptureCallback : public iCHxPerfUpdateCallback {
 public:
  std::vector<CapturedReport> reports;
  int OnUpdateLog(ResourceAgentType type, const char* object, _PerfLogItems& items) override {
    reports.push_back({type, object, items});
    return 0;
  }
  // The rows of every report, in order (each report must hold exactly one).
  std::vector<std::vector<std::string>> SingleRows() const {
    std::vector<std::vector<std::string>> rows;
    for (const CapturedReport& r : reports) {
      EXPECT_EQ(r.items.rows.size(), 1u);
      if (!r.items.rows.empty()) rows.push_back(r.items.rows[0]);
    }
    return rows;
  }
};

using Rows = std::vector<std::vector<std::string>>;

// One update of type: every report names object and carries one row of
// columns values; returns the rows in order.
inline Rows UpdateRows(iCHxPerfProvider& provider, CaptureCallback& callback,
                       ResourceAgentType type, const char* object, size_t columns) {
  callback.reports.clear();
  provider.UpdatePerfCounters(type);
  for (const CapturedReport& r : callback.reports) {
    EXPECT_EQ(r.object, object);
    EXPECT_EQ(r.items.columns.size(), columns);
    for (const auto& row : r.items.rows) EXPECT_EQ(row.size(), columns);
  }
  return callback.SingleRows();
}

// Column i of every row.
inline std::vector<std::string> Column(const Rows& rows, size_t i) {
  std::vector<std::string> values;
  for (const auto& row : rows) values.push_back(row.at(i));
  return values;
}

// Value of column name in row of items ("<missing>" when there is no such column).
inline std::string Value(const _PerfLogItems& items, size_t row, const std::string& name) {
  for (size_t i = 0; i < items.columns.size(); ++i) {
    if (items.columns[i] == name && row < items.rows.size() && i < items.rows[row].size()) {
      return items.rows[row][i];
    }
  }
  return "<missing>";
}

// True when text is a decimal number ("12", "3.125000").
inline bool IsNumeric(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return *end == '\0' && (text[0] == '-' || (text[0] >= '0' && text[0] <= '9'));
}

// True when the shell can find program on this machine.
inline bool HaveCommand(const std::string& program) {
  std::string out;
  return HxEnv::Default()->RunCommand("command -v " + program, &out, nullptr) == 0;
}

}  // namespace hxtest
