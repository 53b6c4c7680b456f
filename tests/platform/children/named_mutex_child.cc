// Helper process for the named-mutex tests. Usage:
//   named_mutex_child holdfor <name> <marker> <ms>
//       locks, writes "locked" to <marker>, holds <ms>, appends " released", unlocks.
//   named_mutex_child count <name> <counterFile> <rounds>
//       <rounds> times: lock, read the number in <counterFile>, pause, write it
//       back plus one, unlock. Lost updates show a lock that does not exclude.
// Exit status 0 on success, 2 on a lock failure, 3 on bad usage.
#include <cstdlib>
#include <string>

#include "platform/named_mutex.h"
#include "platform/ua_sleep.h"
#include "tests/common/test_env.h"

int main(int argc, char** argv) {
  if (argc != 5) return 3;
  const std::string mode = argv[1];
  const unsigned long n = std::strtoul(argv[4], nullptr, 10);
  CError error;
  CNamedMutex mutex(argv[2], error, true);
  if (error.GetCode() != 0) return 2;
  if (mode == "holdfor") {
    if (mutex.lock(-1, true) != 0) return 2;
    hxtest::WriteFile(argv[3], "locked");
    UASLEEP(n);
    hxtest::WriteFile(argv[3], "locked released");
    return mutex.unlock() == 0 ? 0 : 2;
  }
  if (mode != "count") return 3;
  for (unsigned long i = 0; i < n; ++i) {
    if (mutex.lock(-1, true) != 0) return 2;
    const unsigned long value = std::strtoul(hxtest::ReadFile(argv[3]).c_str(), nullptr, 10);
    UASLEEP(1);
    hxtest::WriteFile(argv[3], std::to_string(value + 1));
    if (mutex.unlock() != 0) return 2;
  }
  return 0;
}
