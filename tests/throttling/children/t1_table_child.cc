// Helper process for the throttle-table tests. Attaches a table of the
// instance named by $HXFOCUS ($HXREG holds its registry) -- the outbound table
// for "hold", the cloud outbound table (whose header the configuration never
// rewrites) otherwise -- and then:
//   hold <readyFile> <goFile>   writes "<Initialize result>" to readyFile, waits
//                               for goFile to exist, then uninitialises;
//   read <job> <stream>         prints the records' fields on stdout.
// Exit status 0 on success.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/hx_platform_info.h"
#include "tests/common/test_env.h"
#include "tests/throttling/table_record_io.h"
#include "tests/throttling/table_test_util.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  t1test::TestManager manager;
  const int init = manager.Initialize(HXPI_Focus::getFocus(), 7,
                                      mode == "hold" ? kTMKindOutbound : kTMKindCloudOutbound);

  if (mode == "hold" && argc == 4) {
    hxtest::WriteFile(argv[2], std::to_string(init));
    // The test creates goFile when it has looked at the table; give up after
    // a minute so a failed test never leaves this process behind.
    for (int i = 0; i < 12000 && access(argv[3], F_OK) != 0; ++i) usleep(5000);
    return init == 0 && manager.Uninitialize() == 0 ? 0 : 1;
  }
  if (init != 0) return 1;
  int rc = 0;
  if (mode == "read" && argc == 4) {
    if (!manager.Lock()) return 1;
    const std::string text =
        t1test::Describe(*manager.table(), static_cast<uint32_t>(atoi(argv[2])),
                         static_cast<uint32_t>(atoi(argv[3])));
    manager.Unlock();
    fputs(text.c_str(), stdout);
  } else {
    rc = 2;
  }
  if (manager.Uninitialize() != 0) rc = 1;
  return rc;
}
