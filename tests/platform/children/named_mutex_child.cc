// Helper process for the named-mutex tests. Usage:
//   named_mutex_child hold <name> <marker>
//       locks, writes "locked" to <marker>, then waits to be killed.
//   named_mutex_child holdfor <name> <marker> <ms>
//       locks, writes "locked", holds for <ms>, appends " released", unlocks.
//   named_mutex_child count <name> <counterFile> <rounds>
//       <rounds> times: lock, read the number in <counterFile>, pause, write it
//       back plus one, unlock. Lost updates show a lock that does not exclude.
//   named_mutex_child try <name> <unused>
//       exit 0 when the lock could be taken at once, 1 when it is busy.
// Exit status 0 on success, 2 on a lock failure, 3 on bad usage.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/named_mutex.h"
#include "platform/ua_sleep.h"
#include "tests/common/test_env.h"

int main(int argc, char** argv) {
  if (argc < 4) return 3;
  std::string mode = argv[1];
  CError error;
  CNamedMutex mutex(argv[2], error, true);
  if (error.GetCode() != 0) {
    std::fprintf(stderr, "open failed: %s\n", error.GetText());
    return 2;
  }
  if (mode == "hold" || mode == "holdfor") {
    if (mutex.lock(-1, true) != 0) return 2;
    hxtest::WriteFile(argv[3], "locked");
    if (mode == "hold") {
      for (;;) pause();
    }
    if (argc < 5) return 3;
    UASLEEP(std::strtoul(argv[4], nullptr, 10));
    hxtest::WriteFile(argv[3], "locked released");
    return mutex.unlock() == 0 ? 0 : 2;
  }
  if (mode == "try") {
    if (mutex.lock(0, false) != 0) return 1;
    return mutex.unlock() == 0 ? 0 : 2;
  }
  if (mode == "count") {
    if (argc < 5) return 3;
    unsigned long rounds = std::strtoul(argv[4], nullptr, 10);
    for (unsigned long i = 0; i < rounds; ++i) {
      if (mutex.lock(-1, true) != 0) return 2;
      unsigned long value = std::strtoul(hxtest::ReadFile(argv[3]).c_str(), nullptr, 10);
      UASLEEP(1);
      hxtest::WriteFile(argv[3], std::to_string(value + 1));
      if (mutex.unlock() != 0) return 2;
    }
    return 0;
  }
  return 3;
}
