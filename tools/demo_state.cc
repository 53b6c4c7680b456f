#include "tools/demo_state.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/fs_util.h"

namespace hxctl {

bool DemoInstance::Create(const DemoOptions& o, std::string* error) {
  PrivateInstance::Options options;
  options.tempPrefix = "/tmp/hxctl-demo";
  options.stateDir = o.stateDir;
  options.registry = o.registry;
  options.namePrefix = "HxDemo";
  if (!PrivateInstance::Create(options, error)) return false;
  struct Setting {
    const char* section;
    const char* name;
    std::string value;
  };
  const Setting settings[] = {
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
    if (!SetConfig(s.section, s.name, s.value, error)) {
      Remove();
      return false;
    }
  }
  return true;
}

bool DemoInstance::SetConfiguredMachineLimit(uint32_t mbph, std::string* error) {
  return SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(mbph), error);
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

}  // namespace hxctl
