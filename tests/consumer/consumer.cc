// Uses the installed library as any job process would: on a private instance
// whose files live under argv[1], initialises the outbound throttle table,
// registers a stream, asks its rate, unregisters it and detaches. Exit status
// 0 only when every step answered as documented and the instance's System V
// segment went with the last user.
#include <sys/shm.h>
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
  FILE* f = std::system(("mkdir -p '" + dir + "'").c_str()) == 0 ? std::fopen((dir + "/.properties").c_str(), "w") : nullptr;
  return f != nullptr && std::fputs(text.c_str(), f) >= 0 && std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;  // usage: hx_consumer WORKDIR
  const std::string work = argv[1], focus = "Consumer" + std::to_string(getpid());
  const std::string instance = work + "/registry/Halvex/" + focus;
  Check(WriteProperties(instance + "/Platform", "JobResultsDirectory " + work + "/JobResults\nLogFilesDirectory " + work + "/Log\n") &&
            WriteProperties(instance + "/Hxd", "ComputerThroughputMBPH 7200\n") &&
            std::system(("mkdir '" + work + "/JobResults' '" + work + "/Log'").c_str()) == 0,
        "private instance configured");
  setenv("HXREG", (work + "/registry").c_str(), 1);
  HXPI_Focus::setFocus(focus.c_str());

  CHxThrottlingManager manager;
  Check(manager.Initialize(focus.c_str(), 1, kTMKindOutbound) == 0, "Initialize");
  _TMSRegParams params;
  params.JobID = 42;
  const unsigned long long stream = manager.RegisterStream(params);
  unsigned int rate = 0;
  Check(stream != ~0ULL && manager.GetThroughputRate(stream, 1024, rate) == 0 && rate == 7200,
        "RegisterStream, GetThroughputRate: the whole machine's 7200 MBPH for the only stream");
  Check(manager.UnregisterStream(stream) == 0 && manager.Uninitialize() == 0, "UnregisterStream, Uninitialize");

  const int left = hx::TableSegmentOf(hx::TableKeyFile(work + "/JobResults", focus, kTMKindOutbound));
  Check(left < 0 && errno == ENOENT, "no segment left after the last user detached");
  if (left >= 0) shmctl(left, IPC_RMID, nullptr);
  return failures == 0 ? 0 : 1;
}
