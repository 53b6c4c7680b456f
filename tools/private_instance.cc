#include "tools/private_instance.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/ev_debug.h"
#include "platform/hx_platform_info.h"
#include "platform/named_mutex.h"
#include "throttling/table_kinds.h"
#include "tools/fs_util.h"

namespace hxctl {
namespace {

constexpr char kUnset[] = "\1";
std::atomic<int> g_instances{0};  // instances this process created

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

bool PrivateInstance::Create(const Options& o, std::string* error) {
  Remove();
  if (o.stateDir.empty()) {
    std::string tmpl = o.tempPrefix + ".XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
      *error = "cannot create a temporary directory " + tmpl + ": " + strerror(errno);
      return false;
    }
    stateDir_ = tmpl;
    temporary_ = true;
  } else {
    stateDir_ = Absolute(o.stateDir);
    temporary_ = false;
    if (!MakeDirs(stateDir_, error)) return false;
  }
  created_ = true;
  owner_ = getpid();
  registry_ = o.registry.empty() ? stateDir_ + "/registry" : Absolute(o.registry);
  jobResultsDir_ = stateDir_ + "/JobResults";
  logDir_ = stateDir_ + "/Log";
  hadRegistryRoot_ = IsDir(registry_ + "/Halvex");
  // A name of its own, so that the instance never meets another one's tables.
  const std::string base = o.namePrefix + std::to_string(static_cast<long long>(getpid()));
  const int earlier = g_instances++;
  focus_ = earlier == 0 ? base : base + "_" + std::to_string(earlier + 1);
  for (int n = earlier + 2; IsDir(registry_ + "/Halvex/" + focus_); ++n) {
    focus_ = base + "_" + std::to_string(n);
  }
  if (!MakeDirs(logDir_, error) || !MakeDirs(jobResultsDir_, error) ||
      !MakeDirs(registry_ + "/Halvex/" + focus_, error)) {
    Remove();
    return false;
  }
  for (const char* name : {"HXREG", "HXFOCUS"}) {
    const char* value = getenv(name);
    savedEnv_[name] = value != nullptr ? value : kUnset;
  }
  setenv("HXREG", registry_.c_str(), 1);
  setenv("HXFOCUS", focus_.c_str(), 1);
  HXPI_Focus::setFocus(focus_.c_str());
  if (!SetConfig("Platform", "JobResultsDirectory", jobResultsDir_, error) ||
      !SetConfig("Platform", "LogFilesDirectory", logDir_, error)) {
    Remove();
    return false;
  }
  return true;
}

bool PrivateInstance::SetConfig(const std::string& section, const std::string& name,
                                const std::string& value, std::string* error) {
  const std::string dir = registry_ + "/Halvex/" + focus_ + "/" + section;
  const bool done = MakeDirs(dir, error) && SetProperty(dir + "/.properties", name, &value, error);
  EvDebug::ReloadSettings();
  return done;
}

bool PrivateInstance::RemoveConfig(const std::string& section, const std::string& name) {
  const std::string path = registry_ + "/Halvex/" + focus_ + "/" + section + "/.properties";
  const bool done = !IsFile(path) || SetProperty(path, name, nullptr, nullptr);
  EvDebug::ReloadSettings();
  return done;
}

int PrivateInstance::CountSegments(bool remove, int* removed) const {
  int count = 0;
  if (removed) *removed = 0;
  for (const hx::TableKindInfo& k : hx::kTableKinds) {
    const std::string keyFile = hx::TableKeyFile(jobResultsDir_, focus_, k.kind);
    const int id = IsFile(keyFile) ? hx::TableSegmentOf(keyFile) : -1;
    if (id == -1) continue;
    struct shmid_ds ds;
    if (remove && shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_nattch == 0 &&
        shmctl(id, IPC_RMID, nullptr) == 0) {
      if (removed) ++*removed;
      continue;
    }
    ++count;
  }
  return count;
}

std::vector<std::string> PrivateInstance::LockFiles() const {
  std::vector<std::string> found;
  if (jobResultsDir_.empty()) return found;
  const std::string dir = jobResultsDir_ + "/.locks";
  for (const std::string& name : ListDir(dir)) found.push_back(dir + "/" + name);
  return found;
}

void PrivateInstance::Remove() {
  // A forked child leaving (exit runs destructors) must not take away the
  // instance its parent still uses.
  if (!created_ || owner_ != getpid()) return;
  created_ = false;
  // Segments first: a process killed inside leaves its table behind, and
  // only the key file still names it.
  for (const std::string& name : ListDir(jobResultsDir_)) {
    if (name.find(hx::kTableNameMark) == std::string::npos) continue;
    const int id = hx::TableSegmentOf(jobResultsDir_ + "/" + name);
    if (id != -1) shmctl(id, IPC_RMID, nullptr);
  }
  for (const std::string& lockFile : LockFiles()) CNamedMutex::RemoveLockFile(lockFile);
  if (temporary_) {
    RemoveTree(registry_ + "/Halvex/" + focus_);
    // A registry root this instance made goes too, when nothing else lives in it.
    if (!hadRegistryRoot_) rmdir((registry_ + "/Halvex").c_str());
    RemoveTree(stateDir_);
  }
  for (const auto& saved : savedEnv_) {
    saved.second == kUnset ? unsetenv(saved.first.c_str())
                           : setenv(saved.first.c_str(), saved.second.c_str(), 1);
  }
  if (savedEnv_.count("HXFOCUS") != 0 && savedEnv_["HXFOCUS"] != kUnset) {
    HXPI_Focus::setFocus(savedEnv_["HXFOCUS"].c_str());
  }
  savedEnv_.clear();
}

}  // namespace hxctl
