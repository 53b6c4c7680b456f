// Configuration store, instance focus and the platform's directories.
//
// The configuration store is a directory tree. Its root is $HXREG + "/Halvex/"
// when HXREG is set, else "/etc/VarnholtRegistry/Halvex/". A section's values
// live in <root>/<instance>/<section>/.properties, one "name value" per line
// (the value is the rest of the line after the first run of blanks).
// Nothing here needs root; nothing is written outside the configured directories.
// A directory is used only when no other user controls it (hxp::CheckDirectory
// in platform/secure_fs.h) and missing ones are created 0755, or 0770 with the
// "HxGroup" group. Unconfigured, a root process uses
// /var/lib/halvex/<instance>/JobResults and /var/log/halvex/<instance>, which
// no other user can create first; other users /var/tmp/halvex/<instance>/.
#pragma once

#include <string>

#include "platform/hx_export.h"

// The registry root with its trailing '/': $HXREG/Halvex/ or the default.
HXP_EXPORT std::string HxRegistryRoot();

// Process-wide platform instance name (the "focus"). Starts as $HXFOCUS when
// set, else "Instance001". Thread-safe.
class HXP_EXPORT HXPI_Focus {
 public:
  static const char* getFocus();
  static void setFocus(const char* name);
};

class HXP_EXPORT HXPI_PlatformBase {
 public:
  static void setFocus(const char* name);  // same as HXPI_Focus::setFocus
};

// Configuration lookup for one instance (the process focus unless setFocus).
class HXP_EXPORT HxPlatformInfo {
 public:
  HxPlatformInfo();
  void setFocus(const char* instance);
  const char* getFocus() const;
  // Non-zero and *value stored when the value exists and parses (decimal or
  // 0x-hex); zero otherwise, *value untouched.
  int getNumber(const char* section, const char* name, unsigned long* value);
  // Non-zero and *value stored when the value exists (may be empty).
  int getString(const char* section, const char* name, std::string* value);
  // The physical machine name: configuration "Platform"/"PhysicalMachine",
  // else the host name. The pointer stays valid while this object lives.
  const char* getPhysicalMachine();

 private:
  std::string focus_;
  std::string machine_;
};

// Job-results directory: "Platform"/"JobResultsDirectory", created when
// missing; null when it cannot be had or other users control it.
class HXP_EXPORT HXPI_CommClient {
 public:
  void setFocus(const char* instance);
  // An existing directory path, or null when it cannot be had. Valid while
  // this object lives.
  const char* getJobResultsDirectory(const char* machine);

 private:
  std::string focus_;
  std::string dir_;
};

// Log-files directory: "Platform"/"LogFilesDirectory", created when missing;
// null with the reason when it cannot be had or other users control it.
class HXP_EXPORT HXPI_EventManager {
 public:
  HXPI_EventManager(int a, int b);
  void setFocus(const char* instance);
  const char* getLogFilesDirectory();  // null on failure, see getLastErrorMsg
  const char* getLastErrorMsg() const;

 private:
  std::string focus_;
  std::string dir_;
  std::string error_;
};

// Platform type bit mask from "Platform"/"PlatformType" (default 0x6):
// 0x2 = inbound tables on this machine, 0x4 = outbound tables.
class HXP_EXPORT HXPI_Base {
 public:
  static unsigned int getPlatformType();
};

// Non-zero when "Platform"/"HxGroup" is set to a non-empty group name.
HXP_EXPORT int isHalvexGroupConfigured();
