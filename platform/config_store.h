// Internal to the platform library: reading the registry tree and the
// platform's own settings. Not exported.
#pragma once

#include <string>

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

// Creates path and its missing parents. True when it exists as a directory.
bool MakeDirectories(const std::string& path, std::string* error);

// Directories of an instance, from "Platform" with defaults under
// /var/tmp/halvex/<instance>/ (no root needed).
std::string JobResultsDirectoryFor(const std::string& instance);
std::string LogFilesDirectoryFor(const std::string& instance);

}  // namespace hxp
