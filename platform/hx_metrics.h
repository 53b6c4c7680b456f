// Metrics sink and job-type names.
#pragma once

#include <string>

#include "platform/hx_export.h"

class HXP_EXPORT HxMetricsCollector {
 public:
  // Appends "category|name|text\n" to "metrics.log" in the log-files directory
  // of the current focus, in one write. Never fails the caller. The file is
  // kept open; once it has grown past "Platform"/"MetricsLogSizeMB" whole MiB
  // (default 10) it becomes "metrics_0001.log" and the older generations move
  // up, keeping "Platform"/"MetricsLogCount" of them (default 10; both 1 to
  // 1024). A changed directory or limit is seen within a second. Thread-safe.
  static void DumpStaticData(const char* category, const char* name, const char* text);
};

class HXP_EXPORT HxJobPerfManager {
 public:
  // Display name of a job type ("Backup", "Restore", ...; "JobType<n>" for an
  // unknown type).
  static std::string GetPerfCounterName(unsigned int jobType);
};
