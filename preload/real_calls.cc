#include "preload/real_calls.h"

#include <dlfcn.h>
#include <errno.h>

namespace hxrun {
namespace {

// Stand-ins for functions dlsym cannot find.
ssize_t NoWrite(int, const void*, size_t) { return errno = ENOSYS, -1; }
ssize_t NoWritev(int, const struct iovec*, int) { return errno = ENOSYS, -1; }
ssize_t NoSend(int, const void*, size_t, int) { return errno = ENOSYS, -1; }
ssize_t NoSendto(int, const void*, size_t, int, const struct sockaddr*, socklen_t) {
  return errno = ENOSYS, -1;
}
ssize_t NoSendmsg(int, const struct msghdr*, int) { return errno = ENOSYS, -1; }
ssize_t NoSendfile(int, int, long*, size_t) { return errno = ENOSYS, -1; }
ssize_t NoSendfile64(int, int, long long*, size_t) { return errno = ENOSYS, -1; }
ssize_t NoRead(int, void*, size_t) { return errno = ENOSYS, -1; }
ssize_t NoReadv(int, const struct iovec*, int) { return errno = ENOSYS, -1; }
ssize_t NoRecv(int, void*, size_t, int) { return errno = ENOSYS, -1; }
ssize_t NoRecvfrom(int, void*, size_t, int, struct sockaddr*, socklen_t*) {
  return errno = ENOSYS, -1;
}
ssize_t NoRecvmsg(int, struct msghdr*, int) { return errno = ENOSYS, -1; }
int NoClose(int) { return errno = ENOSYS, -1; }
int NoFclose(FILE*) { return errno = ENOSYS, EOF; }
int NoCloseRange(unsigned int, unsigned int, int) { return errno = ENOSYS, -1; }
void NoClosefrom(int) {}
int NoDup2(int, int) { return errno = ENOSYS, -1; }
int NoDup3(int, int, int) { return errno = ENOSYS, -1; }
int NoSocket(int, int, int) { return errno = ENOSYS, -1; }
int NoAccept(int, struct sockaddr*, socklen_t*) { return errno = ENOSYS, -1; }
int NoAccept4(int, struct sockaddr*, socklen_t*, int) { return errno = ENOSYS, -1; }
int NoExecve(const char*, char* const[], char* const[]) { return errno = ENOSYS, -1; }
int NoExecv(const char*, char* const[]) { return errno = ENOSYS, -1; }

template <class F>
void Find(F*& slot, const char* name, F* fallback) {
  void* p = dlsym(RTLD_NEXT, name);
  slot = p != nullptr ? reinterpret_cast<F*>(p) : fallback;
}

RealCalls Load() {
  RealCalls r;
  Find(r.write, "write", NoWrite);
  Find(r.writev, "writev", NoWritev);
  Find(r.send, "send", NoSend);
  Find(r.sendto, "sendto", NoSendto);
  Find(r.sendmsg, "sendmsg", NoSendmsg);
  Find(r.sendfile, "sendfile", NoSendfile);
  Find(r.sendfile64, "sendfile64", NoSendfile64);
  Find(r.read, "read", NoRead);
  Find(r.readv, "readv", NoReadv);
  Find(r.recv, "recv", NoRecv);
  Find(r.recvfrom, "recvfrom", NoRecvfrom);
  Find(r.recvmsg, "recvmsg", NoRecvmsg);
  Find(r.close, "close", NoClose);
  Find(r.fclose, "fclose", NoFclose);
  Find(r.close_range, "close_range", NoCloseRange);
  Find(r.closefrom, "closefrom", NoClosefrom);
  Find(r.dup2, "dup2", NoDup2);
  Find(r.dup3, "dup3", NoDup3);
  Find(r.socket, "socket", NoSocket);
  Find(r.accept, "accept", NoAccept);
  Find(r.accept4, "accept4", NoAccept4);
  Find(r.execve, "execve", NoExecve);
  Find(r.execv, "execv", NoExecv);
  Find(r.execvp, "execvp", NoExecv);
  Find(r.execvpe, "execvpe", NoExecve);
  return r;
}

}  // namespace

const RealCalls& Real() {
  // A function-local static: thread-safe first use, and the only allocation
  // dlsym may make happens once.
  static const RealCalls calls = Load();
  return calls;
}

}  // namespace hxrun
