// The configuration store reading a hostile ".properties" file. Every name
// the file mentions (and one it does not) is looked up as text and as a
// number, and the answers must be those of a plain reading of the format:
// one "name value" per line, the value being the rest of the line after the
// first run of blanks and tabs without its trailing CR/LF, the last line of a
// name winning; a number is decimal or 0x-hex digits with blanks around,
// nothing else, within unsigned long.
#include <cctype>
#include <climits>

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

bool Number(std::string t, unsigned long* value) {
  t.erase(0, t.find_first_not_of(" \t"));
  t.erase(t.find_last_not_of(" \t") + 1);
  const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  const std::string digits = hex ? "0123456789abcdef" : "0123456789";
  unsigned __int128 v = 0;
  for (size_t i = hex ? 2 : 0; i < t.size(); ++i) {
    const size_t d = digits.find(static_cast<char>(std::tolower(static_cast<unsigned char>(t[i]))));
    v = v * digits.size() + d;
    if (d == std::string::npos || v > ULONG_MAX) return false;
  }
  *value = static_cast<unsigned long>(v);
  return !t.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  const std::string text(reinterpret_cast<const char*>(data), size);
  hxfuzz::WriteConfig("Fuzz", text);
  std::vector<std::string> names = {"NoSuchName"};
  for (const std::string& line : hxfuzz::Pieces(text, '\n')) {
    if (names.size() < 8) names.push_back(Key(line));
  }
  HxPlatformInfo info;
  for (std::string name : names) {
    name = name.substr(0, name.find('\0'));  // names cross the interface as C strings
    std::string expected, got = "untouched";
    const bool exists = Lookup(text, name, &expected);
    const int found = info.getString("Fuzz", name.c_str(), &got);
    FUZZ_CHECK((found != 0) == exists, "getString(" + name + ") found " + std::to_string(found));
    FUZZ_CHECK(got == (exists ? expected : "untouched"), name + " = [" + got + "], not [" + expected + "]");
    unsigned long number = 12345, model = 0;
    const bool parses = exists && Number(expected, &model);
    const int numberFound = info.getNumber("Fuzz", name.c_str(), &number);
    FUZZ_CHECK((numberFound != 0) == parses, "getNumber(" + name + ") of [" + expected + "]");
    FUZZ_CHECK(number == (parses ? model : 12345UL), "getNumber(" + name + ") = " + std::to_string(number));
  }
  return 0;
}
