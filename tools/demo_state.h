// DemoInstance: the private platform instance of one demo run. It owns the
// state directory (temporary unless given), the instance's configuration in
// the registry, and knows where the tables' key files, the debug log and the
// perf logs live; Remove leaves nothing of the run behind but what the user
// asked to keep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/demo_plan.h"
#include "tools/private_instance.h"

namespace hxctl {

class DemoInstance : public PrivateInstance {
 public:
  // Creates the state directory and the instance's configuration, and makes
  // the instance current for this process and its children (HXREG, HXFOCUS,
  // focus). False with *error when any of it fails (nothing is left then).
  bool Create(const DemoOptions& options, std::string* error);

  // Writes "Hxd" ComputerThroughputMBPH, which every registration re-reads.
  bool SetConfiguredMachineLimit(uint32_t mbph, std::string* error);

  std::string perfLogDir() const { return logDir() + "/ResourceMonitor"; }
  std::string debugLog() const { return logDir() + "/hxdebug.log"; }

  struct CsvFile {
    std::string name;
    uint64_t rows = 0;  // data lines, header excluded
  };
  std::vector<CsvFile> PerfLogs() const;

  // Copies the perf logs and the debug log to a new folder
  // /tmp/hxctl-demo-logs.XXXXXX and returns its path ("" with *error).
  std::string CopyLogsToKeptFolder(std::string* error) const;
};

}  // namespace hxctl
