#include "platform/secure_fs.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/config_store.h"
#include "platform/hx_platform_info.h"

namespace hxp {
namespace {

// Sets errno and *error together; always returns false so callers can
// `return Fail(...)`.
bool Fail(int err, const std::string& text, std::string* error) {
  if (error) *error = text;
  errno = err;
  return false;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// Whether a directory with status st may be trusted: see CheckDirectory.
// groupLookup caches the configured group for one check.
struct GroupLookup {
  bool done = false;
  bool have = false;
  gid_t gid = 0;
  bool Is(gid_t g) {
    if (!done) {
      have = ConfiguredGroup(&gid);
      done = true;
    }
    return have && gid == g;
  }
};

bool TrustedDirectory(const std::string& path, const struct stat& st, GroupLookup& group,
                      std::string* error) {
  const uid_t euid = geteuid();
  if (st.st_uid != 0 && st.st_uid != euid) {
    return Fail(EPERM,
                "refusing directory " + path + ": owned by uid " + std::to_string(st.st_uid) +
                    ", neither root nor the effective user " + std::to_string(euid),
                error);
  }
  const bool rootSticky = (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
  if (rootSticky) return true;
  if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && !group.Is(st.st_gid))) {
    char mode[16];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return Fail(EPERM,
                "refusing directory " + path + ": writable by other users (mode " + mode + ")",
                error);
  }
  return true;
}

// Every prefix of path ("/a", "/a/b", ...; "a", "a/b" for a relative one),
// the path itself last.
std::vector<std::string> Prefixes(const std::string& path) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) out.push_back(path.substr(0, next));
    pos = next + 1;
  }
  if (out.empty() && !path.empty() && path[0] == '/') out.push_back("/");
  return out;
}

std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

bool ConfiguredGroup(gid_t* gid) {
  std::string name;
  if (!LookupConfig(HXPI_Focus::getFocus(), "Platform", "HxGroup", &name)) return false;
  size_t b = name.find_first_not_of(" \t");
  if (b == std::string::npos) return false;
  name = name.substr(b, name.find_last_not_of(" \t") - b + 1);
  std::vector<char> buffer(16384);
  struct group entry;
  struct group* found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    *gid = found->gr_gid;
    return true;
  }
  unsigned long number = 0;
  if (ParseNumber(name, &number) && number < static_cast<unsigned long>(INT_MAX)) {
    *gid = static_cast<gid_t>(number);
    return true;
  }
  return false;
}

