#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "platform/ev_debug.h"
#include "platform/hx_platform_info.h"
#include "platform/ua_file.h"
#include "providers/linux_provider_base.h"
#include "providers/perf_header_info.h"

namespace hxfuzz {

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n*** %s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

namespace {

// A copy of the instance's configuration store in memory, made current
// through HXREG; removed (before the instance) at a normal exit.
struct MemoryRegistry {
  std::string root;
  explicit MemoryRegistry(hxtest::TestInstance& instance) {
    char path[] = "/dev/shm/hxfuzz_registry.XXXXXX";
    FUZZ_CHECK(mkdtemp(path) != nullptr, std::strerror(errno));
    root = path;
    const std::string text = hxtest::ReadFile(HxRegistryRoot() + instance.focus() + "/Platform/.properties");
    setenv("HXREG", root.c_str(), 1);
    WriteConfig("Platform", text);
  }
  ~MemoryRegistry() { std::filesystem::remove_all(root); }
};

}  // namespace

hxtest::TestInstance& Instance() {
  static hxtest::TestInstance instance;
  static MemoryRegistry registry(instance);
  return instance;
}

void WriteConfig(const std::string& section, const std::string& text) {
  const std::string dir = HxRegistryRoot() + HXPI_Focus::getFocus() + "/" + section;
  FUZZ_CHECK(!CUaDirectory::Create(dir.c_str(), true).IsError(), dir);
  hxtest::WriteFile(dir + "/.properties", text);
}

void TrimDebugLog() {
  static unsigned runs = 0;
  if (++runs % 4096 != 0) return;
  // Wherever the instance's log directory is configured to be.
  const std::string log = EvDebug::LogFilePath();
  if (log.empty()) return;
  unlink(log.c_str());
  unlink((log.substr(0, log.rfind('/') + 1) + "metrics.log").c_str());
}

std::vector<std::string> Pieces(const uint8_t* data, size_t size, uint8_t separator) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == separator) pieces.emplace_back();
    if (data[i] != separator) pieces.back() += static_cast<char>(data[i]);
  }
  return pieces;
}

FuzzEnv::FuzzEnv(const char* fixture, const std::string& fuzzed) {
  std::istringstream texts(fuzzed);
  for (std::string text; std::getline(texts, text, ';');) {
    if (!text.empty()) fuzzed_.push_back(text);
  }
  hxtest::LoadFixture(fixture, this);
  FUZZ_CHECK(!replies.empty(), std::string("fixture ") + fixture + " could not be loaded");
}

void FuzzEnv::Begin(std::vector<std::string> pieces) {
  pieces_ = std::move(pieces);
  next_ = 0;
  commands.clear();
  unknownCommands.clear();
  outputs.clear();
}

int FuzzEnv::RunCommand(const std::string& command, std::string* out, std::string* err) {
  std::string answer;
  int rc = 0;
  const auto has = [&](const std::string& part) { return command.find(part) != std::string::npos; };
  if (std::find_if(fixed.begin(), fixed.end(), [&](const auto& f) { return has(f.first) && (answer = f.second, true); }) !=
      fixed.end()) {
    commands.push_back(command);
  } else if (std::find_if(fuzzed_.begin(), fuzzed_.end(), has) != fuzzed_.end()) {
    commands.push_back(command);
    answer = next_ < pieces_.size() ? pieces_[next_] : std::string();
    ++next_;
  } else {
    rc = ReplayEnv::RunCommand(command, &answer, err);
  }
  if (out) *out = answer;
  if (err && rc == 0) err->clear();
  outputs.push_back(answer);
  return rc;
}

namespace {

//   'u' unsigned decimal digits   'f' a finite number as "%f" prints it
//   'e' empty                     'n' a name: non-empty, no blank, tab, CR or LF
//   't' text on one line (no LF)
bool ValueOfKind(char kind, const std::string& v) {
  const size_t from = kind == 'f' && !v.empty() && v[0] == '-', npos = std::string::npos;
  const size_t end = v.find_first_not_of("0123456789", from);  // of the leading digits
  switch (kind) {
    case 'u':
      return !v.empty() && end == npos && (v == "0" || v[0] != '0');
    case 'f':
      return end != npos && end > from && end + 7 == v.size() && v[end] == '.' &&
             v.find_first_not_of("0123456789", end + 1) == npos && std::isfinite(std::strtod(v.c_str(), nullptr));
    case 'e':
      return v.empty();
    case 'n':
      return !v.empty() && v.find_first_of(std::string(" \t\r\n")) == npos;
    case 't':
      return v.find('\n') == npos;
  }
  return false;
}

}  // namespace

void CheckReports(const hxtest::CaptureCallback& callback, ResourceAgentType type,
                  const char* kinds) {
  std::string object, version;
  std::vector<std::string> columns;
  FUZZ_CHECK(CPerfHeaderInfo::GetPerfHeader(type, object, version, columns), "no header");
  FUZZ_CHECK(columns.size() == std::strlen(kinds), "the kinds do not match the header");
  for (const hxtest::CapturedReport& r : callback.reports) {
    FUZZ_CHECK(r.type == type && r.object == object, r.object);
    FUZZ_CHECK(r.items.columns == columns && r.items.version == version, r.object);
    FUZZ_CHECK(r.items.rows.size() == 1, std::to_string(r.items.rows.size()) + " rows");
    const std::vector<std::string>& row = r.items.rows[0];
    FUZZ_CHECK(row.size() == columns.size(), std::to_string(row.size()) + " values");
    for (size_t i = 0; i < row.size(); ++i) {
      FUZZ_CHECK(ValueOfKind(kinds[i], row[i]), columns[i] + " = [" + row[i] + "]");
    }
  }
}

bool ShellWord(const std::string& word, std::string* value) {
  // Unquoted characters that are never shell syntax.
  static const char kPlain[] = "/._-+,:@%^";
  value->clear();
  size_t i = 0;
  while (i < word.size()) {
    const char c = word[i];
    if (c == '\'') {
      const size_t close = word.find('\'', i + 1);
      if (close == std::string::npos) return false;  // unterminated: the shell refuses it
      value->append(word, i + 1, close - i - 1);
      i = close + 1;
    } else if (c == '\\') {
      if (i + 1 >= word.size()) return false;
      *value += word[i + 1];
      i += 2;
    } else if (std::isalnum(static_cast<unsigned char>(c)) ||
               (c != '\0' && std::strchr(kPlain, c) != nullptr)) {
      *value += c;
      ++i;
    } else {
      return false;  // blank, newline, operator, expansion, glob or NUL
    }
  }
  return true;
}

}  // namespace hxfuzz
