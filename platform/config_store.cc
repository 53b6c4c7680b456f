#include "platform/config_store.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/hx_platform_info.h"
#include "platform/secure_fs.h"

namespace hxp {

std::string PropertiesPath(const std::string& instance, const std::string& section) {
  return HxRegistryRoot() + instance + "/" + section + "/.properties";
}

bool LookupConfig(const std::string& instance, const std::string& section,
                  const std::string& name, std::string* value) {
  if (name.empty()) return false;
  std::ifstream in(PropertiesPath(instance, section), std::ios::binary);
  if (!in) return false;
  std::string line;
  bool found = false;
  std::string result;
  // The last line of a name wins, so that an appended line overrides.
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    size_t sep = line.find_first_of(" \t");
    std::string key = line.substr(0, sep);
    if (key != name) continue;
    std::string rest;
    if (sep != std::string::npos) {
      size_t start = line.find_first_not_of(" \t", sep);
      if (start != std::string::npos) rest = line.substr(start);
    }
    result = rest;
    found = true;
  }
  if (found && value) *value = result;
  return found;
}

bool ParseNumber(const std::string& text, unsigned long* value) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return false;
  size_t e = text.find_last_not_of(" \t");
  std::string t = text.substr(b, e - b + 1);
  int base = 10;
  const char* digits = t.c_str();
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    digits += 2;
  }
  if (!std::isxdigit(static_cast<unsigned char>(*digits))) return false;
  // strtoull would take a second "0x" after the first one ("0x0x1F").
  if (base == 16 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(digits, &end, base);
  // end must reach the end of the text: a NUL inside it is garbage too.
  if (errno == ERANGE || end != t.c_str() + t.size()) return false;
  if (v > static_cast<unsigned long long>(static_cast<unsigned long>(-1))) return false;
  if (value) *value = static_cast<unsigned long>(v);
  return true;
}

bool MakeDirectories(const std::string& path, std::string* error) {
  return MakeSecureDirectory(path, DirAccess::kShared, error);
}

std::string DefaultDirectoryFor(const std::string& instance, const std::string& what, uid_t euid) {
  // A root process uses directories under root-owned parents that no other
  // user can create first; another user keeps its files under /var/tmp, where
  // a directory planted by someone else is refused, never used.
  if (euid == 0) {
    return (what == "Log" ? "/var/log/halvex/" : "/var/lib/halvex/") + instance +
           (what == "Log" ? "" : "/" + what);
  }
  return "/var/tmp/halvex/" + instance + "/" + what;
}

std::string JobResultsDirectoryFor(const std::string& instance) {
  std::string v;
  if (LookupConfig(instance, "Platform", "JobResultsDirectory", &v) && !v.empty()) return v;
  return DefaultDirectoryFor(instance, "JobResults", geteuid());
}

std::string LogFilesDirectoryFor(const std::string& instance) {
  std::string v;
  if (LookupConfig(instance, "Platform", "LogFilesDirectory", &v) && !v.empty()) return v;
  return DefaultDirectoryFor(instance, "Log", geteuid());
}

}  // namespace hxp
