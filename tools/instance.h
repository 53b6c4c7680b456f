// The platform instance an hxctl command works on: the registry root
// (--registry), the instance name (--focus) and the throttle tables of that
// instance. Observers must not create anything: TableExists looks for the
// table's key file and segment without creating either.
#pragma once

#include <string>

namespace hxctl {

// Table kinds as named on the command line: "out", "in", "cloud-out", "cloud-in".
struct TableKindInfo {
  const char* option;      // command-line name
  unsigned int kind;       // kind number of CHxThrottlingManager::Initialize
  const char* title;       // "outbound", ...
  const char* keySuffix;   // key file name suffix after the focus
};
// Null when name is not one of the four.
const TableKindInfo* FindTableKind(const std::string& name);
const TableKindInfo& TableKindOf(unsigned int kind);  // kind 1..4

// Sets HXREG for this process (and its children) when dir is not empty.
void ApplyRegistry(const std::string& dir);

// Makes name the process's platform focus when not empty; returns the focus
// in effect.
std::string ApplyFocus(const std::string& name);

// True when the configuration store has a directory for the instance;
// otherwise false with *error saying where it looked.
bool InstanceExists(const std::string& focus, std::string* error);

// The instance's job-results directory ("" with *error when it cannot be had).
std::string JobResultsDirectory(const std::string& focus, std::string* error);

// Whether the throttle table of kind exists: its key file is present in the
// job-results directory and a System V segment is keyed by it. Creates
// nothing. *error says what is missing when false.
bool TableExists(const std::string& focus, unsigned int kind, std::string* error);

// Key file of a table (whether or not it exists).
std::string KeyFilePath(const std::string& jobResultsDir, const std::string& focus,
                        unsigned int kind);

}  // namespace hxctl
