// Shared by the provider tests (and the tools' and fuzz tests): block files
// under tests/providers (recorded command outputs, scenarios, golden reports),
// an environment replaying command replies, and a callback keeping reports.
#pragma once

#include <sstream>

#include "gtest/gtest.h"
#include "providers/linux_provider_base.h"
#include "tests/common/test_env.h"

namespace hxtest {

// A head line starting "@@@ ", "=== " or "<<< " and the lines up to the next
// head, verbatim ("### " lines are comments).
struct Block {
  std::string head, body;
};

inline std::vector<Block> ReadBlocks(const std::string& name) {
  std::istringstream in(ReadFile(std::string(HX_SOURCE_DIR) + "/tests/providers/" + name));
  std::vector<Block> blocks;
  for (std::string line; std::getline(in, line);) {
    const std::string tag = line.substr(0, 4);
    if (tag == "@@@ " || tag == "=== " || tag == "<<< ") blocks.push_back({line, ""});
    else if (tag != "### " && !blocks.empty()) blocks.back().body += line + "\n";
  }
  EXPECT_FALSE(blocks.empty()) << name;
  return blocks;
}

// "@@@ <status> <command>" followed by output sets a reply; "@@@ - <command>"
// removes it.
inline void SetReply(const Block& b, FakeEnv* env) {
  const size_t blank = b.head.find(' ', 4);
  env->replies.erase(b.head.substr(blank + 1));
  if (b.head[4] != '-') env->replies[b.head.substr(blank + 1)] = {std::stoi(b.head.substr(4)), b.body};
}

// The replies recorded in tests/providers/fixtures/<name> (see record.sh there).
inline void LoadFixture(const std::string& name, FakeEnv* env) {
  for (const Block& b : ReadBlocks("fixtures/" + name)) SetReply(b, env);
}

// Splits text at sep ("" gives no field).
inline std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string f; !text.empty() && std::getline(in, f, sep);) fields.push_back(f);
  if (!text.empty() && text.back() == sep) fields.push_back("");
  return fields;
}

// The fields joined by sep.
inline std::string Join(const std::vector<std::string>& fields, const char* sep) {
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) text += (i ? sep : "") + fields[i];
  return text;
}

// Replays replies; a command without one runs for real when it contains one
// of passThrough (a real file to read, or quoting to prove in a real shell).
class ReplayEnv : public FakeEnv {
 public:
  std::vector<std::string> passThrough;
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

class CaptureCallback : public iCHxPerfUpdateCallback {
 public:
  std::vector<CapturedReport> reports;
  int OnUpdateLog(ResourceAgentType type, const char* object, _PerfLogItems& items) override {
    reports.push_back({type, object, items});
    return 0;
  }
  // Every report's rows, fields joined by '|', one per line; with headers,
  // each report starts with "<agent type>|<object>|<version>|<columns>".
  std::string Text(bool headers = false) const {
    std::string text;
    for (const CapturedReport& r : reports) {
      if (headers) text += std::to_string(r.type) + "|" + r.object + "|" + r.items.version + "|" + Join(r.items.columns, ",") + "\n";
      for (const auto& row : r.items.rows) {
        EXPECT_EQ(row.size(), r.items.columns.size()) << r.object;
        text += Join(row, "|") + "\n";
      }
    }
    return text;
  }
};

}  // namespace hxtest
