// The lock file behind a CNamedMutex: its name, its directory and how it is
// opened. Internal to the platform library.
//
// Layout of a lock file, the same for 32- and 64-bit processes:
//   [0, 64)            NamedMutexShared, mapped MAP_SHARED by every user
//   [kSlotBase + s]    one byte per live user process: process slot s holds a
//                      write lock (fcntl) on it for as long as it has the file
//                      open, so "byte locked" means "slot s is alive"
// The file-lock variant locks [0, kSlotBase) instead of using the word.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace hxp {

struct NamedMutexShared {
  // 0: free. Otherwise the holder's slot + 1, with kWaitersBit when some
  // thread may sleep on it (the releaser then wakes one).
  uint32_t word;
  // 1 from a take-over from a dead holder until the next holder reads it.
  uint32_t ownerDied;
  // File-lock variant: 1 while a process holds the lock.
  uint8_t fileLockHeld;
  uint8_t reserved[55];
};
static_assert(sizeof(NamedMutexShared) == 64, "lock file layout is shared by both ABIs");
static_assert(offsetof(NamedMutexShared, word) == 0, "lock file layout");
static_assert(offsetof(NamedMutexShared, ownerDied) == 4, "lock file layout");
static_assert(offsetof(NamedMutexShared, fileLockHeld) == 8, "lock file layout");

constexpr uint32_t kWaitersBit = 0x80000000u;
constexpr uint32_t kOwnerMask = 0x3fffffffu;
constexpr off_t kSlotBase = 4096;          // also the size of the mapped part
constexpr uint32_t kSlotCount = 1u << 22;  // at least pid_max on Linux

// "<escaped name>.lock": everything but [A-Za-z0-9._-] becomes %XX, so distinct
// names give distinct files and no name leaves the directory; very long names
// are shortened with a checksum.
std::string LockFileName(const std::string& name);

// Creates dir (and missing parents) with the shared directory mode, and
// accepts it only when nobody but root and this user can change it or
// anything above it (MakeSecureDirectory). false with errno and *error.
bool PrepareLockDirectory(const std::string& dir, std::string* error);

// Opens (creating) path read-write after PrepareLockDirectory of its
// directory: never through a symlink, only a regular file with one link,
// close-on-exec. -1 with errno and *error.
int OpenLockFile(const std::string& path, std::string* error);

// Whether fd is the file now found at path.
bool IsFileAtPath(int fd, const std::string& path);

}  // namespace hxp
