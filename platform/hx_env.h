// HxEnv: the seam between the system and the outside world that tests control.
// Every object that reads the clock or runs a shell command does so through an
// HxEnv* given at construction (default: HxEnv::Default(), the real machine).
// Tests derive from HxEnv to move time or replay recorded command output.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hx_export.h"

class HXP_EXPORT HxEnv {
 public:
  virtual ~HxEnv();

  // The process-wide real environment. Never null; never destroyed.
  static HxEnv* Default();

  // Seconds since the epoch, as time() gives them, truncated to 32 bits.
  virtual uint32_t NowSeconds();

  // Milliseconds of the monotonic clock (coarse: a few ms of resolution);
  // only differences count. What paces rechecks and measures elapsed time.
  virtual int64_t MonotonicMs();

  // Runs one shell command line (/bin/sh -c) and captures its output, exactly
  // as HxProcess::system does: 0 = success with standard output in *out.
  // The real implementation applies HxProcess's time limit.
  virtual int RunCommand(const std::string& command, std::string* out, std::string* err);
};
