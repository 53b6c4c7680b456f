#include "platform/md_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/hx_sys.h"

namespace {

// Parses the decimal number at p; false when there is none or it overflows.
bool ParseU64(const char* p, const char** end, uint64_t* value) {
  uint64_t v = 0;
  const char* q = p;
  while (*q >= '0' && *q <= '9') {
    const uint64_t digit = static_cast<uint64_t>(*q - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
    ++q;
  }
  if (q == p) return false;
  *end = q;
  *value = v;
  return true;
}

// The "btime" line of /proc/stat. The file can be long (one "intr" line with
// thousands of counters comes first), so it is scanned in chunks, keeping the
// tail of each chunk for a line split across two reads.
bool ReadBootTime(uint64_t* btime) {
  int fd;
  do {
    fd = HxSys()->open("/proc/stat", O_RDONLY | O_CLOEXEC, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  static const char kKey[] = "\nbtime ";
  const size_t kKeep = 40;  // key and the digits of any 64-bit number
  char buffer[4096 + 1];
  size_t used = 0;
  bool found = false;
  for (;;) {
    const ssize_t n = HxSys()->read(fd, buffer + used, sizeof(buffer) - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
    buffer[used] = '\0';
    const char* hit = strstr(buffer, kKey);
    if (hit != nullptr) {
      const char* digits = hit + sizeof(kKey) - 1;
      const char* end = nullptr;
      // The number must be complete: followed by the line end.
      if (ParseU64(digits, &end, btime) && *end == '\n') {
        found = true;
        break;
      }
      if (static_cast<size_t>(hit - buffer) + kKeep < used) break;  // malformed line
    }
    if (used > kKeep) {
      memmove(buffer, buffer + used - kKeep, kKeep);
      used = kKeep;
    }
  }
  close(fd);
  return found;
}

// btime as first read by this process; 0 until a read succeeded.
std::atomic<uint64_t> g_bootTime{0};

bool BootTime(uint64_t* btime) {
  uint64_t known = g_bootTime.load(std::memory_order_acquire);
  if (known == 0) {
    if (!ReadBootTime(&known) || known == 0) return false;
    uint64_t expected = 0;
    if (!g_bootTime.compare_exchange_strong(expected, known)) known = expected;
  }
  *btime = known;
  return true;
}

bool ReadStartTicks(int64_t pid, uint64_t* ticks) {
  char path[48];
  snprintf(path, sizeof(path), "/proc/%lld/stat", static_cast<long long>(pid));
  char text[4096];
  if (HxReadSmallFile(path, text, sizeof(text)) <= 0) return false;
  return MDParseStartTicks(text, ticks);
}

bool ValidPid(int64_t pid) { return pid > 0 && pid <= INT_MAX; }

}  // namespace

// The command name (field 2) may hold blanks and parentheses, so fields are
// counted after the last ')'.
bool MDParseStartTicks(const char* text, uint64_t* ticks) {
  if (text == nullptr || ticks == nullptr) return false;
  const char* close = strrchr(text, ')');
  if (close == nullptr) return false;
  const char* p = close + 1;
  // After ')' comes field 3 (state); starttime is field 22.
  for (int field = 3; field < 22; ++field) {
    while (*p == ' ') ++p;
    if (*p == '\0') return false;
    while (*p != ' ' && *p != '\0') ++p;
  }
  while (*p == ' ') ++p;
  const char* end = nullptr;
  uint64_t value = 0;
  if (!ParseU64(p, &end, &value)) return false;
  if (*end != ' ' && *end != '\n' && *end != '\0') return false;
  *ticks = value;
  return true;
}

MDProcess::MDProcess(int64_t pid) : pid_(pid) {}

bool MDProcess::isAlive() {
  // pid 0 and negative pids name process groups for kill(): never a process.
  if (!ValidPid(pid_)) return false;
  if (kill(static_cast<pid_t>(pid_), 0) == 0 || errno == EPERM) return true;
  return false;
}

bool MDProcess::getStartTicks(uint64_t& ticks) {
  return ValidPid(pid_) && ReadStartTicks(pid_, &ticks);
}

bool MDProcess::getRunningProcessStartTime(timespec& start) {
  uint64_t btime = 0, ticks = 0;
  if (!getStartTicks(ticks) || !BootTime(&btime)) return false;
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  const uint64_t uhz = static_cast<uint64_t>(hz);
  start.tv_sec = static_cast<time_t>(btime + ticks / uhz);
  start.tv_nsec = static_cast<long>((ticks % uhz) * (1000000000ULL / uhz));
  return true;
}
