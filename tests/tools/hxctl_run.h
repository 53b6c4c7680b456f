// Runs the hxctl binary of this build (through the i386 emulator when it is an
// i386 binary) and captures its exit status, standard output and standard
// error.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/test_env.h"

namespace hxctltest {

struct Run {
  pid_t pid = -1;
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
  r.pid = pid;
  r.status = hxtest::WaitExit(pid);
  r.out = hxtest::ReadFile(outTmpl);
  r.err = hxtest::ReadFile(errTmpl);
  unlink(outTmpl);
  unlink(errTmpl);
  return r;
}

// Whether a System V segment is keyed by a throttle table's key file.
inline bool SegmentExistsForKeyFile(const std::string& path) {
  key_t key = ftok(path.c_str(), 0xFEFA);
  return key != -1 && shmget(key, 0, 0) != -1;
}

// Segments on the machine whose creator is pid. Tests of other suites may
// create and remove segments at the same time, so leaks are looked for by
// creator or by key, not by counting every segment of the machine.
inline int SegmentsCreatedBy(pid_t pid) {
  std::ifstream f("/proc/sysvipc/shm");
  std::string line;
  std::getline(f, line);  // header
  int n = 0;
  while (std::getline(f, line)) {
    std::istringstream fields(line);
    std::string key, id, perms, size;
    long long cpid = 0;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == pid) ++n;
  }
  return n;
}

// The names in dir, without "." and ".." (none when it cannot be read).
inline std::vector<std::string> DirNames(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

// dir + "/" + the first name in dir that starts with prefix, or "".
inline std::string FileWithPrefix(const std::string& dir, const std::string& prefix) {
  for (const std::string& n : DirNames(dir)) {
    if (n.compare(0, prefix.size(), prefix) == 0) return dir + "/" + n;
  }
  return "";
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace hxctltest
