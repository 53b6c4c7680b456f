#include "platform/hx_sys.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t RealRead(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }
int RealShmget(key_t key, size_t size, int flags) { return ::shmget(key, size, flags); }
void* RealShmat(int id, const void* address, int flags) { return ::shmat(id, address, flags); }
int RealShmdt(const void* address) { return ::shmdt(address); }
int RealShmctl(int id, int command, struct shmid_ds* status) {
  return ::shmctl(id, command, status);
}
int RealFcntlLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
ssize_t RealPread(int fd, void* buffer, size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset);
}
ssize_t RealPwrite(int fd, const void* buffer, size_t size, off_t offset) {
  return ::pwrite(fd, buffer, size, offset);
}
int RealFstat(int fd, struct stat* status) { return ::fstat(fd, status); }

const HxSysCalls kReal = {RealOpen,      RealRead,  RealShmget, RealShmat,
                          RealShmdt,     RealShmctl, RealFcntlLock, RealPread,
                          RealPwrite,    RealFstat};
HxSysCalls g_calls = kReal;

}  // namespace

HxSysCalls* HxSys() { return &g_calls; }

void HxSysReset() { g_calls = kReal; }

ssize_t HxReadSmallFile(const char* path, char* buffer, size_t size) {
  if (path == nullptr || buffer == nullptr || size == 0) {
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = HxSys()->open(path, O_RDONLY | O_CLOEXEC, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  size_t used = 0;
  int failure = 0;
  while (used + 1 < size) {
    const ssize_t n = HxSys()->read(fd, buffer + used, size - 1 - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      break;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  buffer[used] = '\0';
  if (failure != 0) {
    errno = failure;
    return -1;
  }
  return static_cast<ssize_t>(used);
}
