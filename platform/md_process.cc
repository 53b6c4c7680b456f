#include "platform/md_process.h"

#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool ReadBootTime(uint64_t* btime) {
  std::ifstream in("/proc/stat");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "btime ") == 0) {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = std::strtoull(line.c_str() + 6, &end, 10);
      if (errno != 0 || end == line.c_str() + 6) return false;
      *btime = v;
      return true;
    }
  }
  return false;
}

// Field 22 (starttime, clock ticks after boot) of /proc/<pid>/stat. The
// command name (field 2) may hold blanks and parentheses, so fields are
// counted after the last ')'.
bool ReadStartTicks(int64_t pid, uint64_t* ticks) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  // After ')' comes field 3 (state); starttime is field 22.
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return false;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(field.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == field.c_str()) return false;
  *ticks = v;
  return true;
}

}  // namespace

MDProcess::MDProcess(int64_t pid) : pid_(pid) {}

bool MDProcess::isAlive() {
  // pid 0 and negative pids name process groups for kill(): never a process.
  if (pid_ <= 0 || pid_ > INT_MAX) return false;
  if (kill(static_cast<pid_t>(pid_), 0) == 0 || errno == EPERM) return true;
  return false;
}

bool MDProcess::getRunningProcessStartTime(timespec& start) {
  if (pid_ <= 0 || pid_ > INT_MAX) return false;
  uint64_t btime = 0, ticks = 0;
  if (!ReadBootTime(&btime) || !ReadStartTicks(pid_, &ticks)) return false;
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  uint64_t uhz = static_cast<uint64_t>(hz);
  start.tv_sec = static_cast<time_t>(btime + ticks / uhz);
  start.tv_nsec = static_cast<long>((ticks % uhz) * (1000000000ULL / uhz));
  return true;
}
