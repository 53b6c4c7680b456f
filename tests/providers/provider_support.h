// Shared by the provider tests: block files (recorded command outputs and the
// scenario and golden files), an environment that replays replies, and a
// callback that keeps every report.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "providers/linux_provider_base.h"
#include "providers/perf_provider.h"
#include "tests/common/test_env.h"

namespace hxtest {

// A block of a file under tests/providers: a head line starting "@@@ ",
// "=== " or "<<< " and the lines up to the next head, verbatim. Lines starting
// "### " are comments. Fixtures hold "@@@ <status> <command>" + output blocks.
struct Block {
  std::string head, body;
};

inline std::vector<Block> ReadBlocks(const std::string& name) {
  const std::string text = ReadFile(std::string(HX_SOURCE_DIR) + "/tests/providers/" + name);
  EXPECT_FALSE(text.empty()) << "missing " << name;
  std::vector<Block> blocks;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::string tag = line.substr(0, 4);
    if (tag == "### ") continue;
    if (tag == "@@@ " || tag == "=== " || tag == "<<< ") {
      blocks.push_back({line, ""});
    } else if (!blocks.empty()) {
      blocks.back().body += line + "\n";
    }
  }
  return blocks;
}

// Splits text at sep ("" gives no field).
inline std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string f; !text.empty() && std::getline(in, f, sep);) fields.push_back(f);
  if (!text.empty() && text.back() == sep) fields.push_back("");
  return fields;
}

// Replays replies; a command without one runs for real when it contains one
// of passThrough (a real file to read, or quoting to prove in a real shell).
class ReplayEnv : public FakeEnv {
 public:
  std::vector<std::string> passThrough;
  // "@@@ <status> <command>" sets a reply, "@@@ - <command>" removes it.
  void Apply(const Block& b) {
    const size_t blank = b.head.find(' ', 4);
    const std::string status = b.head.substr(4, blank - 4), command = b.head.substr(blank + 1);
    if (status == "-") {
      replies.erase(command);
    } else {
      replies[command] = {std::stoi(status), b.body};
    }
  }
  int RunCommand(const std::string& command, std::string* out, std::string* err) override {
    for (const std::string& p : passThrough) {
      if (replies.count(command) == 0 && command.find(p) != std::string::npos) {
        commands.push_back(command);
        return HxEnv::Default()->RunCommand(command, out, err);
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

// The rows of a report, fields joined by '|', one per line.
inline std::string RowsText(const CapturedReport& r) {
  std::string text;
  for (const auto& row : r.items.rows) {
    EXPECT_EQ(row.size(), r.items.columns.size()) << r.object;
    for (size_t i = 0; i < row.size(); ++i) text += (i ? "|" : "") + row[i];
    text += "\n";
  }
  return text;
}

class CaptureCallback : public iCHxPerfUpdateCallback {
 public:
  std::vector<CapturedReport> reports;
  int OnUpdateLog(ResourceAgentType type, const char* object, _PerfLogItems& items) override {
    reports.push_back({type, object, items});
    return 0;
  }
  // The rows of every report.
  std::string Text() const {
    std::string text;
    for (const CapturedReport& r : reports) text += RowsText(r);
    return text;
  }
};

}  // namespace hxtest
