// Helper process for the named-mutex tests. Usage:
//   named_mutex_child <name> <counterFile> <rounds> <ms>
//       <rounds> times: lock, read the number in <counterFile>, hold the lock
//       <ms>, write the number back plus one, unlock. Lost updates show a lock
//       that does not exclude; one long round is a holder to wait for.
// Exit status 0 on success, 2 on a lock failure, 3 on bad usage, 4 when the
// lock fell back to file locks although HX_NAMED_MUTEX does not ask for them.
#include <cstdlib>
#include <string>

#include "platform/named_mutex.h"
#include "platform/ua_sleep.h"
#include "tests/common/test_env.h"

int main(int argc, char** argv) {
  if (argc != 5) return 3;
  CError error;
  CNamedMutex mutex(argv[1], error, true);
  const char* kind = std::getenv("HX_NAMED_MUTEX");
  if (error.GetCode() == 0 && mutex.kind() == CNamedMutex::kFileLock && !(kind && std::string(kind) == "fcntl")) return 4;
  for (unsigned long i = 0; i < std::strtoul(argv[3], nullptr, 10); ++i) {
    if (error.GetCode() != 0 || mutex.lock(-1, true) != 0) return 2;
    const unsigned long value = std::strtoul(hxtest::ReadFile(argv[2]).c_str(), nullptr, 10);
    UASLEEP(std::strtoul(argv[4], nullptr, 10));
    hxtest::WriteFile(argv[2], std::to_string(value + 1));
    if (mutex.unlock() != 0) return 2;
  }
  return 0;
}
