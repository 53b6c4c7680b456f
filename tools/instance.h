// The platform instance an hxctl command works on: the registry root
// (--registry), the instance name (--focus) and the throttle tables of that
// instance. Observers must not create anything: TableExists looks for the
// table's key file and segment without creating either.
#pragma once

#include <string>

#include "throttling/table_kinds.h"

namespace hxctl {

using hx::FindTableKind;
using hx::TableKindInfo;
// The names of kind (1..4; the outbound table's for any other value).
inline const TableKindInfo& TableKindOf(unsigned int kind) {
  const TableKindInfo* info = hx::FindTableKind(kind);
  return info != nullptr ? *info : hx::kTableKinds[0];
}

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

}  // namespace hxctl
