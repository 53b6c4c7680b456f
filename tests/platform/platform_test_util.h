// Helpers and headers shared by the platform tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "gtest/gtest.h"
#include "platform/hx_sys.h"
#include "platform/ua_sleep.h"
#include "tests/common/test_env.h"

namespace plattest {

// Open descriptors of this process: a leak shows as growth across calls.
inline int CountFds() {
  DIR* d = opendir("/proc/self/fd");
  int n = 0;
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

// Runs f in a forked child (no exec); its result is the exit status.
inline int InChild(const std::function<int()>& f) {
  const pid_t pid = fork();
  if (pid == 0) _exit(f());
  return hxtest::WaitExit(pid);
}

// A private instance, paths inside its directory, and the real system calls
// back in place after each test.
class PlatformTest : public ::testing::Test {
 protected:
  ~PlatformTest() override { HxSysReset(); }
  std::string Path(const std::string& name) const { return instance_.root() + "/" + name; }
  hxtest::TestInstance instance_;
};

}  // namespace plattest
