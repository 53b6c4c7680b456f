// The process start time read from a hostile /proc/<pid>/stat. In a private
// mount namespace, /proc/stat (boot time 1700000000) and /proc/1/stat are
// replaced by files this program writes, so the real reader runs unchanged.
// Two kinds of input: a line shaped as the kernel writes it, with any
// command name (blanks, parentheses, newlines) and any start tick count,
// must give exactly boot time + ticks / CLK_TCK; any other text must not
// crash the reader, and without a command name gives false. Needs root (a
// mount namespace).
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>

#include <fuzzer/FuzzedDataProvider.h>

#include "platform/md_process.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const uint64_t kBootTime = 1700000000;
int g_statFd = -1;

// Replaces target by a new file holding content; returns a descriptor that
// rewrites it. The file is unlinked at once: the mount keeps it alive, and
// nothing is left behind whatever way the run ends.
int Overlay(const char* target, const std::string& content) {
  char path[] = "/dev/shm/hxfuzz_stat.XXXXXX";  // memory: rewritten on every run
  const int fd = mkstemp(path);
  FUZZ_CHECK(fd >= 0, std::strerror(errno));
  FUZZ_CHECK(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()), path);
  const bool mounted = mount(path, target, nullptr, MS_BIND, nullptr) == 0;
  const std::string why = std::strerror(errno);
  unlink(path);
  FUZZ_CHECK(mounted, std::string("bind mount over ") + target + ": " + why);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Before any thread exists: a process whose threads share its file system
  // data cannot have its own mount namespace.
  FUZZ_CHECK(unshare(CLONE_NEWNS) == 0, std::string("unshare: ") + std::strerror(errno));
  FUZZ_CHECK(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, std::strerror(errno));
  close(Overlay("/proc/stat", "cpu  1 2 3 4\nbtime " + std::to_string(kBootTime) + "\nprocesses 9\n"));
  g_statFd = Overlay("/proc/1/stat", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool kernelShaped = in.ConsumeBool();
  std::string name = in.ConsumeRandomLengthString(32);
  const uint64_t ticks = in.ConsumeIntegral<uint64_t>();
  for (char& c : name) c = c == '\0' ? '?' : c;  // the kernel never writes NUL
  const std::string text =
      kernelShaped ? "1 (" + name + ") S 0 1 1 0 -1 4194560 9 0 0 0 5 3 0 0 20 0 1 0 " +
                         std::to_string(ticks) + " 171008000 3000 18446744073709551615\n"
                   : in.ConsumeRemainingBytesAsString();
  const ssize_t length = static_cast<ssize_t>(text.size());
  FUZZ_CHECK(ftruncate(g_statFd, 0) == 0 && pwrite(g_statFd, text.data(), text.size(), 0) == length, std::strerror(errno));

  timespec start = {-1, -1};
  const bool ok = MDProcess(1).getRunningProcessStartTime(start);
  const uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  const std::string got = std::to_string(ok) + " " + std::to_string(start.tv_sec) + "." +
                          std::to_string(start.tv_nsec);
  if (kernelShaped) {
    FUZZ_CHECK(ok && static_cast<uint64_t>(start.tv_sec) == kBootTime + ticks / hz &&
                   static_cast<uint64_t>(start.tv_nsec) == (ticks % hz) * (1000000000 / hz),
               "ticks " + std::to_string(ticks) + " read as " + got);
  }
  if (text.find(')') == std::string::npos) FUZZ_CHECK(!ok, "no command name: " + got);
  return 0;
}
