// Helpers shared by the throttling tests: a manager that opens its internal
// operations, registration parameters, a table kind's key file and segment,
// the debug log as records, the table lock seen from another thread, and
// job_child runs.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"
#include "tests/common/test_env.h"
#include "throttling/hx_shmem.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace thrtest {

class Manager : public CHxThrottlingManager {
 public:
  explicit Manager(HxEnv* env = HxEnv::Default()) : CHxThrottlingManager(env) {}
  using CHxThrottlingManager::CheckAndCleanupStreams;
  using CHxThrottlingManager::CheckAndRepairTable;
  using CHxThrottlingManager::checkEachStreamProcess_;
  using CHxThrottlingManager::GetJobIndex;
  using CHxThrottlingManager::ReserveJobIndex;
  using CHxThrottlingManager::ReserveStreamIndex;
  using CHxThrottlingManager::UnReserveJobIndex;
  using CHxThrottlingManager::UnreserveStreamIndex;
  _TMThrottleTable* table() { return Table; }
  unsigned int& lastCleanupTime() { return LastCleanupTime; }
};

inline _TMSRegParams Params(uint32_t job, uint32_t rcid = 1, uint32_t limit = 0, uint32_t flags = 0,
                            const char* name = "host", unsigned char type = 2) {
  _TMSRegParams p;
  p.JobID = job;
  p.RCID = rcid;
  p.SubclientThroughput = limit;
  p.Flags = flags;
  p.Type = type;
  strncpy(p.ComputerName, name, sizeof(p.ComputerName) - 1);
  return p;
}

// Collects what an enumeration hands out, job by job, asking it to stop after
// `stop` jobs.
struct Copies : IEnumerateJobInfoCallback {
  std::vector<std::pair<_TMJobInfo, std::vector<_TMStreamInfo>>> jobs;
  size_t stop = SIZE_MAX;
  int OnThrottelingInfo(void*, _TMJobInfo* j, _TMStreamInfo* s, unsigned int n) override {
    jobs.push_back({*j, std::vector<_TMStreamInfo>(s, s + n)});
    return jobs.size() >= stop ? 1 : 0;
  }
};

using hx::TableSegmentOf;

// The texts of the debug-log calls made so far ("YYYY-MM-DD HH:MM:SS pid tid
// level tag text"); a text with newlines spans several lines of the file.
inline std::vector<std::string> LogTexts(const hxtest::TestInstance& inst) {
  static const std::regex kHead(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S+ \S+ \S+ 0x\S* )");
  std::vector<std::string> texts;
  for (const std::string& line : inst.LogLines()) {
    std::smatch head;
    if (std::regex_search(line, head, kHead)) {
      texts.push_back(head.suffix());
    } else if (!texts.empty()) {
      texts.back() += "\n" + line;
    }
  }
  return texts;
}

// Whether another thread can take the table's named mutex within ms.
inline bool LockFreeWithin(const std::string& mutexName, long ms) {
  int result = -9;
  std::thread other([&] {
    CError error;
    CNamedMutex mutex(mutexName.c_str(), error, true);
    result = mutex.lock(ms, true);
    if (result == 0) mutex.unlock();
  });
  other.join();
  return result == 0;
}

// A job_child run (of this ABI or, through the emulator where needed, the
// other) and its output lines. Killed if still running when it goes out of scope.
class Child {
 public:
  Child(const std::vector<std::string>& script, const std::string& dir, bool otherAbi = false)
      : out_(dir + "/child" + std::to_string(counter_++) + ".out") {
    const std::string program = otherAbi ? hxtest::OtherAbiChildPath("job_child")
                                         : hxtest::ChildPath("job_child");
    pid_ = hxtest::Spawn(program, script, out_);
  }
  ~Child() {
    if (!reaped_) Kill();
  }
  pid_t pid() const { return pid_; }
  int Wait() {
    reaped_ = true;
    return hxtest::WaitExit(pid_);
  }
  void Kill() {
    kill(pid_, SIGKILL);
    Wait();
  }
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> out;
    std::stringstream in(hxtest::ReadFile(out_));
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    }
    return out;
  }
  // The last output line starting with prefix, waiting up to 60 s for one.
  std::string Line(const std::string& prefix) const {
    std::vector<std::string> lines;
    return hxtest::WaitFor([&] { return !(lines = Lines(prefix)).empty(); }) ? lines.back()
                                                                           : "(no line starting with '" + prefix + "')";
  }

 private:
  static inline int counter_ = 0;
  std::string out_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace thrtest
