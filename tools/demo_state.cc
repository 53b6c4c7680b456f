#include "tools/demo_state.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/hx_platform_info.h"
#include "platform/named_mutex.h"
#include "tools/fs_util.h"
#include "tools/instance.h"

namespace hxctl {
namespace {

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

bool DemoInstance::Create(const DemoOptions& o, std::string* error) {
  if (o.stateDir.empty()) {
    char tmpl[] = "/tmp/hxctl-demo.XXXXXX";
    if (!mkdtemp(tmpl)) {
      *error = std::string("cannot create a temporary directory in /tmp: ") + strerror(errno);
      return false;
    }
    stateDir_ = tmpl;
    temporary_ = true;
  } else {
    stateDir_ = Absolute(o.stateDir);
    if (!MakeDirs(stateDir_, error)) return false;
  }
  created_ = true;
  registry_ = o.registry.empty() ? stateDir_ + "/registry" : Absolute(o.registry);
  logDir_ = stateDir_ + "/Log";
  jobResultsDir_ = stateDir_ + "/JobResults";
  hadRegistryRoot_ = IsDir(registry_ + "/Halvex");
  if (!MakeDirs(logDir_, error) || !MakeDirs(jobResultsDir_, error) ||
      !MakeDirs(registry_ + "/Halvex", error)) {
    Cleanup();
    return false;
  }
  // A name of its own, so that the demo never meets another instance's tables.
  std::string base = "HxDemo" + std::to_string(static_cast<long long>(getpid()));
  focus_ = base;
  for (int n = 2; IsDir(registry_ + "/Halvex/" + focus_); ++n) focus_ = base + "_" + std::to_string(n);

  setenv("HXREG", registry_.c_str(), 1);
  setenv("HXFOCUS", focus_.c_str(), 1);
  HXPI_Focus::setFocus(focus_.c_str());

  const std::string inst = registry_ + "/Halvex/" + focus_;
  struct Setting {
    const char* section;
    const char* name;
    std::string value;
  };
  const Setting settings[] = {
      {"Platform", "JobResultsDirectory", jobResultsDir_},
      {"Platform", "LogFilesDirectory", logDir_},
      {"Platform", "PlatformType", "6"},  // inbound and outbound tables here
      {"Platform", "DebugLevel", "3"},
      {"Hxd", "ComputerThroughputMBPH", std::to_string(o.machineMbph)},
      {"Hxd", "CollectStreamStats", "1"},
      {"Hxd", "SysRsrcMonMinutes", "1"},
      {"Hxd", "SysRsrcMonTarnellJobsMinutes", "1"},
      {"Hxd", "PerfUpdateIntervalSeconds", "60"},
      {"EventManager", "sMonitorProcessNames", "hxctl"},
  };
  for (const Setting& s : settings) {
    std::string dir = inst + "/" + s.section;
    if (!MakeDirs(dir, error) || !SetProperty(dir + "/.properties", s.name, s.value, error)) {
      Cleanup();
      return false;
    }
  }
  return true;
}

bool DemoInstance::SetConfiguredMachineLimit(uint32_t mbph, std::string* error) {
  return SetProperty(registry_ + "/Halvex/" + focus_ + "/Hxd/.properties", "ComputerThroughputMBPH",
                     std::to_string(mbph), error);
}

int DemoInstance::CountSegments(bool remove, int* removed) const {
  int count = 0;
  if (removed) *removed = 0;
  for (unsigned int kind = 1; kind <= 4; ++kind) {
    std::string keyFile = hx::TableKeyFile(jobResultsDir_, focus_, kind);
    if (!IsFile(keyFile)) continue;
    key_t key = hx::TableKeyOf(keyFile);
    if (key == -1) continue;
    int id = shmget(key, 0, 0);
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

std::vector<DemoInstance::CsvFile> DemoInstance::PerfLogs() const {
  std::vector<CsvFile> files;
  for (const std::string& name : ListDir(perfLogDir())) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0) continue;
    CsvFile f;
    f.name = name;
    std::string content;
    if (ReadWholeFile(perfLogDir() + "/" + name, &content)) {
      uint64_t lines = 0;
      for (char c : content) lines += c == '\n';
      f.rows = lines > 0 ? lines - 1 : 0;
    }
    files.push_back(f);
  }
  return files;
}

std::string DemoInstance::CopyLogsToKeptFolder(std::string* error) const {
  char tmpl[] = "/tmp/hxctl-demo-logs.XXXXXX";
  if (!mkdtemp(tmpl)) {
    *error = std::string("cannot create a folder in /tmp: ") + strerror(errno);
    return "";
  }
  std::string kept = tmpl;
  for (const CsvFile& f : PerfLogs()) {
    if (!CopyFile(perfLogDir() + "/" + f.name, kept + "/" + f.name, error)) return "";
  }
  if (IsFile(debugLog()) && !CopyFile(debugLog(), kept + "/hxdebug.log", error)) return "";
  return kept;
}

std::vector<std::string> DemoInstance::LockFiles() const {
  std::vector<std::string> found;
  if (focus_.empty()) return found;
  std::string dir = CNamedMutex::LockDirectory();
  for (const std::string& name : ListDir(dir)) {
    // Lock files are named after the mutex, which starts with the focus.
    const std::string prefix = focus_ + "_HX_";
    if (name.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(dir + "/" + name);
    }
  }
  return found;
}

void DemoInstance::Cleanup() {
  if (!created_) return;
  for (const std::string& f : LockFiles()) CNamedMutex::RemoveLockFile(f);
  if (temporary_) {
    if (!focus_.empty()) RemoveTree(registry_ + "/Halvex/" + focus_);
    // Directories this run added to a registry outside the state directory
    // go too, when nothing else has come to live in them.
    if (!hadRegistryRoot_) rmdir((registry_ + "/Halvex").c_str());
    RemoveTree(stateDir_);
    created_ = false;
  }
}

}  // namespace hxctl
