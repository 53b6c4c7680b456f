#include "platform/ev_debug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/config_store.h"
#include "platform/hx_env.h"
#include "platform/hx_mutex.h"
#include "platform/hx_platform_info.h"
#include "platform/secure_fs.h"

namespace {

constexpr int kDefaultDebugLevel = 3;

// The log directory and threshold of the current registry and focus. Kept for
// up to a second, then kept again if the "Platform" properties file is
// unchanged; dropped at once when HXREG or the focus changes. So a changed
// setting is seen within a second without a look at the file on every line.
struct LogSettings {
  std::string registry;
  std::string focus;
  std::string directory;
  int level = kDefaultDebugLevel;
  bool directoryReady = false;
  struct stat props {};
  bool propsExist = false;
  int64_t checkedMs = 0;  // when the properties file was last looked at
  bool valid = false;
};

constexpr int64_t kSettingsRecheckMs = 1000;

hx::Mutex g_settingsMu;
// Never destroyed: logging may run at exit.
LogSettings* const g_settings PT_GUARDED_BY(g_settingsMu) = new LogSettings;

bool SameStat(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

LogSettings& CurrentSettingsLocked() REQUIRES(g_settingsMu) {
  LogSettings& s = *g_settings;
  const char* registry = std::getenv("HXREG");
  if (!registry) registry = "";
  const char* focus = HXPI_Focus::getFocus();  // compared without copies: no allocation
  bool same = s.valid && s.registry == registry && s.focus == focus;
  int64_t now = HxEnv::Default()->MonotonicMs();
  if (same && now - s.checkedMs < kSettingsRecheckMs && now >= s.checkedMs) return s;
  struct stat st {};
  bool exists = stat(hxp::PropertiesPath(focus, "Platform").c_str(), &st) == 0;
  s.checkedMs = now;
  if (same && exists == s.propsExist && (!exists || SameStat(st, s.props))) return s;
  s.registry = registry;
  s.focus = focus;
  s.props = st;
  s.propsExist = exists;
  s.valid = true;
  s.directory = hxp::LogFilesDirectoryFor(focus);
  s.directoryReady = false;  // made again if it was removed meanwhile
  s.level = kDefaultDebugLevel;
  std::string text;
  if (hxp::LookupConfig(focus, "Platform", "DebugLevel", &text)) {
    // Decimal or 0x-hex as every number in the store, with an optional minus.
    size_t start = text.find_first_not_of(" \t");
    bool negative = start != std::string::npos && text[start] == '-';
    unsigned long v = 0;
    if (hxp::ParseNumber(negative ? text.substr(start + 1) : text, &v) && v <= 0x7fffffffUL) {
      s.level = negative ? -static_cast<int>(v) : static_cast<int>(v);
    }
  }
  return s;
}

// The log file path, or "" when the
// directory cannot be had.
std::string LogPathLocked(LogSettings& s) REQUIRES(g_settingsMu) {
  if (!s.directoryReady) s.directoryReady = hxp::MakeDirectories(s.directory, nullptr);
  if (!s.directoryReady) return "";
  return s.directory + "/hxdebug.log";
}

struct ErrnoKeeper {
  int saved = errno;
  ~ErrnoKeeper() { errno = saved; }
};

void WriteLine(int level, const std::string& tag, const char* prefix, const char* format,
               va_list args) {
  ErrnoKeeper keep;  // logging must not disturb the caller's errno
  std::string path;
  {
    hx::MutexLock lock(&g_settingsMu);
    LogSettings& s = CurrentSettingsLocked();
    if (level >= 0 && level > s.level) return;
    path = LogPathLocked(s);
  }
  if (path.empty()) return;
  char head[160];
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm);
  snprintf(head, sizeof(head), "%s %" PRId64 " %" PRId64 " %d %s ", stamp,
           static_cast<int64_t>(getpid()), static_cast<int64_t>(syscall(SYS_gettid)), level,
           tag.c_str());
  std::string line = head;
  if (prefix) {
    line += prefix;
    line += ": ";
  }
  char buffer[1024];
  va_list copy;
  va_copy(copy, args);
  int n = format ? vsnprintf(buffer, sizeof(buffer), format, copy) : 0;
  va_end(copy);
  if (n < 0) {
    line += "(bad log format)";
  } else if (static_cast<size_t>(n) < sizeof(buffer)) {
    line.append(buffer, static_cast<size_t>(n));
  } else {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    vsnprintf(big.data(), big.size(), format, args);
    line.append(big.data(), static_cast<size_t>(n));
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line += '\n';

  int fd = hxp::OpenFileNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0644, nullptr);
  if (fd >= 0) {
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
  }
}

std::string TagText(uint64_t tag) {
  char text[24];
  snprintf(text, sizeof(text), "0x%" PRIx64, tag);
  return text;
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* file) : file_(file) {}

bool EvDebug::initialize(EvDebugFileInstance& file, unsigned int id, uint64_t /*tag*/,
                         bool /*flag*/, const std::string& /*name*/) {
  file_ = &file;
  file.id = id;
  id_ = id;
  return true;
}

void EvDebug::debugLvl(int level, uint64_t tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(level, TagText(tag), nullptr, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(level, TagText(0), function ? function : "", format, args);
  va_end(args);
}

int EvDebug::GetDebugLevel() const {
  hx::MutexLock lock(&g_settingsMu);
  return CurrentSettingsLocked().level;
}

void EvDebug::ReloadSettings() {
  hx::MutexLock lock(&g_settingsMu);
  g_settings->valid = false;
}

std::string EvDebug::LogFilePath() {
  hx::MutexLock lock(&g_settingsMu);
  return LogPathLocked(CurrentSettingsLocked());
}
