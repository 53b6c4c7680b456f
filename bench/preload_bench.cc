// What the throttling library costs a program it is preloaded into when no
// limit applies: loopback throughput of one sender writing 64 KiB blocks,
// with and without the library, alternating in the same run. The goal is at
// most 5 % less with it. The sender is this binary started again with
// --send, so both variants run the same code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_instance.h"

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr double kSeconds = 1.5;

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The sender: connects to 127.0.0.1:port and writes until the receiver
// closes, then exits normally, so that the throttling library detaches (the
// last process to detach removes the table's segment).
int Send(int port) {
  signal(SIGPIPE, SIG_IGN);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 2;
  static char block[kBlock];
  for (;;) {
    if (write(fd, block, sizeof(block)) <= 0) return 0;
  }
}

std::string g_self;

// Bytes per second one sender reaches over kSeconds.
double Measure(bool preload) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(lfd, 1);
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));
  const pid_t pid = fork();
  if (pid == 0) {
    if (preload) {
      setenv("LD_PRELOAD", HX_PRELOAD_LIB, 1);
      setenv("HXRUN_JOB", "1", 1);
    }
    execl(g_self.c_str(), g_self.c_str(), "--send", port.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int c = accept(lfd, nullptr, nullptr);
  static std::vector<char> buf(256 * 1024);
  // Let the sender register and settle before counting.
  for (double until = Now() + 0.2; Now() < until;) {
    if (read(c, buf.data(), buf.size()) <= 0) break;
  }
  uint64_t bytes = 0;
  const double start = Now();
  while (Now() - start < kSeconds) {
    const ssize_t n = read(c, buf.data(), buf.size());
    if (n <= 0) break;
    bytes += static_cast<uint64_t>(n);
  }
  const double rate = static_cast<double>(bytes) / (Now() - start);
  close(c);  // the sender's next write fails and it ends
  close(lfd);
  waitpid(pid, nullptr, 0);
  return rate;
}

void BM_LoopbackWrite64K(benchmark::State& state) {
  hxbench::BenchInstance instance;
  const bool preload = state.range(0) != 0;
  double total = 0;
  for (auto _ : state) {
    const double rate = Measure(preload);
    state.SetIterationTime(kSeconds);
    total += rate;
  }
  state.counters["MiB/s"] = total / static_cast<double>(state.iterations()) / 1048576.0;
}
BENCHMARK(BM_LoopbackWrite64K)->ArgName("preloaded")->Arg(0)->Arg(1)->Arg(0)->Arg(1)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--send") == 0) return Send(std::atoi(argv[2]));
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  g_self = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv[0];
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
