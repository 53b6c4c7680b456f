// The lock file and the System V segment behind a CNamedMutex: their names,
// their layouts, how they are opened and how their bytes are read, written
// and locked. Internal to the platform library.
//
// Layout of a lock file, the same for 32- and 64-bit processes:
//   [0, 64)            NamedMutexFileHeader, read and written with pread and
//                      pwrite only (never mapped: a file can be shrunk by
//                      anybody who may write it, and a mapped page beyond the
//                      end of the file kills whoever touches it with SIGBUS);
//                      its magic and format are stamped by the first opener
//   [kSlotBase + s]    one byte per live user process: process slot s holds a
//                      write lock (fcntl) on it for as long as it has the file
//                      open, so "byte locked" means "slot s is alive"
//   kSetupByte         write-locked (fcntl) while a process looks for, creates
//                      or removes the file's segment
// The shared-word variant keeps its word in a NamedMutexSegment, a System V
// segment that names the lock file it belongs to (device and inode) and is
// found under one of kSegmentProbes keys derived from them. The file-lock
// variant locks [0, kSlotBase) instead.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace hxp {

struct NamedMutexFileHeader {
  // kLockFileMagic once stamped; 0 in a file nobody has stamped yet.
  uint32_t magic;
  // File-lock variant: 1 from finding the held marker of a dead holder until
  // a holder says it has repaired what the lock protects.
  uint32_t repairPending;
  // File-lock variant: 1 while a process holds the lock.
  uint8_t fileLockHeld;
  uint8_t reserved0[3];
  // kLockFileFormat; written before the magic, so a stamped file has both.
  uint32_t format;
  uint8_t reserved[48];
};
static_assert(sizeof(NamedMutexFileHeader) == 64, "lock file layout is shared by both ABIs");
static_assert(offsetof(NamedMutexFileHeader, magic) == 0, "lock file layout");
static_assert(offsetof(NamedMutexFileHeader, repairPending) == 4, "lock file layout");
static_assert(offsetof(NamedMutexFileHeader, fileLockHeld) == 8, "lock file layout");
static_assert(offsetof(NamedMutexFileHeader, format) == 12, "lock file layout");

constexpr uint32_t kLockFileMagic = 0x484d4c4bu;
constexpr uint32_t kLockFileFormat = 1;

struct NamedMutexSegment {
  // Bits 0-16: 0 when free, else the holder's slot + 1. Bits 17-30: a
  // generation, advanced by every take, so that a word read before a slot
  // changed hands never compares equal afterwards. kWaitersBit when some
  // thread may sleep on it (the releaser then wakes one).
  uint32_t word;
  // 1 from a take-over from a dead holder until a holder says it repaired.
  uint32_t ownerDied;
  // kSegmentMagic once fileDev and fileIno are written.
  uint32_t magic;
  uint32_t reserved0;
  uint64_t fileDev;
  uint64_t fileIno;
  uint8_t reserved[32];
};
static_assert(sizeof(NamedMutexSegment) == 64, "segment layout is shared by both ABIs");
static_assert(offsetof(NamedMutexSegment, word) == 0, "segment layout");
static_assert(offsetof(NamedMutexSegment, ownerDied) == 4, "segment layout");
static_assert(offsetof(NamedMutexSegment, magic) == 8, "segment layout");
static_assert(offsetof(NamedMutexSegment, fileDev) == 16, "segment layout");
static_assert(offsetof(NamedMutexSegment, fileIno) == 24, "segment layout");

constexpr uint32_t kSegmentMagic = 0x484d5831u;
constexpr uint32_t kWaitersBit = 0x80000000u;
constexpr uint32_t kOwnerMask = 0x0001ffffu;
constexpr uint32_t kGenerationOne = 0x00020000u;
constexpr uint32_t kGenerationMask = 0x7ffe0000u;
constexpr off_t kSlotBase = 4096;
constexpr uint32_t kSlotCount = 1u << 16;  // slot + 1 fits kOwnerMask
constexpr off_t kSetupByte = kSlotBase + kSlotCount;
constexpr int kSegmentProbes = 4;

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
// close-on-exec. A file of this user gets the mode of the throttle tables'
// segments (0666, or 0660 and the "HxGroup" group when that is configured),
// whatever the umask. -1 with errno and *error.
int OpenLockFile(const std::string& path, std::string* error);

// 1 when fd is the file now found at path, 0 when another file or none is
// there, -1 with errno when fd cannot be examined.
int IsFileAtPath(int fd, const std::string& path);

// Accepts the lock file fd when its header is stamped with this magic and
// format, or has no magic yet (a new file: it is stamped when it can be).
// false with errno and *error for a file of another format, which is never
// used, or when the header cannot be read.
bool CheckLockFileFormat(int fd, std::string* error);

// Reads the header ([0, 64): bytes past the end of the file read as 0).
// 0 or an errno.
int ReadHeader(int fd, NamedMutexFileHeader* header);
// Writes size bytes at offset of the header: 0 or an errno (EIO when short).
int WriteHeader(int fd, const void* data, size_t size, off_t offset);

// Locks (F_WRLCK), or unlocks (F_UNLCK) [start, start + len) of fd with
// fcntl, waiting for it or not, retrying on EINTR: 0 or an errno.
int FileLockRange(int fd, short type, off_t start, off_t len, bool wait);

// The System V key of probe i (0 <= i < kSegmentProbes) for the lock file of
// device dev and inode ino: the same in both ABIs, never IPC_PRIVATE.
int SegmentKey(uint64_t dev, uint64_t ino, int i);

}  // namespace hxp
