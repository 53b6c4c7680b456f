// Perf-log file names, creation, rotation and clean-up.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"
#include "platform/ua_crc64.h"

namespace {

const char kGetLogFileName[] = "void CHxPerfManager::GetLogFileName(int, const char*, std::string&)";
const char kCheckAndClean[] = "void CHxPerfManager::CheckAndCleanLogFiles()";
const char kOpenLogfile[] = "CHxPerfManager::OpenLogfile";
const char kMoveUp[] = "CHxPerfManager::MoveUpAllLogFiles";

const int64_t kMaxAgeSeconds = 259200;  // three days
// Perf logs are data, not programs, and only their writer may change them
// (rows of another user would reach the policy engine): never 0777.
const int kLogFileMode = 0644;
// Logs kept open at once; more keys than this close them all and start over.
const size_t kMaxOpenLogs = 32;

std::string FileName(const std::string& dir, const char* key, const std::string& machine,
                     int index) {
  std::string path = dir + "/" + "PerfLog_" + key + "_" + machine;
  if (index > 0) {
    char suffix[32];
    snprintf(suffix, sizeof(suffix), "_%04d", index);
    path += suffix;
  }
  return path + ".csv";
}

}  // namespace

// The current file of each key, kept open between batches.
struct PerfLogOpenFiles {
  struct Entry {
    std::unique_ptr<CUaFile> file;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t namedMs = 0;  // when path was last computed (monotonic clock)
  };
  std::map<std::string, Entry> byKey;
};

CUaFile* CHxPerfManager::CurrentLogFile(const std::string& key, std::vector<std::string>& columns) {
  if (!openLogs_) openLogs_ = std::make_shared<PerfLogOpenFiles>();
  std::map<std::string, PerfLogOpenFiles::Entry>& open = openLogs_->byKey;
  const int64_t now = env_->MonotonicMs();
  auto it = open.find(key);
  if (it != open.end()) {
    // Kept while it is what a fresh open would give. Every batch: still the
    // file at its name (not removed, moved away by a rotation or replaced by
    // someone else) and within the size limit, so rotation happens at the
    // same batch as before; one lstat tells both. At most once a second,
    // since the name costs a configuration read: still the current name (the
    // machine name may change, a legacy file may have been adopted over it).
    PerfLogOpenFiles::Entry& e = it->second;
    struct stat byPath;
    bool keep = lstat(e.path.c_str(), &byPath) == 0 && byPath.st_dev == e.dev &&
                byPath.st_ino == e.ino &&
                (static_cast<uint64_t>(byPath.st_size) >> 20) <= m_maxLogSizeMB;
    if (keep && (now - e.namedMs >= 1000 || now < e.namedMs)) {
      std::string path;
      GetLogFileName(0, key.c_str(), path);
      keep = path == e.path && lstat(path.c_str(), &byPath) == 0 && byPath.st_dev == e.dev &&
             byPath.st_ino == e.ino;
      e.namedMs = now;
    }
    if (keep) return e.file.get();
    open.erase(it);
  }
  if (open.size() >= kMaxOpenLogs) open.clear();
  PerfLogOpenFiles::Entry e;
  e.file.reset(new CUaFile);
  if (!OpenLogfile(*e.file, key.c_str(), columns)) return nullptr;
  struct stat st;
  if (e.file->FileStat(st).Success()) {  // else dev/ino 0: opened again next batch
    e.dev = st.st_dev;
    e.ino = st.st_ino;
  }
  GetLogFileName(0, key.c_str(), e.path);
  e.namedMs = now;
  CUaFile* file = e.file.get();
  open[key] = std::move(e);
  return file;
}

std::string CHxPerfManager::MachineIdentifier(std::string* machineName) {
  HxPlatformInfo info;
  const char* machine = info.getPhysicalMachine();
  const std::string name = machine != nullptr ? machine : "";
  CUaCRC64 crc;
  crc.UpdateCRC64(name.data(), name.size());
  char text[32];
  snprintf(text, sizeof(text), "%" PRIu64, crc.GetCRC64());
  if (machineName != nullptr) *machineName = name;
  return text;
}

void CHxPerfManager::GetLogFileName(int index, const char* key, std::string& path) {
  std::string machine;
  const std::string id = MachineIdentifier(&machine);
  path = FileName(m_logDirectory, key, id, index);
  const std::string legacy = FileName(m_logDirectory, key, machine, index);
  // A machine name holding '/' names no file of this directory: its "legacy
  // name" would lead elsewhere and adopt a file that is not a perf log.
  if (legacy != path && machine.find('/') == std::string::npos &&
      CUaPath::Exists(legacy.c_str())) {
    CUaError err = CUaUTFOSAPI::rename(legacy.c_str(), path.c_str());
    if (err.IsError()) {
      m_pLog->DebugLvl(kGetLogFileName, -1, "Cannot rename file[%s] to [%s] [error = %s]",
                       legacy.c_str(), path.c_str(), err.AsString().c_str());
    }
  }
}

