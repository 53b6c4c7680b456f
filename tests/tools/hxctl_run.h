// Runs the hxctl binary of this build (through the i386 emulator when it is an
// i386 binary) and captures its exit status, standard output and standard
// error.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/common/test_env.h"

namespace hxctltest {

struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

// The child inherits this process's standard error, so it is pointed at a
// file just for the moment of the start.
inline Run RunHxctl(const std::vector<std::string>& args, const std::string& stdoutPath = "") {
  Run r;
  char outTmpl[] = "/tmp/hxctl_out.XXXXXX";
  char errTmpl[] = "/tmp/hxctl_err.XXXXXX";
  int outFd = mkstemp(outTmpl);
  int errFd = mkstemp(errTmpl);
  if (outFd >= 0) close(outFd);
  fflush(stderr);
  int saved = dup(2);
  dup2(errFd, 2);
  pid_t pid = hxtest::Spawn(hxtest::ChildPath("hxctl"), args,
                            stdoutPath.empty() ? std::string(outTmpl) : stdoutPath);
  dup2(saved, 2);
  close(saved);
  close(errFd);
  r.status = hxtest::WaitExit(pid);
  r.out = hxtest::ReadFile(outTmpl);
  r.err = hxtest::ReadFile(errTmpl);
  unlink(outTmpl);
  unlink(errTmpl);
  return r;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace hxctltest
