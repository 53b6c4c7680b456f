// A plain program that knows nothing of throttling: connects to HOST:PORT,
// sends a 16-byte tag and then 64 KiB blocks for SECONDS, closes, exits 0.
//   run_sender HOST PORT TAG SECONDS MODE [FORK_AFTER_MS [exec]]
// MODE: write (blocking write), send (blocking send; the socket is not
// closed before the process exits), receive (read whatever the peer sends). With
// FORK_AFTER_MS the process forks that long after it started sending; the
// child closes the inherited socket, opens its own connection with tag
// TAG+"c" and sends until the same end. With "exec" after it, the process
// instead replaces itself by a new run_sender with tag TAG+"x" for the rest
// of the time, its socket still open.
// Exit status 7: a blocking write or send returned fewer bytes than asked.
#include <arpa/inet.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Connect(const char* host, const char* port, const std::string& tag) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(atoi(port)));
  inet_pton(AF_INET, host, &a.sin_addr);
  char head[16] = {};
  tag.copy(head, sizeof(head));
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      write(fd, head, sizeof(head)) != static_cast<ssize_t>(sizeof(head))) {
    perror("run_sender: connect");
    exit(2);
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: run_sender HOST PORT TAG SECONDS MODE [FORK_AFTER_MS [exec]]\n");
    return 2;
  }
  const std::string mode = argv[5];
  std::string tag = argv[3];
  const double end = Now() + atof(argv[4]);
  double forkAt = argc > 6 ? Now() + atof(argv[6]) / 1000.0 : 0;
  static char block[64 * 1024];
  int fd = Connect(argv[1], argv[2], tag);
  while (mode == "receive" && Now() < end) {
    if (read(fd, block, sizeof(block)) <= 0) return 4;
  }
  pid_t child = -1;
  while (mode != "receive" && Now() < end) {
    if (forkAt > 0 && Now() >= forkAt && argc > 7) {  // exec
      const std::string rest = std::to_string(end - Now()), newTag = tag + "x";
      const char* args[] = {argv[0], argv[1], argv[2], newTag.c_str(), rest.c_str(), argv[5], nullptr};
      execv(argv[0], const_cast<char* const*>(args));
      return 6;
    }
    if (forkAt > 0 && Now() >= forkAt) {
      forkAt = 0;
      child = fork();
      if (child == 0) {
        close(fd);
        tag += "c";
        fd = Connect(argv[1], argv[2], tag);
      }
    }
    // One block: a blocking socket must take it whole in one call, as the kernel's own does.
    const ssize_t r = mode == "write" ? write(fd, block, sizeof(block)) : send(fd, block, sizeof(block), MSG_NOSIGNAL);
    if (r <= 0) return 4;
    if (static_cast<size_t>(r) < sizeof(block)) return 7;
  }
  if (mode != "send") close(fd);  // in send mode, exit closes the socket
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
  return 0;
}
