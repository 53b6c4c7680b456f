// Debug log. Every call writes one line
//   "YYYY-MM-DD HH:MM:SS pid tid level tag text\n"
// to "hxdebug.log" in the log-files directory of the current focus (see
// HXPI_EventManager), when level <= the threshold "Platform"/"DebugLevel"
// (default 3; negative levels are always written). Lines are written with one
// O_APPEND write, so lines of several processes never interleave. Logging never
// fails the caller: when the file cannot be written the line is dropped.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hx_export.h"

// Names the log file a debugger writes through (the id given to initialize).
class HXP_EXPORT EvDebugFileInstance {
 public:
  unsigned int id = 0;
};

class HXP_EXPORT EvDebug {
 public:
  explicit EvDebug(EvDebugFileInstance* file = nullptr);

  // Binds this log to a file instance and id; false when it cannot be used.
  bool initialize(EvDebugFileInstance& file, unsigned int id, uint64_t tag, bool flag,
                  const std::string& name);

  void debugLvl(int level, uint64_t tag, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // Same, with the function name written before the text ("function: text").
  void DebugLvl(const char* function, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // The configured threshold. The configuration is looked at again at most
  // once a second (at once when HXREG or the focus changes), so a changed
  // level takes effect within about a second.
  int GetDebugLevel() const;

  // Makes the next call read the configuration again (for a writer of the
  // configuration in this process).
  static void ReloadSettings();

  // Path of the file the lines go to for the current focus ("" if none).
  static std::string LogFilePath();

 private:
  EvDebugFileInstance* file_;
  unsigned int id_ = 0;
};
