#include "platform/named_mutex_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/secure_fs.h"
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
  return MakeSecureDirectory(dir, DirAccess::kShared, error);
}

int OpenLockFile(const std::string& path, std::string* error) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      !PrepareLockDirectory(path.substr(0, slash), error)) {
    return -1;
  }
  return OpenFileNoFollow(path, O_RDWR | O_CREAT, 0666, error);
}

bool IsFileAtPath(int fd, const std::string& path) {
  struct stat byFd, byPath;
  return fstat(fd, &byFd) == 0 && lstat(path.c_str(), &byPath) == 0 &&
         byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev;
}

}  // namespace hxp
