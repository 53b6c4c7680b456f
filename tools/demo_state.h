// DemoInstance: the private platform instance of one demo run. It owns the
// state directory (temporary unless given), the instance's configuration in
// the registry, and knows where the tables' key files, the debug log and the
// perf logs live; Cleanup leaves nothing of the run behind but what the user
// asked to keep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/demo_plan.h"

namespace hxctl {

class DemoInstance {
 public:
  // Creates the state directory and the instance's configuration, and makes
  // the instance current for this process and its children (HXREG, HXFOCUS,
  // focus). False with *error when any of it fails (nothing is left then).
  bool Create(const DemoOptions& options, std::string* error);

  // Writes "Hxd" ComputerThroughputMBPH, which every registration re-reads.
  bool SetConfiguredMachineLimit(uint32_t mbph, std::string* error);

  const std::string& focus() const { return focus_; }
  const std::string& stateDir() const { return stateDir_; }
  const std::string& registry() const { return registry_; }
  std::string perfLogDir() const { return logDir_ + "/ResourceMonitor"; }
  std::string debugLog() const { return logDir_ + "/hxdebug.log"; }
  bool temporary() const { return temporary_; }

  // Segments of this instance's tables that still exist. With remove, those
  // no process is attached to are removed (a process that ended without
  // detaching leaves its count in the table, so the table never removes
  // itself); *removed counts them.
  int CountSegments(bool remove, int* removed) const;

  struct CsvFile {
    std::string name;
    uint64_t rows = 0;  // data lines, header excluded
  };
  std::vector<CsvFile> PerfLogs() const;

  // Copies the perf logs and the debug log to a new folder
  // /tmp/hxctl-demo-logs.XXXXXX and returns its path ("" with *error).
  std::string CopyLogsToKeptFolder(std::string* error) const;

  // Lock files of this instance's named mutexes.
  std::vector<std::string> LockFiles() const;

  // Removes the lock files; for a temporary state also the state directory
  // and the instance's registry entry. Safe to call more than once.
  void Cleanup();

 private:
  std::string focus_, stateDir_, registry_, logDir_, jobResultsDir_;
  bool temporary_ = false;
  bool created_ = false;
  bool hadRegistryRoot_ = true;  // <registry>/Halvex existed before the run
};

}  // namespace hxctl
