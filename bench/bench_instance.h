// A private platform instance for one benchmark: registry, job-results and log
// directories in a fresh temporary directory, made current for this process
// (HXREG, HXFOCUS, focus) and removed, with everything in it, at the end.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/hx_platform_info.h"

namespace hxbench {

class BenchInstance {
 public:
  explicit BenchInstance(int debugLevel = 1) {
    char tmpl[] = "/tmp/hxbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    root_ = tmpl;
    focus_ = "Bench" + std::to_string(getpid());
    const std::string platform = root_ + "/registry/Halvex/" + focus_ + "/Platform";
    for (const std::string& d : {root_ + "/registry", root_ + "/registry/Halvex",
                                 root_ + "/registry/Halvex/" + focus_, platform,
                                 root_ + "/jr", root_ + "/log"}) {
      mkdir(d.c_str(), 0755);
    }
    std::ofstream(platform + "/.properties") << "JobResultsDirectory " << root_ << "/jr\n"
                                             << "LogFilesDirectory " << root_ << "/log\n"
                                             << "PhysicalMachine benchhost\n"
                                             << "DebugLevel " << debugLevel << "\n";
    setenv("HXREG", (root_ + "/registry").c_str(), 1);
    setenv("HXFOCUS", focus_.c_str(), 1);
    HXPI_Focus::setFocus(focus_.c_str());
  }
  ~BenchInstance() {
    if (!root_.empty()) nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  BenchInstance(const BenchInstance&) = delete;
  BenchInstance& operator=(const BenchInstance&) = delete;

  bool ok() const { return !root_.empty(); }
  const char* focus() const { return focus_.c_str(); }
  const std::string& root() const { return root_; }

 private:
  static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
  }
  std::string root_, focus_;
};

}  // namespace hxbench
