// Uses the installed library as any job process would: on a private instance
// whose files live under argv[1], initialises the outbound throttle table,
// registers two streams of one job, asks their rate, unregisters them and
// detaches. Exit status 0 only when every step answered as documented and no
// System V segment of the instance is left.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/hx_platform_info.h"
#include "throttling/throttling_manager.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  failures += !ok;
}

// dir (made with its parents) holding a .properties file with text.
bool WriteProperties(const std::string& dir, const std::string& text) {
  for (size_t pos = 1; pos != std::string::npos; pos = dir.find('/', pos + 1)) mkdir(dir.substr(0, pos).c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  FILE* f = std::fopen((dir + "/.properties").c_str(), "w");
  return f != nullptr && std::fputs(text.c_str(), f) >= 0 && std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hx_consumer WORKDIR\n");
    return 2;
  }
  const std::string work = argv[1];
  const std::string focus = "Consumer" + std::to_string(getpid());
  const std::string registry = work + "/registry";
  const std::string instance = registry + "/Halvex/" + focus;
  Check(WriteProperties(instance + "/Platform", "JobResultsDirectory " + work + "/JobResults\n" +
                                                    "LogFilesDirectory " + work + "/Log\n" +
                                                    "PhysicalMachine consumerhost\n") &&
            WriteProperties(instance + "/Hxd", "ComputerThroughputMBPH 7200\n") &&
            mkdir((work + "/JobResults").c_str(), 0755) == 0 &&
            mkdir((work + "/Log").c_str(), 0755) == 0,
        "private instance configured");
  setenv("HXREG", registry.c_str(), 1);
  HXPI_Focus::setFocus(focus.c_str());

  CHxThrottlingManager manager;
  Check(manager.Initialize(focus.c_str(), 1, kTMKindOutbound) == 0, "Initialize");
  const std::string keyFile = work + "/JobResults/" + focus + "_HX_THROTTLE_SHMEM_OUT";
  Check(shmget(ftok(keyFile.c_str(), 0xFEFA), 0, 0) >= 0, "the table lives in a System V segment");

  _TMSRegParams params;
  params.JobID = 42;
  std::snprintf(params.ComputerName, sizeof(params.ComputerName), "consumerhost");
  const unsigned long long first = manager.RegisterStream(params);
  const unsigned long long second = manager.RegisterStream(params);
  Check(first != ~0ULL && second != ~0ULL && first != second, "RegisterStream (two streams)");
  unsigned int rate = 0;
  Check(manager.GetThroughputRate(first, 1024, rate) == 0 && rate == 3600,
        "GetThroughputRate: half the machine's 7200 MBPH for each of two streams");
  Check(manager.UnregisterStream(first) == 0 && manager.UnregisterStream(second) == 0,
        "UnregisterStream");
  Check(manager.Uninitialize() == 0, "Uninitialize");

  const int left = shmget(ftok(keyFile.c_str(), 0xFEFA), 0, 0);
  Check(left < 0 && errno == ENOENT, "no segment left after the last user detached");
  if (left >= 0) shmctl(left, IPC_RMID, nullptr);

  std::printf("consumer: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
