// A plain program that knows nothing of throttling: connects to HOST:PORT,
// sends a 16-byte tag and then 64 KiB blocks for SECONDS, closes, exits 0.
//   run_sender HOST PORT TAG SECONDS MODE [FORK_AFTER_MS [exec]]
// MODE: write (blocking write), send (blocking send; the socket is not
// closed before the process exits), nonblock (send on a
// non-blocking socket, waiting in poll), receive (read whatever the peer
// sends). With FORK_AFTER_MS the process forks
// that long after it started sending; the child closes the inherited socket,
// opens its own connection with tag TAG+"c" and sends until the same end.
// Exit status 7: a blocking write or send returned fewer bytes than asked.
// With "exec" after it, the process instead replaces itself by a new
// run_sender with tag TAG+"x" for the rest of the time, its socket still open.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Connect(const char* host, int port, const std::string& tag, bool nonblock) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host, &a.sin_addr);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    perror("run_sender: connect");
    exit(2);
  }
  char head[16] = {};
  std::memcpy(head, tag.data(), tag.size() < sizeof(head) ? tag.size() : sizeof(head));
  if (write(fd, head, sizeof(head)) != static_cast<ssize_t>(sizeof(head))) exit(3);
  if (nonblock) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

bool g_shortBlockingWrite = false;

// Sends one block; false on a hard error. A blocking socket must take the
// whole block in one call, as the kernel's own does.
bool SendBlock(int fd, const char* mode, const char* buf, size_t n) {
  const bool blocking = std::strcmp(mode, "nonblock") != 0;
  size_t done = 0;
  while (done < n) {
    ssize_t r;
    if (std::strcmp(mode, "write") == 0) {
      r = write(fd, buf + done, n - done);
    } else {
      r = send(fd, buf + done, n - done, MSG_NOSIGNAL);
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (r <= 0) return false;
    if (blocking && static_cast<size_t>(r) < n - done) g_shortBlockingWrite = true;
    done += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: run_sender HOST PORT TAG SECONDS MODE [FORK_AFTER_MS]\n");
    return 2;
  }
  const char* host = argv[1];
  const int port = atoi(argv[2]);
  std::string tag = argv[3];
  const double end = Now() + atof(argv[4]);
  const char* mode = argv[5];
  const bool nonblock = std::strcmp(mode, "nonblock") == 0;
  double forkAt = argc > 6 ? Now() + atof(argv[6]) / 1000.0 : 0;
  static char block[64 * 1024];
  std::memset(block, 'x', sizeof(block));
  int fd = Connect(host, port, tag, nonblock);
  while (std::strcmp(mode, "receive") == 0) {
    if (Now() >= end) return 0;
    if (read(fd, block, sizeof(block)) <= 0) return 4;
  }
  pid_t child = -1;
  while (Now() < end) {
    if (forkAt > 0 && Now() >= forkAt && argc > 7 && std::strcmp(argv[7], "exec") == 0) {
      const std::string rest = std::to_string(end - Now());
      const std::string newTag = tag + "x";
      const char* args[] = {argv[0], host, argv[2], newTag.c_str(), rest.c_str(), mode, nullptr};
      execv(argv[0], const_cast<char* const*>(args));
      return 6;
    }
    if (forkAt > 0 && Now() >= forkAt) {
      forkAt = 0;
      child = fork();
      if (child == 0) {
        close(fd);
        tag += "c";
        fd = Connect(host, port, tag, nonblock);
      }
    }
    if (!SendBlock(fd, mode, block, sizeof(block))) return 4;
  }
  // In send mode the socket is left open for exit to close.
  if (std::strcmp(mode, "send") != 0) close(fd);
  if (g_shortBlockingWrite) {
    fprintf(stderr, "run_sender: a blocking write returned short\n");
    return 7;
  }
  if (child > 0) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
  }
  return 0;
}