int OpenFileNoFollow(const std::string& path, int flags, mode_t mode, std::string* error) {
  // O_TRUNC is applied only once the file is known to be ours to change.
  const bool truncate = (flags & O_TRUNC) != 0;
  const int openFlags = (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd;
  do {
    fd = open(path.c_str(), openFlags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    Fail(err,
         err == ELOOP ? "refusing " + path + ": it is a symbolic link"
                      : "cannot open " + path + ": " + ErrnoText(err),
         error);
    return -1;
  }
  struct stat st;
  int err = 0;
  std::string text;
  if (fstat(fd, &st) != 0) {
    err = errno;
    text = "cannot open " + path + ": " + ErrnoText(err);
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
    text = "refusing " + path + ": not a regular file";
  } else if (st.st_nlink > 1) {
    err = EMLINK;
    text = "refusing " + path + ": it has " + std::to_string(st.st_nlink) + " hard links";
  } else if ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    err = errno;
    text = "cannot open " + path + ": " + ErrnoText(err);
  } else if (truncate && ftruncate(fd, 0) != 0) {
    err = errno;
    text = "cannot truncate " + path + ": " + ErrnoText(err);
  }
  if (err != 0) {
    close(fd);
    Fail(err, text, error);
    return -1;
  }
  return fd;
}

namespace {

// CheckDirectory; with finalLink, dir itself may be a symlink (to a trusted
// directory) as long as its owner is root or the effective user: an existing
// ancestor such as /var/run that new directories are made under.
bool Check(const std::string& dirIn, bool finalLink, std::string* error) {
  if (dirIn.empty()) return Fail(EINVAL, "empty directory path", error);
  const std::string dir = WithoutTrailingSlashes(dirIn);
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    const int err = errno;
    return Fail(err, "cannot use directory " + dir + ": " + ErrnoText(err), error);
  }
  if (S_ISLNK(st.st_mode) && !finalLink) {
    return Fail(ELOOP, "refusing directory " + dir + ": it is a symbolic link", error);
  }
  if (!S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return Fail(ENOTDIR, "refusing directory " + dir + ": not a directory", error);
  }
  // A symlink on the way must not be one that another user can re-point.
  const uid_t euid = geteuid();
  for (const std::string& p : Prefixes(dir)) {
    struct stat link;
    if (lstat(p.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != 0 &&
        link.st_uid != euid) {
      return Fail(EPERM,
                  "refusing directory " + dir + ": the symbolic link " + p + " is owned by uid " +
                      std::to_string(link.st_uid),
                  error);
    }
  }
  char* resolved = realpath(dir.c_str(), nullptr);
  if (!resolved) {
    const int err = errno;
    return Fail(err, "cannot use directory " + dir + ": " + ErrnoText(err), error);
  }
  const std::string real = resolved;
  free(resolved);
  std::vector<std::string> chain = Prefixes(real);
  if (chain.empty() || chain.front() != "/") chain.insert(chain.begin(), "/");
  GroupLookup group;
  for (const std::string& p : chain) {
    if (lstat(p.c_str(), &st) != 0) {
      const int err = errno;
      return Fail(err, "cannot use directory " + p + ": " + ErrnoText(err), error);
    }
    if (!S_ISDIR(st.st_mode)) {
      return Fail(ENOTDIR, "refusing directory " + dir + ": not a directory", error);
    }
    if (!TrustedDirectory(p == real ? dir : p, st, group, error)) return false;
  }
  return true;
}

}  // namespace

bool CheckDirectory(const std::string& dir, std::string* error) { return Check(dir, false, error); }

bool MakeSecureDirectory(const std::string& dirIn, DirAccess access, std::string* error) {
  if (dirIn.empty()) return Fail(EINVAL, "empty directory path", error);
  const std::string dir = WithoutTrailingSlashes(dirIn);
  // Walk up to the deepest existing ancestor; what lies below it is created.
  std::vector<std::string> missing;
  std::string cur = dir;
  struct stat st;
  while (lstat(cur.c_str(), &st) != 0) {
    const int err = errno;
    if (err != ENOENT) {
      return Fail(err, "cannot use directory " + cur + ": " + ErrnoText(err), error);
    }
    missing.push_back(cur);
    const std::string up = Parent(cur);
    if (up == cur) break;
    cur = up;
  }
  if (missing.empty()) return CheckDirectory(dir, error);
  if (!Check(cur, true, error)) return false;

  mode_t mode = 0700;
  gid_t gid = 0;
  bool grouped = false;
  if (access == DirAccess::kShared) {
    grouped = ConfiguredGroup(&gid);
    mode = grouped ? 0770 : 0755;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const std::string& p = *it;
    // Made closed first, opened to its final mode through its own descriptor:
    // never more open than intended, whatever the umask.
    if (mkdir(p.c_str(), 0700) != 0) {
      const int err = errno;
      if (err == EEXIST) continue;  // made meanwhile by someone else: checked below
      return Fail(err, "cannot create " + p + ": " + ErrnoText(err), error);
    }
    const int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      return Fail(err, "cannot open " + p + ": " + ErrnoText(err), error);
    }
    mode_t own = mode;
    // Group write only when the directory really carries that group.
    if (grouped && fchown(fd, static_cast<uid_t>(-1), gid) != 0) own = 0755;
    const int rc = fchmod(fd, own);
    const int err = errno;
    close(fd);
    if (rc != 0) return Fail(err, "cannot set the mode of " + p + ": " + ErrnoText(err), error);
  }
  return CheckDirectory(dir, error);
}

}  // namespace hxp
