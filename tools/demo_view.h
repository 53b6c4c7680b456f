// The demo's live table: one row per job as the job processes report it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hxctl {

struct DemoRow {
  uint32_t jobId = 0;
  std::string table;        // "out" / "in"
  uint32_t limitMbph = 0;   // the job's own limit, 0 = none
  uint32_t streams = 0;     // registered now
  uint32_t allottedMbph = 0;
  bool allottedKnown = false;
  uint64_t bytes = 0;       // moved so far
  double actualMbph = 0;    // recent rate of the whole job
  bool actualKnown = false;
  std::string state;
};

// The title line, the table, then the footer lines.
std::vector<std::string> RenderDemoTable(const std::string& title, const std::vector<DemoRow>& rows,
                                         const std::vector<std::string>& footer);

}  // namespace hxctl
