// The configuration store reading a hostile ".properties" file. Every name
// the file mentions (and one it does not) is looked up as text and as a
// number, and the answers must be those of a plain reading of the format:
// one "name value" per line, the value being the rest of the line after the
// first run of blanks and tabs without its trailing CR/LF, the last line of a
// name winning; a number is decimal or 0x-hex digits with blanks around,
// nothing else, within unsigned long.
#include <cctype>
#include <climits>
#include <cstdint>

#include "platform/hx_platform_info.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kSection[] = "Fuzz";

std::vector<std::string> Lines(const std::string& text) {
  return hxfuzz::Pieces(reinterpret_cast<const uint8_t*>(text.data()), text.size(), '\n');
}

std::string Key(const std::string& line) { return line.substr(0, line.find_first_of(" \t")); }

bool Lookup(const std::string& text, const std::string& name, std::string* value) {
  bool found = false;
  for (std::string line : Lines(text)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const std::string key = Key(line);
    if (name.empty() || key != name) continue;
    const size_t start = line.find_first_not_of(" \t", key.size());
    *value = start == std::string::npos ? std::string() : line.substr(start);
    found = true;
  }
  return found;
}

bool Number(const std::string& text, unsigned long* value) {
  const size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return false;
  std::string t = text.substr(b, text.find_last_not_of(" \t") - b + 1);
  unsigned base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t = t.substr(2);
  }
  unsigned __int128 v = 0;
  for (char c : t) {
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : std::isxdigit(static_cast<unsigned char>(c))
                      ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                      : 99;
    if (d >= static_cast<int>(base)) return false;
    v = v * base + static_cast<unsigned>(d);
    if (v > ULONG_MAX) return false;
  }
  *value = static_cast<unsigned long>(v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  const std::string text(reinterpret_cast<const char*>(data), size);
  hxfuzz::WriteConfig(kSection, text);

  std::vector<std::string> names = {"NoSuchName"};
  for (const std::string& line : Lines(text)) {
    if (names.size() < 8) names.push_back(Key(line));
  }
  HxPlatformInfo info;
  for (std::string name : names) {
    name = name.substr(0, name.find('\0'));  // names cross the interface as C strings
    std::string expected, got = "untouched";
    const bool exists = Lookup(text, name, &expected);
    const int found = info.getString(kSection, name.c_str(), &got);
    FUZZ_CHECK((found != 0) == exists, "getString(" + name + ") found " + std::to_string(found));
    FUZZ_CHECK(got == (exists ? expected : "untouched"), name + " = [" + got + "], not [" + expected + "]");

    unsigned long number = 12345, model = 0;
    const bool parses = exists && Number(expected, &model);
    const int numberFound = info.getNumber(kSection, name.c_str(), &number);
    FUZZ_CHECK((numberFound != 0) == parses, "getNumber(" + name + ") of [" + expected + "]");
    FUZZ_CHECK(number == (parses ? model : 12345UL), "getNumber(" + name + ") = " + std::to_string(number));
  }
  return 0;
}
