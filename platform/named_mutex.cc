#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/config_store.h"
#include "platform/hx_sys.h"
#include "platform/ua_crc64.h"

namespace {

// fcntl locks belong to the process, and closing any descriptor of the file
// drops them. So every CNamedMutex of one lock file in this process shares one
// State: one descriptor, and the in-process owner/depth that makes the lock
// re-entrant for its thread and exclusive between threads.
struct State {
  std::string path;
  int fd = -1;
  int refs = 0;
  std::mutex mu;
  std::condition_variable cv;
  bool owned = false;  // GUARDED_BY(mu): a thread holds or is taking the file lock
  std::thread::id owner;
  long depth = 0;
  std::chrono::steady_clock::time_point touched{};  // last mtime refresh
  bool ownerDied = false;  // GUARDED_BY(mu): the last take-over found a dead holder
};

// Byte 0 of the lock file is 1 while a process holds the lock: the kernel
// drops the file lock of a killed holder but not the byte, so the next holder
// learns that the previous one died inside.
bool MarkHeld(int fd) {
  char was = 0;
  const bool died = pread(fd, &was, 1, 0) == 1 && was == 1;
  const char held = 1;
  if (pwrite(fd, &held, 1, 0) != 1) return died;
  return died;
}

void MarkFree(int fd) {
  const char free = 0;
  if (pwrite(fd, &free, 1, 0) != 1) return;
}

std::mutex g_registryMu;
std::map<std::string, State*>* g_registry = new std::map<std::string, State*>;

// Escapes everything but [A-Za-z0-9._-] as %XX so distinct names give
// distinct files; very long names are shortened with a checksum.
std::string LockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.empty() || out[0] == '.') out = "%" + out;
  if (out.size() > 200) {
    CUaCRC64 crc;
    crc.UpdateCRC64(name.data(), name.size());
    char sum[20];
    snprintf(sum, sizeof(sum), "%016llx", static_cast<unsigned long long>(crc.GetCRC64()));
    out = out.substr(0, 150) + "~" + sum;
  }
  return out + ".lock";
}

int SetFileLock(int fd, short type, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  int rc;
  do {
    rc = HxSys()->fcntlLock(fd, wait ? F_SETLKW : F_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// Opens (creating it and its directory when missing) the lock file.
int OpenLockFile(const std::string& path, std::string* error) {
  std::string dir = path.substr(0, path.rfind('/'));
  if (!dir.empty() && !hxp::MakeDirectories(dir, error)) return -1;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    int err = errno;
    *error = "cannot open lock file " + path + ": " + std::strerror(err);
    errno = err;
  }
  return fd;
}

bool IsFileAtPath(int fd, const std::string& path) {
  struct stat byFd, byPath;
  return fstat(fd, &byFd) == 0 && stat(path.c_str(), &byPath) == 0 &&
         byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev;
}

// Takes the write lock on fd: without limit, or polling until deadline.
// 0, EAGAIN/EACCES when the time ran out, or another errno.
int TakeFileLock(int fd, bool limited, std::chrono::steady_clock::time_point deadline) {
  if (!limited) return SetFileLock(fd, F_WRLCK, true);
  int pauseMs = 1;
  for (;;) {
    int err = SetFileLock(fd, F_WRLCK, false);
    if (err != EAGAIN && err != EACCES) return err;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return err;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(pauseMs, left)));
    if (pauseMs < 20) pauseMs *= 2;
  }
}

State* Acquire(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(g_registryMu);
  auto it = g_registry->find(path);
  if (it != g_registry->end()) {
    ++it->second->refs;
    return it->second;
  }
  int fd = OpenLockFile(path, error);
  if (fd < 0) return nullptr;
  State* s = new State;
  s->path = path;
  s->fd = fd;
  s->refs = 1;
  (*g_registry)[path] = s;
  return s;
}

void Release(State* s) {
  std::lock_guard<std::mutex> lock(g_registryMu);
  if (--s->refs > 0) return;
  g_registry->erase(s->path);
  close(s->fd);  // also drops a file lock still held
  delete s;
}

}  // namespace

struct CNamedMutex::Impl {
  State* state = nullptr;
};

std::string CNamedMutex::LockDirectory() {
  const char* reg = std::getenv("HXREG");
  if (reg && *reg) {
    std::string root = reg;
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root + "/Halvex/.locks";
  }
  return "/tmp/.hx_locks";
}

