// A job process for the end-to-end test: registers streams of one job on one
// throttle table, reports bytes and statistics for each, and keeps them alive
// until told to finish.
//   j_job <dir> <name> <kind> <job id> <streams> <bytes per stream> <job type> <computer>
// Writes <dir>/<name>.ready once everything is reported, then keeps asking
// for its rate until <dir>/jobs.stop exists, unregisters and detaches.
// Exit status 0 when every call succeeded.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/hx_platform_info.h"
#include "tests/common/test_env.h"
#include "throttling/throttling_manager.h"

int main(int argc, char** argv) {
  if (argc < 9) {
    fprintf(stderr, "usage: j_job <dir> <name> <kind> <job id> <streams> <bytes> <type> <computer>\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string name = argv[2];
  const unsigned int kind = static_cast<unsigned int>(strtoul(argv[3], nullptr, 10));
  const uint32_t jobId = static_cast<uint32_t>(strtoul(argv[4], nullptr, 10));
  const int streams = atoi(argv[5]);
  const uint64_t bytes = strtoull(argv[6], nullptr, 10);
  const uint32_t jobType = static_cast<uint32_t>(strtoul(argv[7], nullptr, 10));

  const std::string focus = HXPI_Focus::getFocus();
  CHxThrottlingManager manager;
  if (manager.Initialize(focus.c_str(), jobId, kind) != 0) return 10;

  // Everything is registered and reported under the table lock (re-entrant
  // for its holder), so an observer sees the job complete or not at all.
  if (!manager.Lock()) return 17;
  std::vector<unsigned long long> handles;
  for (int i = 0; i < streams; ++i) {
    _TMSRegParams p;
    p.JobID = jobId;
    p.RCID = static_cast<uint32_t>(i + 1);
    strncpy(p.ComputerName, argv[8], sizeof(p.ComputerName) - 1);
    const unsigned long long h = manager.RegisterStream(p);
    if (h == ~0ull) return 11;
    handles.push_back(h);
    unsigned int rate = 0;
    if (manager.GetThroughputRate(h, bytes, rate) != 0) return 12;
    _TMStats s;
    s.ReadSize = bytes;
    s.ReadTime = 2;
    s.NetworkSize = bytes;
    s.NetworkTime = 2;
    s.WriteSize = bytes;
    s.WriteTime = 3;
    s.SIDBLookupSamples = 100;
    s.SIDBLookupTime = 1;
    s.JobType = jobType;
    if (manager.UpdateStreamStats(h, s) != 0) return 13;
  }
  manager.Unlock();
  hxtest::WriteFile(dir + "/" + name + ".ready", "");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (access((dir + "/jobs.stop").c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return 14;
    for (unsigned long long h : handles) {
      unsigned int rate = 0;
      manager.GetThroughputRate(h, bytes, rate);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (unsigned long long h : handles) {
    if (manager.UnregisterStream(h) != 0) return 15;
  }
  return manager.Uninitialize() == 0 ? 0 : 16;
}
