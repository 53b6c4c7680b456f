// A job process for the end-to-end test: registers streams of one job on one
// throttle table and reports bytes and statistics for each, all under the
// table lock (an observer sees the job whole or not at all).
//   j_job <dir> <name> <kind> <job id> <streams> <bytes per stream> <computer>
// Writes <dir>/<name>.ready, keeps asking for its rate until <dir>/jobs.stop
// exists, then unregisters and detaches. Exit status 0 when every call succeeded.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/hx_platform_info.h"
#include "tests/common/test_env.h"
#include "throttling/throttling_manager.h"

int main(int argc, char** argv) {
  if (argc < 8) return 2;
  const std::string dir = argv[1];
  const uint32_t jobId = static_cast<uint32_t>(strtoul(argv[4], nullptr, 10));
  const uint64_t bytes = strtoull(argv[6], nullptr, 10);
  CHxThrottlingManager manager;
  if (manager.Initialize(HXPI_Focus::getFocus(), jobId, static_cast<unsigned>(atoi(argv[3]))) != 0) return 10;
  if (!manager.Lock()) return 11;
  std::vector<unsigned long long> handles;
  for (int i = 0; i < atoi(argv[5]); ++i) {
    _TMSRegParams p;
    p.JobID = jobId;
    p.RCID = static_cast<uint32_t>(i + 1);
    strncpy(p.ComputerName, argv[7], sizeof(p.ComputerName) - 1);
    handles.push_back(manager.RegisterStream(p));
    unsigned int rate = 0;
    _TMStats s;
    s.ReadSize = bytes;
    if (handles.back() == ~0ull || manager.GetThroughputRate(handles.back(), bytes, rate) != 0 ||
        manager.UpdateStreamStats(handles.back(), s) != 0) {
      return 12;
    }
  }
  manager.Unlock();
  hxtest::WriteFile(dir + "/" + argv[2] + ".ready", "");
  for (int i = 0; i < 6000 && access((dir + "/jobs.stop").c_str(), F_OK) != 0; ++i) {
    for (unsigned long long h : handles) {
      unsigned int rate = 0;
      manager.GetThroughputRate(h, bytes, rate);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (unsigned long long h : handles) if (manager.UnregisterStream(h) != 0) return 13;
  return manager.Uninitialize() == 0 ? 0 : 14;
}
