// The C library's own functions behind the ones this library wraps, found
// with dlsym(RTLD_NEXT) on first use. Never null once Real() returned: a
// function the C library lacks is replaced by one that fails with ENOSYS.
#pragma once

#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace hxrun {

struct RealCalls {
  ssize_t (*write)(int, const void*, size_t);
  ssize_t (*writev)(int, const struct iovec*, int);
  ssize_t (*send)(int, const void*, size_t, int);
  ssize_t (*sendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
  ssize_t (*sendmsg)(int, const struct msghdr*, int);
  ssize_t (*sendfile)(int, int, long*, size_t);
  ssize_t (*sendfile64)(int, int, long long*, size_t);
  ssize_t (*read)(int, void*, size_t);
  ssize_t (*readv)(int, const struct iovec*, int);
  ssize_t (*recv)(int, void*, size_t, int);
  ssize_t (*recvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
  ssize_t (*recvmsg)(int, struct msghdr*, int);
  int (*close)(int);
  int (*fclose)(FILE*);
  int (*close_range)(unsigned int, unsigned int, int);
  void (*closefrom)(int);
  int (*dup2)(int, int);
  int (*dup3)(int, int, int);
  int (*socket)(int, int, int);
  int (*accept)(int, struct sockaddr*, socklen_t*);
  int (*accept4)(int, struct sockaddr*, socklen_t*, int);
  int (*execve)(const char*, char* const[], char* const[]);
  int (*execv)(const char*, char* const[]);
  int (*execvp)(const char*, char* const[]);
  int (*execvpe)(const char*, char* const[], char* const[]);
};

const RealCalls& Real();

}  // namespace hxrun
