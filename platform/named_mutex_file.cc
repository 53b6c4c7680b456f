#include "platform/named_mutex_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/hx_platform_info.h"
#include "platform/hx_sys.h"
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
  if (fd >= 0 && HxSys()->fstat(fd, &st) == 0 && st.st_uid == geteuid()) {
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

int IsFileAtPath(int fd, const std::string& path) {
  struct stat byFd, byPath;
  if (HxSys()->fstat(fd, &byFd) != 0) return -1;
  return lstat(path.c_str(), &byPath) == 0 && byFd.st_ino == byPath.st_ino &&
         byFd.st_dev == byPath.st_dev;
}

bool CheckLockFileFormat(int fd, std::string* error) {
  NamedMutexFileHeader header;
  const int err = ReadHeader(fd, &header);
  if (err != 0) {
    *error = std::string("cannot read the lock file's header: ") + std::strerror(err);
    errno = err;
    return false;
  }
  if (header.magic == 0) {
    // New. Two first openers write the same bytes; the format goes first, so
    // a reader that sees the magic sees the format too. A file that cannot be
    // stamped (a full disk) is used as it is: it is of no other format, and
    // the shared word needs no byte of it.
    const uint32_t format = kLockFileFormat, magic = kLockFileMagic;
    if (WriteHeader(fd, &format, sizeof(format), offsetof(NamedMutexFileHeader, format)) == 0) {
      WriteHeader(fd, &magic, sizeof(magic), offsetof(NamedMutexFileHeader, magic));
    }
    return true;
  }
  if (header.magic != kLockFileMagic || header.format != kLockFileFormat) {
    char text[160];
    snprintf(text, sizeof(text),
             "the lock file is of another format (magic %08x, format %u; this program "
             "uses magic %08x, format %u): not used",
             header.magic, header.format, kLockFileMagic, kLockFileFormat);
    *error = text;
    errno = EPROTO;
    return false;
  }
  return true;
}

int ReadHeader(int fd, NamedMutexFileHeader* header) {
  std::memset(header, 0, sizeof(*header));
  ssize_t n;
  do {
    n = HxSys()->pread(fd, header, sizeof(*header), 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? errno : 0;
}

int WriteHeader(int fd, const void* data, size_t size, off_t offset) {
  ssize_t n;
  do {
    n = HxSys()->pwrite(fd, data, size, offset);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size) ? 0 : (n < 0 ? errno : EIO);
}

int FileLockRange(int fd, short type, off_t start, off_t len, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  int rc;
  do {
    rc = HxSys()->fcntlLock(fd, wait ? F_SETLKW : F_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
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
