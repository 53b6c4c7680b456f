#include "platform/hx_metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/config_store.h"
#include "platform/hx_env.h"
#include "platform/hx_mutex.h"
#include "platform/hx_platform_info.h"
#include "platform/secure_fs.h"

namespace {

constexpr unsigned long kDefaultSizeMB = 10;
constexpr unsigned long kDefaultCount = 10;
constexpr unsigned long kMaxSetting = 1024;

// The sink's file, kept open between lines. The directory and limits are
// looked up again at most once a second (and at once when HXREG or the focus
// changes); at that point a file that was removed, replaced or rotated by
// another process is let go and the current one opened, so lines written
// meanwhile land in the rotated file (or, removed, are lost for at most a
// second). Its size is counted between look-ups, so one write per line is
// the only system call.
struct Sink {
  hx::Mutex mu;
  bool valid GUARDED_BY(mu) = false;
  std::string registry GUARDED_BY(mu), focus GUARDED_BY(mu);
  int64_t resolvedMs GUARDED_BY(mu) = 0;  // monotonic clock
  std::string path GUARDED_BY(mu);  // "" while the directory cannot be used
  unsigned long sizeMB GUARDED_BY(mu) = kDefaultSizeMB;
  unsigned long count GUARDED_BY(mu) = kDefaultCount;
  int fd GUARDED_BY(mu) = -1;
  // Of the open file: fstat at open and refresh, plus what was written.
  uint64_t size GUARDED_BY(mu) = 0;
};

Sink* g_sink = new Sink;  // never destroyed: metrics may be written at exit

unsigned long Limit(const std::string& focus, const char* name, unsigned long fallback) {
  std::string text;
  unsigned long v = 0;
  if (!hxp::LookupConfig(focus, "Platform", name, &text) || !hxp::ParseNumber(text, &v)) {
    return fallback;
  }
  return v == 0 ? 1 : v > kMaxSetting ? kMaxSetting : v;
}

std::string Generation(const std::string& path, unsigned long g) {
  if (g == 0) return path;
  char suffix[32];
  snprintf(suffix, sizeof(suffix), "_%04lu.log", g);
  return path.substr(0, path.size() - 4) + suffix;  // path ends in ".log"
}

// Whether fd is still the file at path; *size set to its size.
bool SameFile(int fd, const std::string& path, uint64_t* size) {
  struct stat byFd, byPath;
  if (fstat(fd, &byFd) != 0) return false;
  *size = static_cast<uint64_t>(byFd.st_size);
  return lstat(path.c_str(), &byPath) == 0 && byFd.st_dev == byPath.st_dev &&
         byFd.st_ino == byPath.st_ino;
}

void CloseLocked(Sink& s) REQUIRES(s.mu) {
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
}

// No file open.
void OpenLocked(Sink& s) REQUIRES(s.mu) {
  s.fd = hxp::OpenFileNoFollow(s.path, O_WRONLY | O_APPEND | O_CREAT, 0644, nullptr);
  struct stat st;
  s.size = s.fd >= 0 && fstat(s.fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void RefreshLocked(Sink& s) REQUIRES(s.mu) {
  const char* reg = std::getenv("HXREG");
  const char* registry = reg ? reg : "";
  const char* focus = HXPI_Focus::getFocus();  // interned: valid for good
  const int64_t now = HxEnv::Default()->MonotonicMs();
  if (s.valid && s.registry == registry && s.focus == focus && now - s.resolvedMs < 1000 &&
      now >= s.resolvedMs) {
    return;
  }
  s.valid = true;
  s.registry = registry;
  s.focus = focus;
  s.resolvedMs = now;
  const std::string dir = hxp::LogFilesDirectoryFor(focus);
  const std::string path = hxp::MakeDirectories(dir, nullptr) ? dir + "/metrics.log" : "";
  if (path != s.path || (s.fd >= 0 && !SameFile(s.fd, path, &s.size))) CloseLocked(s);
  s.path = path;
  s.sizeMB = Limit(focus, "MetricsLogSizeMB", kDefaultSizeMB);
  s.count = Limit(focus, "MetricsLogCount", kDefaultCount);
}

// Moves the current file to generation 1, and the older ones up, into the
// first free generation; the oldest is dropped when all are taken.
// The file closed.
void RotateLocked(Sink& s) REQUIRES(s.mu) {
  unsigned long free = 0;
  for (unsigned long g = 1; g <= s.count && free == 0; ++g) {
    struct stat st;
    if (lstat(Generation(s.path, g).c_str(), &st) != 0) free = g;
  }
  if (free == 0) {
    if (unlink(Generation(s.path, s.count).c_str()) != 0 && errno != ENOENT) return;
    free = s.count;
  }
  for (unsigned long g = free; g >= 1; --g) {
    rename(Generation(s.path, g - 1).c_str(), Generation(s.path, g).c_str());
  }
}

void Append(const char* category, const char* name, const char* text) {
  std::string line;
  line.reserve(256);
  line.append(category ? category : "").append(1, '|');
  line.append(name ? name : "").append(1, '|');
  line.append(text ? text : "").append(1, '\n');
  Sink& s = *g_sink;
  hx::MutexLock lock(&s.mu);
  RefreshLocked(s);
  // Rotated before a line once it has grown past the limit; at most once per
  // line, so a file that cannot be moved away is appended to, never lost.
  for (int pass = 0; pass < 2 && !s.path.empty(); ++pass) {
    if (s.fd < 0) OpenLocked(s);
    if (s.fd < 0 || (s.size >> 20) <= s.sizeMB || pass == 1) break;
    CloseLocked(s);
    RotateLocked(s);
  }
  if (s.fd >= 0) {
    const ssize_t n = write(s.fd, line.data(), line.size());  // one write: lines never interleave
    if (n > 0) s.size += static_cast<uint64_t>(n);
  }
}

}  // namespace

void HxMetricsCollector::DumpStaticData(const char* category, const char* name, const char* text) {
  const int savedErrno = errno;
  try {
    Append(category, name, text);
  } catch (...) {
    // Out of memory: the line is dropped, the caller goes on.
  }
  errno = savedErrno;
}

std::string HxJobPerfManager::GetPerfCounterName(unsigned int jobType) {
  switch (jobType) {
    case 1: return "Backup";
    case 2: return "Restore";
    case 3: return "Replication";
    case 4: return "Archive";
    case 5: return "Migration";
    case 6: return "Copy";
    default: return "JobType" + std::to_string(jobType);
  }
}
