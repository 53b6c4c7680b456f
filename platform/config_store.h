// Internal to the platform library: reading the registry tree and the
// platform's own settings. Not exported, except what tests check directly.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/hx_export.h"

namespace hxp {

// <root><instance>/<section>/.properties
std::string PropertiesPath(const std::string& instance, const std::string& section);

// Looks name up in instance/section. True and *value set (rest of the line
// after the first run of blanks, trailing CR/LF removed) when present.
bool LookupConfig(const std::string& instance, const std::string& section,
                  const std::string& name, std::string* value);

// Full-string parse of a decimal or 0x-hex unsigned number (surrounding
// blanks allowed). False on empty text, a sign, garbage or overflow.
bool ParseNumber(const std::string& text, unsigned long* value);

// Creates path and its missing parents (MakeSecureDirectory, shared access).
// True when it exists as a directory the library may use.
bool MakeDirectories(const std::string& path, std::string* error);

// Default directory `what` ("JobResults" or "Log") of an instance for a
// process of effective user euid: /var/lib/halvex/<instance>/JobResults and
// /var/log/halvex/<instance> for root, /var/tmp/halvex/<instance>/<what> else.
HXP_EXPORT std::string DefaultDirectoryFor(const std::string& instance, const std::string& what,
                                           uid_t euid);

// Directories of an instance, from "Platform", else DefaultDirectoryFor.
std::string JobResultsDirectoryFor(const std::string& instance);
std::string LogFilesDirectoryFor(const std::string& instance);

}  // namespace hxp
