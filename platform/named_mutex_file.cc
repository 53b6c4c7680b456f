#include "platform/named_mutex_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/hx_platform_info.h"
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
  const mode_t mode = isHalvexGroupConfigured() != 0 ? 0660 : 0666;
  const int fd = OpenFileNoFollow(path, O_RDWR | O_CREAT, mode, error);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid()) {
    // Whoever may attach a table may take its lock: the same mode and group
    // as the segment. A group this user may not give is left as it is.
    gid_t gid;
    if (ConfiguredGroup(&gid) && st.st_gid != gid && fchown(fd, static_cast<uid_t>(-1), gid) != 0) {
      errno = 0;
    }
    if ((st.st_mode & 07777) != mode) fchmod(fd, mode);
  }
  return fd;
}

bool IsFileAtPath(int fd, const std::string& path) {
  struct stat byFd, byPath;
  return fstat(fd, &byFd) == 0 && lstat(path.c_str(), &byPath) == 0 &&
         byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev;
}

int SegmentKey(uint64_t dev, uint64_t ino, int i) {
  uint64_t h = dev * 0x9e3779b97f4a7c15ull ^ ino;
  h += static_cast<uint64_t>(i + 1) * 0xbf58476d1ce4e5b9ull;
  h ^= h >> 31;
  h *= 0x94d049bb133111ebull;
  h ^= h >> 29;
  return static_cast<int>(((0x4cu + static_cast<uint32_t>(i)) << 24) | (h & 0xffffffu));
}

}  // namespace hxp