CNamedMutex::CNamedMutex(const char* name, CError& error, bool /*create*/)
    : impl_(new Impl), error_(error) {
  error_.Clear();
  if (!name || !*name) {
    error_.Set(EINVAL, "named mutex: empty name");
    return;
  }
  std::string why;
  State* s = Acquire(LockDirectory() + "/" + LockFileName(name), &why);
  if (!s) {
    error_.Set(errno ? errno : EIO, "named mutex: " + why);
    return;
  }
  impl_->state = s;
}

CNamedMutex::~CNamedMutex() {
  if (impl_->state) Release(impl_->state);
  delete impl_;
}

int CNamedMutex::lock(long timeoutMs, bool wait) {
  State* s = impl_->state;
  if (!s) {
    if (error_.GetCode() == 0) error_.Set(EBADF, "named mutex: not open");
    return -1;
  }
  const auto self = std::this_thread::get_id();
  const bool limited = !wait || timeoutMs >= 0;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(wait && timeoutMs > 0 ? timeoutMs : 0);
  {
    std::unique_lock<std::mutex> lock(s->mu);
    if (s->owned && s->owner == self) {
      ++s->depth;
      return 0;
    }
    if (!limited) {
      s->cv.wait(lock, [s] { return !s->owned; });
    } else if (!s->cv.wait_until(lock, deadline, [s] { return !s->owned; })) {
      error_.Set(ETIMEDOUT, "named mutex: timed out (held by another thread)");
      return -2;
    }
    s->owned = true;
    s->owner = self;
    s->depth = 0;
  }

  // This thread alone now speaks for the process on the file lock (and may
  // replace the descriptor: other threads touch it only as owners).
  int err;
  for (;;) {
    err = TakeFileLock(s->fd, limited, deadline);
    if (err != 0) break;
    // A lock file removed meanwhile (say by a /tmp cleaner) would let the
    // next process create a new one and lock that instead: only a lock on the
    // file now at the path counts.
    if (IsFileAtPath(s->fd, s->path)) break;
    std::string why;
    int fd = OpenLockFile(s->path, &why);
    if (fd < 0) {
      err = errno ? errno : EIO;
      SetFileLock(s->fd, F_UNLCK, false);
      break;
    }
    close(s->fd);
    s->fd = fd;
  }
  // Cleaners remove files by age; a lock file in use now and then gets a
  // fresh modification time.
  if (err == 0) {
    auto now = std::chrono::steady_clock::now();
    if (s->touched == std::chrono::steady_clock::time_point{} || now - s->touched > std::chrono::hours(1)) {
      futimens(s->fd, nullptr);
      s->touched = now;
    }
  }

  std::lock_guard<std::mutex> lock(s->mu);
  if (err != 0) {
    s->owned = false;
    s->cv.notify_one();
    if (err == EAGAIN || err == EACCES) {
      error_.Set(ETIMEDOUT, "named mutex: timed out (held by another process)");
      return -2;
    }
    error_.Set(err, std::string("named mutex: lock failed: ") + std::strerror(err));
    return -1;
  }
  s->depth = 1;
  s->ownerDied = MarkHeld(s->fd);
  return 0;
}

bool CNamedMutex::TakeOwnerDied() {
  State* s = impl_->state;
  if (!s) return false;
  std::lock_guard<std::mutex> lock(s->mu);
  if (!s->owned || s->owner != std::this_thread::get_id()) return false;
  const bool died = s->ownerDied;
  s->ownerDied = false;
  return died;
}

int CNamedMutex::unlock() {
  State* s = impl_->state;
  if (!s) {
    if (error_.GetCode() == 0) error_.Set(EBADF, "named mutex: not open");
    return -1;
  }
  std::lock_guard<std::mutex> lock(s->mu);
  if (!s->owned || s->owner != std::this_thread::get_id() || s->depth <= 0) {
    error_.Set(EPERM, "named mutex: unlock by a thread that does not hold it");
    return -1;
  }
  if (--s->depth > 0) return 0;
  MarkFree(s->fd);
  int err = SetFileLock(s->fd, F_UNLCK, false);
  s->owned = false;
  s->cv.notify_one();
  if (err != 0) {
    error_.Set(err, std::string("named mutex: unlock failed: ") + std::strerror(err));
    return -1;
  }
  return 0;
}
