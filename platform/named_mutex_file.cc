#include "platform/named_mutex_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/ua_crc64.h"

namespace hxp {

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

bool PrepareLockDirectory(const std::string& dir, std::string* error) {
  if (dir.empty() || dir[0] != '/') {
    *error = "lock directory must be an absolute path: " + dir;
    errno = EINVAL;
    return false;
  }
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      int err = errno;
      *error = "cannot create " + part + ": " + std::strerror(err);
      errno = err;
      return false;
    }
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    int err = errno;
    *error = "cannot inspect lock directory " + dir + ": " + std::strerror(err);
    errno = err;
    return false;
  }
  const char* why = nullptr;
  if (!S_ISDIR(st.st_mode)) {
    why = "is not a directory";
  } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
    why = "belongs to another user";
  } else if ((st.st_mode & S_IWOTH) && !(dir == "/tmp" && (st.st_mode & S_ISVTX))) {
    why = "is writable by other users";
  }
  if (why) {
    *error = "refusing lock directory " + dir + ": it " + why;
    errno = EPERM;
    return false;
  }
  return true;
}

int OpenLockFile(const std::string& path, std::string* error) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      !PrepareLockDirectory(path.substr(0, slash), error)) {
    return -1;
  }
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    int err = errno;
    *error = "cannot open lock file " + path + ": " + std::strerror(err);
    errno = err;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = "lock file " + path + " is not a regular file";
    errno = EPERM;
    return -1;
  }
  return fd;
}

bool IsFileAtPath(int fd, const std::string& path) {
  struct stat byFd, byPath;
  return fstat(fd, &byFd) == 0 && lstat(path.c_str(), &byPath) == 0 &&
         byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev;
}

}  // namespace hxp
