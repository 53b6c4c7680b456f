// How the monitor's perf-log objects and columns are named as metrics. Every
// object has the family prefix "halvex_" + its name in snake case; each
// column is a label that identifies the row, a number family, or left out.
#pragma once

#include <string>

#include "platform/hx_export.h"

namespace hxmetrics {

struct ColumnMetric {
  enum Kind { kFamily, kLabel, kOmitted };
  Kind kind = kOmitted;
  std::string name;  // kFamily: full family name; kLabel: label name
};

// "halvex_" + the object name in snake case ("LogicalDisk" -> "halvex_logical_disk").
HX_EXPORT std::string ObjectPrefix(const std::string& object);

// The role of column in the rows of object. Known columns get names with
// their unit ("_percent", "_bytes", "_per_second", "_megabytes",
// "_kilobytes"); identity columns become labels (interface, disk, process,
// pid, job, adapter, port, wwn); text columns that identify nothing are
// omitted. A column not known here becomes a family named after it (its
// non-number values are then left out where they are written); a column named
// "Name" of an unknown object becomes the label "name".
HX_EXPORT ColumnMetric MapColumn(const std::string& object, const std::string& column);

}  // namespace hxmetrics
