// The configuration store reading a hostile ".properties" file. Every name
// the file mentions (and one it does not) is looked up, and the answers must
// be those of a plain reading of the format: one "name value" per line, the
// value being the rest of the line after the first run of blanks and tabs
// without its trailing CR/LF, the last line of a name winning. (How a value
// reads as a number is the platform tests' table.)
#include "platform/hx_platform_info.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string Key(const std::string& line) { return line.substr(0, line.find_first_of(" \t")); }

bool Lookup(const std::string& text, const std::string& name, std::string* value) {
  bool found = false;
  for (std::string line : hxfuzz::Pieces(text, '\n')) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (name.empty() || Key(line) != name) continue;
    const size_t start = line.find_first_not_of(" \t", name.size());
    *value = start == std::string::npos ? std::string() : line.substr(start);
    found = true;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  const std::string text(reinterpret_cast<const char*>(data), size);
  hxfuzz::WriteConfig("Fuzz", text);
  std::vector<std::string> names = {"NoSuchName"};
  for (const std::string& line : hxfuzz::Pieces(text, '\n')) if (names.size() < 8) names.push_back(Key(line));
  HxPlatformInfo info;
  for (std::string name : names) {
    name = name.substr(0, name.find('\0'));  // names cross the interface as C strings
    std::string expected, got = "untouched";
    const bool exists = Lookup(text, name, &expected);
    const int found = info.getString("Fuzz", name.c_str(), &got);
    FUZZ_CHECK((found != 0) == exists, "getString(" + name + ") found " + std::to_string(found));
    FUZZ_CHECK(got == (exists ? expected : "untouched"), name + " = [" + got + "], not [" + expected + "]");
  }
  return 0;
}
