#include "platform/ua_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>

#include "platform/config_store.h"
#include "platform/secure_fs.h"

CUaError CUaError::FromErrno(int err) {
  CUaError e;
  e.errno_ = err;
  return e;
}

std::string CUaError::AsString() const {
  if (errno_ == 0) return "";
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errno_, buf, sizeof(buf));
  return text ? text : "unknown error";
}

CUaFile::~CUaFile() { Close(); }

CUaError CUaFile::Open(const char* path, int flags, int mode) {
  if (!path) return CUaError::FromErrno(EINVAL);
  if (fd_ >= 0) Close();
  int fd;
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_APPEND | O_TRUNC)) != 0) {
    // Anything that writes or creates: never through a symlink, link or FIFO.
    fd = hxp::OpenFileNoFollow(path, flags, static_cast<mode_t>(mode), nullptr);
  } else {
    do {
      fd = open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) return CUaError::FromErrno(errno);
  fd_ = fd;
  return CUaError();
}

CUaError CUaFile::Size(uint64_t& size) {
  if (fd_ < 0) return CUaError::FromErrno(EBADF);
  struct stat st;
  if (fstat(fd_, &st) != 0) return CUaError::FromErrno(errno);
  size = static_cast<uint64_t>(st.st_size);
  return CUaError();
}

CUaError CUaFile::FileStat(struct stat& st) {
  if (fd_ < 0) return CUaError::FromErrno(EBADF);
  if (fstat(fd_, &st) != 0) return CUaError::FromErrno(errno);
  return CUaError();
}

CUaError CUaFile::Write(const void* buffer, size_t length, size_t* written) {
  size_t done = 0;
  CUaError result;
  if (fd_ < 0) {
    result = CUaError::FromErrno(EBADF);
  } else {
    const char* p = static_cast<const char*>(buffer);
    while (done < length) {
      ssize_t n = write(fd_, p + done, length - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        result = CUaError::FromErrno(errno);
        break;
      }
      if (n == 0) {
        result = CUaError::FromErrno(EIO);
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  if (written) *written = done;
  return result;
}

CUaError CUaFile::Close() {
  if (fd_ < 0) return CUaError();
  int rc = close(fd_);  // never retried: the descriptor is gone either way
  fd_ = -1;
  if (rc != 0 && errno != EINTR) return CUaError::FromErrno(errno);
  return CUaError();
}

CUaError CUaFile::Stat(const char* path, struct stat& st) {
  if (!path) return CUaError::FromErrno(EINVAL);
  if (stat(path, &st) != 0) return CUaError::FromErrno(errno);
  return CUaError();
}

CUaDirectory::~CUaDirectory() { Close(); }

CUaError CUaDirectory::Create(const char* path, bool parents) {
  if (!path || !*path) return CUaError::FromErrno(EINVAL);
  if (!parents) {
    // One level: the parent must exist and the directory must not.
    struct stat st;
    if (lstat(path, &st) == 0) return CUaError::FromErrno(EEXIST);
    std::string parent = path;
    size_t slash = parent.find_last_of('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    if (lstat(parent.c_str(), &st) != 0) return CUaError::FromErrno(errno);
  }
  if (!hxp::MakeDirectories(path, nullptr)) return CUaError::FromErrno(errno ? errno : EIO);
  return CUaError();
}

CUaError CUaDirectory::Open(const char* directory, const char* pattern, bool files) {
  Close();
  if (!directory) return CUaError::FromErrno(EINVAL);
  DIR* d = opendir(directory);
  if (!d) return CUaError::FromErrno(errno);
  dir_ = d;
  pattern_ = (pattern && *pattern) ? pattern : "*";
  files_ = files;
  directory_ = directory;
  return CUaError();
}

CUaError CUaDirectory::GetEntry(SUaDirEntry* entry, bool& end) {
  end = false;
  if (!dir_) return CUaError::FromErrno(EBADF);
  DIR* d = static_cast<DIR*>(dir_);
  for (;;) {
    errno = 0;
    dirent* e = readdir(d);
    if (!e) {
      if (errno != 0) return CUaError::FromErrno(errno);
      end = true;
      return CUaError();
    }
    const char* name = e->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (fnmatch(pattern_.c_str(), name, 0) != 0) continue;
    if (!files_) {
      // Directories only.
      bool isDir = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = stat((directory_ + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (!isDir) continue;
    }
    if (entry) entry->name = name;
    return CUaError();
  }
}

void CUaDirectory::Close() {
  if (dir_) closedir(static_cast<DIR*>(dir_));
  dir_ = nullptr;
}

bool CUaPath::Exists(const char* path) {
  if (!path) return false;
  struct stat st;
  return stat(path, &st) == 0;
}

CUaError CUaUTFOSAPI::rename(const char* from, const char* to) {
  if (!from || !to) return CUaError::FromErrno(EINVAL);
  if (::rename(from, to) != 0) return CUaError::FromErrno(errno);
  return CUaError();
}

CUaError CUaUTFOSAPI::remove(const char* path) {
  if (!path) return CUaError::FromErrno(EINVAL);
  if (::remove(path) != 0) return CUaError::FromErrno(errno);
  return CUaError();
}
