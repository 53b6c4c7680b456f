#include "providers/provider_utils.h"

#include <cstdlib>

#include "platform/hx_platform_info.h"
#include "platform/hx_process.h"

std::string& trim(std::string& s) {
  static const char kBlanks[] = "\t \n";
  const std::string::size_type first = s.find_first_not_of(kBlanks);
  if (first == std::string::npos) {
    s.clear();
    return s;
  }
  const std::string::size_type last = s.find_last_not_of(kBlanks);
  s.erase(last + 1);
  s.erase(0, first);
  return s;
}

bool GetMonitorProcessNames(std::vector<std::string>& names) {
  HxPlatformInfo info;
  info.setFocus(HXPI_Focus::getFocus());
  std::string value;
  if (info.getString("EventManager", "sMonitorProcessNames", &value) == 0 || value.empty()) {
    return false;
  }
  std::string::size_type start = 0;
  while (true) {
    const std::string::size_type comma = value.find(',', start);
    std::string piece =
        value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    trim(piece);
    if (!piece.empty()) names.push_back(piece);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

std::string getProcesslist(HxEnv* env) {
  HxPlatformInfo info;
  const char* focus = info.getFocus();
  std::string path = HxRegistryRoot() + (focus != nullptr ? focus : "");
  path += "/Runtime/.properties";
  // The path is data (it comes from the environment): quoted, so it can never
  // be read as shell syntax.
  const std::string command = "awk '/^pid/ {print $2}' " + HxShellQuote(path);
  std::string out, err;
  if (env->RunCommand(command, &out, &err) != 0) return std::string();
  return out;
}
