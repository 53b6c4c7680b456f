// Helpers for the registration, clean-up, statistics and enumeration tests: a
// manager that opens its internal operations to the test, a private instance
// with a manager on a fake clock, and driving the t2_job_child helper.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/md_process.h"
#include "tests/common/test_env.h"
#include "tests/throttling/table_test_util.h"
#include "throttling/throttling_manager.h"

namespace t2test {

using Manager = t1test::TestManager;

inline _TMSRegParams Params(uint32_t job, uint32_t rcid = 1, uint32_t limit = 0,
                            uint32_t flags = 0, const char* name = "host") {
  _TMSRegParams p;
  p.JobID = job;
  p.RCID = rcid;
  p.SubclientThroughput = limit;
  p.Flags = flags;
  p.Type = 2;
  strncpy(p.ComputerName, name, sizeof(p.ComputerName) - 1);
  return p;
}

inline unsigned int JobSlotOf(unsigned long long h) { return static_cast<unsigned int>(h >> 48); }
inline unsigned int StreamSlotOf(unsigned long long h) {
  return static_cast<unsigned int>((h >> 32) & 0xFFFF);
}

// A private instance and one manager on a fake clock that starts at the real
// time (so that the process recorded with a stream -- this process's parent --
// started before the stream registered).
class T2Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.now = static_cast<uint32_t>(time(nullptr));
    m_.lastCleanupTime() = env_.now;
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 5, Kind()), 0);
    t_ = m_.table();
  }
  void TearDown() override { EXPECT_EQ(m_.Uninitialize(), 0); }
  virtual unsigned int Kind() const { return kTMKindCloudOutbound; }

  _TMJobRecord& Job(unsigned long long h) { return t_->Jobs[JobSlotOf(h)]; }
  _TMStreamRecord& Stream(unsigned long long h) {
    return t_->Jobs[JobSlotOf(h)].Streams[StreamSlotOf(h)];
  }
  unsigned int Rate(unsigned long long h, unsigned long long bytes = 0) {
    unsigned int rate = 0xDEAD;
    EXPECT_EQ(m_.GetThroughputRate(h, bytes, rate), 0);
    return rate;
  }
  // A forced clean-up pass under the lock, as registration runs it.
  void ForcedPass() {
    ASSERT_TRUE(m_.Lock());
    m_.CheckAndCleanupStreams(true);
    m_.Unlock();
  }
  size_t LogCount(const std::string& needle) { return t1test::LogTexts(inst_, needle).size(); }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  Manager m_{&env_};
  _TMThrottleTable* t_ = nullptr;
};

// Start time of a process in seconds, or 0.
inline uint32_t StartTimeOf(pid_t pid) {
  MDProcess p(pid);
  timespec ts{};
  return p.getRunningProcessStartTime(ts) ? static_cast<uint32_t>(ts.tv_sec) : 0;
}

// A t2_job_child run: its output file and pid.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& script,
        const std::string& dir) {
    static int counter = 0;
    out_ = dir + "/child" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".out";
    pid_ = hxtest::Spawn(program, script, out_);
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      hxtest::WaitExit(pid_);
    }
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
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::stringstream in(hxtest::ReadFile(out_));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  // The first output line that starts with prefix, waiting up to 60 s for it.
  std::string LineStarting(const std::string& prefix) const {
    for (int i = 0; i < 60000; ++i, usleep(1000)) {
      const std::vector<std::string> lines = LinesStarting(prefix);
      if (!lines.empty()) return lines.front();
    }
    return "(no line starting with '" + prefix + "')";
  }
  std::vector<std::string> LinesStarting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& l : Lines()) {
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    }
    return out;
  }

 private:
  std::string out_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Waits up to 60 s for a file to exist.
inline bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 60000; ++i) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(1000);
  }
  return false;
}

inline void Touch(const std::string& path) { hxtest::WriteFile(path, ""); }

// The handle printed in a "reg <i> <hex>" line.
inline unsigned long long HandleOf(const std::string& regLine) {
  unsigned int index = 0;
  unsigned long long h = 0;
  if (sscanf(regLine.c_str(), "reg %u %llx", &index, &h) != 2) return kTMInvalidHandle;
  return h;
}

}  // namespace t2test
