// A throttle table's figures for machines: the exposition text of
// `hxctl metrics` and the JSON of `hxctl table --json`. Both show the same
// view: per table the machine limit, jobs, streams, unresponsive streams and
// total bytes processed; per job its limit, per-stream rate, streams and
// bytes processed. Output is identical in 32- and 64-bit builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/table_session.h"

namespace hxctl {

struct TableFigures {
  unsigned int kind = 1;
  uint32_t streams = 0;          // streams of all jobs
  uint32_t unresponsive = 0;     // streams flagged unresponsive
  uint64_t processedTotal = 0;   // bytes moved through the table (never decreases)
  TableSnapshot snap;
};

// Figures of kind from a snapshot and the table's data-size total.
TableFigures ComputeFigures(unsigned int kind, const TableSnapshot& snap, uint64_t processedTotal);

// Bytes a job has moved: its unregistered streams' bytes plus its streams'.
uint64_t JobProcessedBytes(const JobSnapshot& job);

// The exposition text (Prometheus text format) of every table given.
std::string RenderTablesMetrics(const std::string& instance, const std::vector<TableFigures>& tables);

// One table as a JSON object (a single line followed by a newline).
std::string RenderTableJson(const std::string& instance, const TableFigures& table);

// text as a JSON string literal (quotes included; control characters as
// \u00XX, bytes that are not UTF-8 as U+FFFD).
std::string JsonString(const std::string& text);

}  // namespace hxctl
