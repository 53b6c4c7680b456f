// Metrics sink and job-type names.
#pragma once

#include <string>

#include "platform/hx_export.h"

class HXP_EXPORT HxMetricsCollector {
 public:
  // Appends "category|name|text\n" to "metrics.log" in the log-files directory
  // of the current focus. Never fails the caller.
  static void DumpStaticData(const char* category, const char* name, const char* text);
};

class HXP_EXPORT HxJobPerfManager {
 public:
  // Display name of a job type ("Backup", "Restore", ...; "JobType<n>" for an
  // unknown type).
  static std::string GetPerfCounterName(unsigned int jobType);
};
