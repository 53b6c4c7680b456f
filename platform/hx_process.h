// Shell commands.
#pragma once

#include <string>

#include "platform/hx_export.h"

class HXP_EXPORT HxProcess {
 public:
  // Default time limit of system(), in milliseconds.
  static constexpr unsigned kDefaultTimeoutMs = 30000;

  // Runs command with /bin/sh -c, capturing standard output into *output and
  // standard error into *error (either may be null). 0 = the command ran and
  // exited 0; non-zero on spawn failure, non-zero exit, death by signal, or
  // the time limit (the command's process group is then killed). The child
  // inherits no descriptor of this process beyond 0, 1 and 2.
  static int system(const char* command, std::string* output, std::string* error, int flags,
                    bool wait);
  static int systemWithTimeout(const char* command, std::string* output, std::string* error,
                               unsigned timeoutMs);
};

// POSIX single-quote quoting: the result is one shell word that expands to
// exactly s, whatever s holds (';', '$(...)', quotes, newlines).
HXP_EXPORT std::string HxShellQuote(const std::string& s);
