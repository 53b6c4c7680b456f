// Files and directories the library creates or appends to, made safe against
// other local users. A process (often root) that writes where another user
// can plant a symlink, a hard link or a FIFO, or can swap a directory, can be
// made to create, lock or append to any file of the machine. So:
//  - files are opened with O_NOFOLLOW | O_CLOEXEC and must turn out to be a
//    regular file with a single link;
//  - a directory is used only when nobody but root and the effective user can
//    change it or anything above it;
//  - directories are created with fixed modes, never world-writable.
// Every refusal comes with a text that names the path and the reason.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/hx_export.h"

namespace hxp {

// Opens path with flags | O_NOFOLLOW | O_CLOEXEC (mode as for open(2) when
// creating). Refuses a symlink as the last component (ELOOP), anything but a
// regular file (EINVAL: a FIFO never blocks the caller) and a file with more
// than one link (EMLINK). Returns the descriptor, or -1 with errno set and
// *error (when given) describing the refusal.
HXP_EXPORT int OpenFileNoFollow(const std::string& path, int flags, mode_t mode,
                                std::string* error);

// True when dir may hold the library's files: dir itself is a real directory
// (not a symlink), and it and every directory on the way from "/" (symlinks
// resolved) are owned by root or the effective user and writable by nobody
// else. Allowed exceptions: a root-owned sticky directory (/tmp itself), and
// group write when the directory's group is the one "Platform"/"HxGroup"
// names. Every symlink on the way must be owned by root or the effective
// user. Creates nothing. False with errno (ENOENT, ENOTDIR, ELOOP or EPERM)
// and *error set otherwise.
HXP_EXPORT bool CheckDirectory(const std::string& dir, std::string* error);

// The gid that "Platform"/"HxGroup" of the current focus names (a group name,
// or a number), when it names one that exists.
HXP_EXPORT bool ConfiguredGroup(gid_t* gid);

// Who may enter a directory the library creates.
enum class DirAccess {
  kShared,   // 0770 and the configured group when "HxGroup" names one, else 0755
  kPrivate,  // 0700
};

// Creates dir and its missing parents with the mode of access (exactly, not
// reduced by the umask), after checking the deepest existing ancestor with
// CheckDirectory; then checks dir. An existing dir is only checked. Nothing is
// created under a refused ancestor. False with errno and *error set on failure.
HXP_EXPORT bool MakeSecureDirectory(const std::string& dir, DirAccess access,
                                    std::string* error);

}  // namespace hxp
