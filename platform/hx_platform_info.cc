#include "platform/hx_platform_info.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "platform/config_store.h"
#include "platform/hx_mutex.h"

std::string HxRegistryRoot() {
  const char* reg = std::getenv("HXREG");
  if (reg && *reg) {
    std::string root = reg;
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root + "/Halvex/";
  }
  return "/etc/VarnholtRegistry/Halvex/";
}

namespace {

// Focus names are interned and never freed, so a pointer handed out by
// getFocus stays valid whatever other threads set later.
struct FocusState {
  hx::Mutex mu;
  std::set<std::string> names GUARDED_BY(mu);
  const char* current GUARDED_BY(mu) = nullptr;
};

FocusState& Focus() {
  static FocusState* state = new FocusState;  // never destroyed: used until exit
  return *state;
}

const char* InternLocked(FocusState& s, const std::string& name) REQUIRES(s.mu) {
  return s.names.insert(name).first->c_str();
}

}  // namespace

const char* HXPI_Focus::getFocus() {
  FocusState& s = Focus();
  hx::MutexLock lock(&s.mu);
  if (!s.current) {
    const char* env = std::getenv("HXFOCUS");
    s.current = InternLocked(s, (env && *env) ? env : "Instance001");
  }
  return s.current;
}

void HXPI_Focus::setFocus(const char* name) {
  if (!name || !*name) return;
  FocusState& s = Focus();
  hx::MutexLock lock(&s.mu);
  s.current = InternLocked(s, name);
}

void HXPI_PlatformBase::setFocus(const char* name) { HXPI_Focus::setFocus(name); }

HxPlatformInfo::HxPlatformInfo() = default;

void HxPlatformInfo::setFocus(const char* instance) { focus_ = instance ? instance : ""; }

const char* HxPlatformInfo::getFocus() const {
  return focus_.empty() ? HXPI_Focus::getFocus() : focus_.c_str();
}

int HxPlatformInfo::getNumber(const char* section, const char* name, unsigned long* value) {
  if (!section || !name) return 0;
  std::string text;
  if (!hxp::LookupConfig(getFocus(), section, name, &text)) return 0;
  unsigned long v = 0;
  if (!hxp::ParseNumber(text, &v)) return 0;
  if (value) *value = v;
  return 1;
}

int HxPlatformInfo::getString(const char* section, const char* name, std::string* value) {
  if (!section || !name) return 0;
  std::string text;
  if (!hxp::LookupConfig(getFocus(), section, name, &text)) return 0;
  if (value) *value = text;
  return 1;
}

const char* HxPlatformInfo::getPhysicalMachine() {
  std::string v;
  if (!hxp::LookupConfig(getFocus(), "Platform", "PhysicalMachine", &v) || v.empty()) {
    char host[256] = {0};
    v = (gethostname(host, sizeof(host) - 1) == 0 && host[0]) ? host : "localhost";
  }
  // Unchanged names keep the earlier pointer valid.
  if (v != machine_) machine_ = v;
  return machine_.c_str();
}

void HXPI_CommClient::setFocus(const char* instance) { focus_ = instance ? instance : ""; }

const char* HXPI_CommClient::getJobResultsDirectory(const char* /*machine*/) {
  std::string focus = focus_.empty() ? HXPI_Focus::getFocus() : focus_;
  std::string dir = hxp::JobResultsDirectoryFor(focus);
  if (!hxp::MakeDirectories(dir, nullptr)) return nullptr;
  if (dir != dir_) dir_ = dir;
  return dir_.c_str();
}

HXPI_EventManager::HXPI_EventManager(int, int) {}

void HXPI_EventManager::setFocus(const char* instance) { focus_ = instance ? instance : ""; }

const char* HXPI_EventManager::getLogFilesDirectory() {
  std::string focus = focus_.empty() ? HXPI_Focus::getFocus() : focus_;
  std::string dir = hxp::LogFilesDirectoryFor(focus);
  std::string error;
  if (!hxp::MakeDirectories(dir, &error)) {
    error_ = error;
    return nullptr;
  }
  error_.clear();
  if (dir != dir_) dir_ = dir;
  return dir_.c_str();
}

const char* HXPI_EventManager::getLastErrorMsg() const { return error_.c_str(); }

unsigned int HXPI_Base::getPlatformType() {
  HxPlatformInfo info;
  unsigned long v = 0;
  if (info.getNumber("Platform", "PlatformType", &v)) return static_cast<unsigned int>(v);
  return 0x6;
}

int isHalvexGroupConfigured() {
  HxPlatformInfo info;
  std::string group;
  if (!info.getString("Platform", "HxGroup", &group)) return 0;
  return group.find_first_not_of(" \t") != std::string::npos ? 1 : 0;
}