bool CHxPerfManager::OpenLogfile(CUaFile& file, const char* key,
                                 std::vector<std::string>& columns) {
  std::string path;
  GetLogFileName(0, key, path);
  std::string appendError;
  CUaError err = file.Open(path.c_str(), O_WRONLY | O_APPEND, kLogFileMode);
  if (err.IsError()) {
    appendError = err.AsString();
  } else {
    uint64_t size = 0;
    if (file.Size(size).IsError() || (size >> 20) <= m_maxLogSizeMB) return true;
    // Rotate: the current file becomes generation 1.
    file.Close();
    const int maxCount = static_cast<int>(m_maxLogCount);
    int free = 0;
    std::string name;
    for (int g = 1; g <= maxCount; ++g) {
      GetLogFileName(g, key, name);
      if (!CUaPath::Exists(name.c_str())) {
        free = g;
        break;
      }
    }
    if (free == 0) {
      GetLogFileName(maxCount, key, name);
      CUaError rm = CUaUTFOSAPI::remove(name.c_str());
      if (rm.IsError()) {
        m_pLog->debugLvl(-1, -1, "%s: [ERROR] System Resource Monitor Removing file failed [%s] ",
                         kOpenLogfile, name.c_str());
        m_pLog->debugLvl(-1, -1, "%s: [ERROR][%s] ", kOpenLogfile, rm.AsString().c_str());
        return false;
      }
      free = maxCount;
    }
    MoveUpAllLogFiles(free, key);
  }

  // Create. O_APPEND and no truncation: when the file exists after all (the
  // append open failed for another reason, or it reappeared, or the rotation
  // could not move it away) its rows are kept, and the header is written only
  // into an empty file.
  CheckAndCleanLogFiles();
  err = file.Open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, kLogFileMode);
  if (err.IsError()) {
    m_pLog->debugLvl(-1, -1, "%s: [ERROR] System Resource Monitor opening file failed [%s]",
                     kOpenLogfile, path.c_str());
    m_pLog->debugLvl(-1, -1, "%s: [ERROR][%s] ", kOpenLogfile, appendError.c_str());
    m_pLog->debugLvl(-1, -1, "%s: [ERROR][%s] ", kOpenLogfile, err.AsString().c_str());
    return false;
  }
  uint64_t size = 0;
  if (file.Size(size).IsError() || size != 0) return true;
  std::string header = "Date,Time,";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) header += ",";
    header += columns[i];
  }
  header += "\r\n";
  size_t written = 0;
  file.Write(header.data(), header.size(), &written);
  return true;
}

bool CHxPerfManager::MoveUpAllLogFiles(int upTo, const char* key) {
  std::string from, to;
  for (int i = upTo; i >= 1; --i) {
    GetLogFileName(i - 1, key, from);
    GetLogFileName(i, key, to);
    CUaError err = CUaUTFOSAPI::rename(from.c_str(), to.c_str());
    if (err.IsError()) {
      m_pLog->debugLvl(-1, -1, "%s: [ERROR] System Resource Monitor - renaming file failed [%s] [%s] ",
                       kMoveUp, from.c_str(), to.c_str());
      m_pLog->debugLvl(-1, -1, "%s: [ERROR][%s] ", kMoveUp, err.AsString().c_str());
    }
  }
  return true;
}

void CHxPerfManager::CheckAndCleanLogFiles() {
  CUaDirectory listing;
  CUaError err = listing.Open(m_logDirectory.c_str(), "*", true);
  if (err.IsError()) {
    m_pLog->DebugLvl(kCheckAndClean, -1, "Cannot Open directory - %s, error=%s",
                     m_logDirectory.c_str(), err.AsString().c_str());
    return;
  }
  const int64_t now = static_cast<int64_t>(env_->NowSeconds());
  SUaDirEntry entry;
  bool end = false;
  while (true) {
    err = listing.GetEntry(&entry, end);
    if (err.IsError()) {
      listing.Close();
      m_pLog->DebugLvl(kCheckAndClean, -1, "Cannot get directory list - %s, error=%s",
                       m_logDirectory.c_str(), err.AsString().c_str());
      return;
    }
    if (end) break;
    const std::string path = m_logDirectory + "/" + entry.name;
    struct stat st;
    CUaError serr = CUaFile::Stat(path.c_str(), st);
    if (serr.IsError()) {
      m_pLog->DebugLvl(kCheckAndClean, -1, "Cannot get file info - %s, error=%s", path.c_str(),
                       serr.AsString().c_str());
      continue;
    }
    // Signed difference: a file dated in the future is not old.
    const int64_t age = now - static_cast<int64_t>(st.st_mtime);
    if (age > kMaxAgeSeconds) unlink(path.c_str());
  }
  listing.Close();
}
