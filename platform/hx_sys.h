// HxSys: the system calls through which the library touches /proc files,
// System V segments, file locks and the named mutexes' lock files, as one process-wide table of function
// pointers. The defaults are the real calls; a test replaces an entry to make
// that call fail with a chosen errno, and restores it with HxSysReset().
// Entries are read without synchronisation: change them only while no other
// thread of the process uses the library.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/types.h>

#include <cstddef>

#include "platform/hx_export.h"

struct flock;
struct stat;

struct HxSysCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  int (*shmget)(key_t key, size_t size, int flags);
  void* (*shmat)(int id, const void* address, int flags);
  int (*shmdt)(const void* address);
  int (*shmctl)(int id, int command, struct shmid_ds* status);
  // fcntl with a struct flock argument (F_SETLK, F_SETLKW, F_GETLK).
  int (*fcntlLock)(int fd, int command, struct flock* lock);
  ssize_t (*pread)(int fd, void* buffer, size_t size, off_t offset);
  ssize_t (*pwrite)(int fd, const void* buffer, size_t size, off_t offset);
  int (*fstat)(int fd, struct stat* status);
};

// A test seam, exported only because it must be one table for the process:
// the system library (its segments) calls through it from outside this
// library, and a test that makes a call fail must reach the calls of both.
// Not installed; callers of the libraries never need it.
// The table in force. Never null.
HXP_EXPORT HxSysCalls* HxSys();
// Puts every entry back to the real call.
HXP_EXPORT void HxSysReset();

// Reads a whole small file (a /proc file) through HxSys into buffer, retrying
// on EINTR: the number of bytes read (at most size - 1, NUL-terminated), or -1
// with errno set when it cannot be opened or read. A file that vanishes
// mid-read (its process exited: ESRCH) is a plain failure, never a throw.
HXP_EXPORT ssize_t HxReadSmallFile(const char* path, char* buffer, size_t size);
