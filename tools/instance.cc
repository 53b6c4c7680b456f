#include "tools/instance.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/hx_platform_info.h"
#include "tools/fs_util.h"

namespace hxctl {

void ApplyRegistry(const std::string& dir) {
  if (!dir.empty()) setenv("HXREG", dir.c_str(), 1);
}

std::string ApplyFocus(const std::string& name) {
  if (!name.empty()) {
    HXPI_Focus::setFocus(name.c_str());
    setenv("HXFOCUS", name.c_str(), 1);
  }
  return HXPI_Focus::getFocus();
}

bool InstanceExists(const std::string& focus, std::string* error) {
  std::string dir = HxRegistryRoot() + focus;
  if (focus.empty() || focus.find('/') != std::string::npos || focus == "." || focus == "..") {
    *error = "bad instance name '" + focus + "'";
    return false;
  }
  if (IsDir(dir)) return true;
  *error = "unknown instance '" + focus + "' (no " + dir +
           "; give --registry DIR or set HXREG, and --focus NAME)";
  return false;
}

std::string JobResultsDirectory(const std::string& focus, std::string* error) {
  HxPlatformInfo info;
  info.setFocus(focus.c_str());
  std::string dir;
  if (info.getString("Platform", "JobResultsDirectory", &dir) && !dir.empty()) {
    if (!IsDir(dir)) {
      *error = "job-results directory " + dir + " of instance '" + focus + "' does not exist";
      return "";
    }
    return dir;
  }
  // Not configured: the platform's default place.
  HXPI_CommClient client;
  client.setFocus(focus.c_str());
  const char* d = client.getJobResultsDirectory(info.getPhysicalMachine());
  if (!d || !*d) {
    *error = "cannot find the job-results directory of instance '" + focus + "'";
    return "";
  }
  return d;
}

bool TableExists(const std::string& focus, unsigned int kind, std::string* error) {
  std::string dir = JobResultsDirectory(focus, error);
  if (dir.empty()) return false;
  const char* title = TableKindOf(kind).title;
  std::string keyFile = hx::TableKeyFile(dir, focus, kind);
  struct stat st;
  if (stat(keyFile.c_str(), &st) != 0) {
    *error = std::string("table absent: instance '") + focus + "' has no " + title +
             " throttle table (no key file " + keyFile + ")";
    return false;
  }
  key_t key = hx::TableKeyOf(keyFile);
  if (key == -1) {
    *error = std::string("cannot derive the key of the ") + title + " table from " + keyFile +
             ": " + strerror(errno);
    return false;
  }
  if (shmget(key, 0, 0) == -1) {
    if (errno == ENOENT) {
      *error = std::string("table absent: instance '") + focus + "' has no " + title +
               " throttle table (no process has it attached)";
    } else {
      *error = std::string("cannot look at the ") + title + " throttle table: " + strerror(errno);
    }
    return false;
  }
  return true;
}

}  // namespace hxctl
