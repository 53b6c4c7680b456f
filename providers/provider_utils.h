// Helpers shared by several perf providers.
#pragma once

#include <string>
#include <vector>

#include "platform/hx_env.h"
#include "platform/hx_export.h"

// Removes, in place, every leading and trailing tab, blank and newline.
// Returns s.
HX_EXPORT std::string& trim(std::string& s);

// Appends the non-empty, trimmed, comma-separated names of configuration value
// "EventManager"/"sMonitorProcessNames" of the current instance to names
// (existing entries and duplicates stay). False, names untouched, when the
// value is missing or empty.
HX_EXPORT bool GetMonitorProcessNames(std::vector<std::string>& names);

// Process ids of the platform's own processes: the second field of every line
// starting with "pid" in the current instance's runtime properties file
// (<registry root>/<instance>/Runtime/.properties), one per line, as awk
// prints them. "" when the file cannot be read. The command runs through env.
HX_EXPORT std::string getProcesslist(HxEnv* env = HxEnv::Default());
