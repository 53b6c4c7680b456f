// TableSession: an hxctl command's attachment to one existing throttle table.
// Open checks the instance and that the table exists before attaching, so
// that an observer never creates a table; the destructor detaches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "throttling/throttling_manager.h"

namespace hxctl {

// A copy of one job and its streams, taken under the table lock.
struct JobSnapshot {
  _TMJobInfo job;
  std::vector<_TMStreamInfo> streams;
};

struct TableSnapshot {
  uint32_t takenAt = 0;        // time() of the copy
  _TMMachineLimitInfo limit;   // the machine limit, its source and next change
  std::vector<JobSnapshot> jobs;
};

class TableSession {
 public:
  TableSession() = default;
  ~TableSession();
  TableSession(const TableSession&) = delete;
  TableSession& operator=(const TableSession&) = delete;

  // Resolves registry and focus (empty = the defaults), checks the instance
  // and the table, and attaches. On failure prints the reason as
  // "hxctl <command>: ..." and returns false with *status set.
  bool Open(const char* command, const std::string& focus, const std::string& kindName,
            int* status);

  CHxThrottlingManager& manager() { return manager_; }
  const std::string& focus() const { return focus_; }
  unsigned int kind() const { return kind_; }
  // The log tag this session's manager writes with (unique to the process).
  unsigned int logTag() const { return logTag_; }

  // Copies the table (jobs with streams). False when the lock cannot be had.
  bool Snapshot(TableSnapshot* out);

 private:
  CHxThrottlingManager manager_;
  bool attached_ = false;
  std::string focus_;
  unsigned int kind_ = 1;
  unsigned int logTag_ = 0;
};

// Lines showing a snapshot: a title line, then a job row per job, each
// followed by one indented row per stream.
std::vector<std::string> RenderTable(const std::string& focus, unsigned int kind,
                                     const TableSnapshot& snap);

// "U" for an unresponsive stream, "L" for a not-throttled one, with the hex
// value of all the flags: "0x3 U".
std::string DescribeStreamFlags(uint32_t flags);

// "schedule", "configuration", "set by hand" or "fleet share".
const char* LimitSourceName(uint32_t source);
// Local time as "YYYY-MM-DD HH:MM".
std::string LocalMinute(uint32_t when);

}  // namespace hxctl
