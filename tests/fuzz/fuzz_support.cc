#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "platform/ev_debug.h"
#include "platform/hx_platform_info.h"
#include "platform/ua_file.h"
#include "providers/perf_header_info.h"

namespace hxfuzz {

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n*** %s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

hxtest::TestInstance& Instance() {
  static hxtest::TestInstance instance;
  static unsigned runs = 0;
  // Wherever the instance's log directory is configured to be.
  const std::string log = EvDebug::LogFilePath();
  if (++runs % 4096 == 0 && !log.empty()) {
    unlink(log.c_str());
    unlink((log.substr(0, log.rfind('/') + 1) + "metrics.log").c_str());
  }
  return instance;
}

void WriteConfig(const std::string& section, const std::string& text) {
  const std::string dir = HxRegistryRoot() + HXPI_Focus::getFocus() + "/" + section;
  FUZZ_CHECK(!CUaDirectory::Create(dir.c_str(), true).IsError(), dir);
  hxtest::WriteFile(dir + "/.properties", text);
}

std::vector<std::string> Pieces(const std::string& input, char separator) {
  std::vector<std::string> pieces;
  std::istringstream in(input + separator);
  for (std::string piece; std::getline(in, piece, separator);) pieces.push_back(piece);
  return pieces;
}

FuzzEnv::FuzzEnv(const char* fixture, const std::string& texts) : fuzzed(Pieces(texts, ';')) {
  hxtest::LoadFixture(fixture, this);
  FUZZ_CHECK(!replies.empty(), std::string("fixture ") + fixture + " could not be loaded");
}

void FuzzEnv::Begin(std::vector<std::string> input) {
  pieces = std::move(input);
  next = 0;
  commands.clear();
  unknownCommands.clear();
  outputs.clear();
}

int FuzzEnv::RunCommand(const std::string& command, std::string* out, std::string* err) {
  std::string answer;
  int rc = 0;
  if (std::any_of(fuzzed.begin(), fuzzed.end(), [&](const std::string& t) { return command.find(t) != std::string::npos; })) {
    commands.push_back(command);
    answer = next < pieces.size() ? pieces[next++] : std::string();
  } else {
    rc = ReplayEnv::RunCommand(command, &answer, err);
  }
  if (out) *out = answer;
  if (err && rc == 0) err->clear();
  outputs.push_back(answer);
  return rc;
}

void CheckReports(const hxtest::CaptureCallback& callback, ResourceAgentType type, const char* kinds) {
  std::string object, version;
  std::vector<std::string> columns;
  FUZZ_CHECK(CPerfHeaderInfo::GetPerfHeader(type, object, version, columns), "no header");
  FUZZ_CHECK(columns.size() == std::strlen(kinds), "the kinds do not match the header");
  for (const hxtest::CapturedReport& r : callback.reports) {
    FUZZ_CHECK(r.type == type && r.object == object, r.object);
    FUZZ_CHECK(r.items.columns == columns && r.items.version == version, r.object);
    FUZZ_CHECK(r.items.rows.size() == 1 && r.items.rows[0].size() == columns.size(), r.object + ": one row of values");
    for (size_t i = 0; i < columns.size(); ++i) {
      const std::string& v = r.items.rows[0][i];
      const double number = std::strtod(v.c_str(), nullptr);  // std::to_string prints it as "%f" does
      const bool ok = kinds[i] == 'u'   ? v == std::to_string(std::strtoull(v.c_str(), nullptr, 10))
                      : kinds[i] == 'f' ? std::isfinite(number) && v == std::to_string(number)
                      : kinds[i] == 'e' ? v.empty()
                      : kinds[i] == 'n' ? !v.empty() && v.find_first_of(std::string(" \t\r\n")) == std::string::npos
                                        : kinds[i] == 't' && v.find('\n') == std::string::npos;
      FUZZ_CHECK(ok, columns[i] + " = [" + v + "]");
    }
  }
}

bool ShellWord(const std::string& word, std::string* value) {
  value->clear();
  for (size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    const size_t close = c == '\'' ? word.find('\'', i + 1) : std::string::npos;
    if (close != std::string::npos) {
      value->append(word, i + 1, close - i - 1);
      i = close;
    } else if (c == '\\' && i + 1 < word.size()) {
      *value += word[++i];
    } else if (std::isalnum(static_cast<unsigned char>(c)) || (c != '\0' && std::strchr("/._-+,:@%^", c))) {
      *value += c;  // never shell syntax unquoted
    } else {
      return false;  // blank, newline, operator, expansion, glob, NUL, lone quote or trailing backslash
    }
  }
  return true;
}

}  // namespace hxfuzz
