// Unmodified programs under `hxctl run`, over loopback to a listener of the
// test's own: the rates they reach against what the table allots, sharing
// between jobs, forks, both ABIs on one table, and streams of a killed
// program. Rates are measured over at least 2 s and must lie within 10 % of
// the allotment.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/test_env.h"
#include "tests/preload/loopback_listener.h"
#include "throttling/throttling_manager.h"

namespace {

using hxruntest::Listener;

constexpr double kMiB = 1048576.0;
constexpr double kTolerance = 0.10;
constexpr double kWindowS = 2.5;

uint32_t Mbph(double mibPerSecond) { return static_cast<uint32_t>(mibPerSecond * 3600); }

bool UnderEmulator() { return std::string(HX_EMULATOR).size() > 0; }

// What the table holds of each job: its streams and the rate of each.
struct JobView {
  unsigned int streams = 0;
  unsigned int perStreamMBPH = 0;
  std::vector<unsigned int> rcids;
};

class TableView : public IEnumerateJobInfoCallback {
 public:
  int OnThrottelingInfo(void*, _TMJobInfo* job, _TMStreamInfo* streams, unsigned int n) override {
    JobView& v = jobs[job->JobID];
    v.streams = n;
    v.perStreamMBPH = job->PerStreamMBPH;
    for (unsigned int i = 0; i < n; ++i) v.rcids.push_back(streams[i].RCID);
    return 0;
  }
  std::map<unsigned int, JobView> jobs;
};

class RunThrottle : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef HX_SANITIZED
    GTEST_SKIP() << "a sanitized library cannot be preloaded into other programs";
#endif
    t_.SetConfig("Hxd", "ComputerThroughputMBPH", "0");
    ASSERT_EQ(manager_.Initialize(t_.focus().c_str(), 7, kTMKindOutbound), 0);
  }
  void TearDown() override { manager_.Uninitialize(); }  // harmless when not initialised

  std::map<unsigned int, JobView> Jobs() {
    TableView view;
    manager_.SnapshotJobsInfo(nullptr, &view);
    return view.jobs;
  }

  // Starts `hxctl run --job JOB [extra...] -- program args...`.
  pid_t Run(unsigned int job, const std::vector<std::string>& extra,
            const std::vector<std::string>& command) {
    std::vector<std::string> args = {"run", "--job", std::to_string(job)};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return hxtest::Spawn(hxtest::ChildPath("hxctl"), args);
  }
  std::vector<std::string> Sender(const std::string& program, const std::string& tag,
                                  double seconds, const std::string& mode = "write") {
    return {program, "127.0.0.1", listener_.portText(), tag, std::to_string(seconds), mode};
  }

  void ExpectRate(double measured, double expectedMiBs, const std::string& what) {
    EXPECT_NEAR(measured / kMiB, expectedMiBs, expectedMiBs * kTolerance) << what;
  }

  hxtest::TestInstance t_;
  CHxThrottlingManager manager_;
  Listener listener_;
};

// One job alone under a machine limit gets all of it, whichever call the
// program sends with (blocking write or send, non-blocking send), and so does
// a real tool.
TEST_F(RunThrottle, OneProgramReachesTheMachineLimit) {
  struct Case {
    double mibPerSecond;
    std::string mode;  // run_sender mode, or "curl"
  } cases[] = {{1, "write"}, {10, "send"}, {50, "nonblock"}, {10, "curl"}};
  unsigned int job = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode + " at " + std::to_string(c.mibPerSecond) + " MiB/s");
    if (UnderEmulator() && c.mibPerSecond > 10) {
      fprintf(stderr, "skipped: %g MiB/s is out of reach under the i386 emulator\n", c.mibPerSecond);
      continue;
    }
    std::vector<std::string> command;
    std::string tag = "case" + std::to_string(++job);
    if (c.mode == "curl") {
      if (access("/usr/bin/curl", X_OK) != 0) {
        fprintf(stderr, "skipped: /usr/bin/curl is not installed\n");
        continue;
      }
      command = {"/usr/bin/curl", "-s", "-o", "/dev/null", "-H", "Expect:", "-T", "/dev/zero",
                 "http://127.0.0.1:" + listener_.portText() + "/upload"};
      tag = "PUT /upload HTTP";
    } else {
      command = Sender(hxtest::ChildPath("run_sender"), tag, 30, c.mode);
    }
    t_.SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(Mbph(c.mibPerSecond)));
    const pid_t pid = Run(job, {}, command);
    const double rate = listener_.Rates({tag}, kWindowS)[tag];
    const std::map<unsigned int, JobView> jobs = Jobs();
    kill(pid, SIGTERM);  // passed on to the program
    EXPECT_EQ(hxtest::WaitExit(pid), 128 + SIGTERM);
    ASSERT_EQ(jobs.count(job), 1u);
    EXPECT_EQ(jobs.at(job).streams, 1u);
    EXPECT_EQ(jobs.at(job).perStreamMBPH, Mbph(c.mibPerSecond));
    ExpectRate(rate, c.mibPerSecond, "achieved rate");
    // A stream of a process ended by a signal stays until a clean-up finds
    // its parent (hxctl) gone; this registration runs one.
    _TMSRegParams p;
    p.JobID = 99;
    manager_.UnregisterStream(manager_.RegisterStream(p));
    EXPECT_EQ(Jobs().count(job), 0u);
  }
}

// With --direction in, reading is paced against the inbound table (whose
// machine limit is the same configured value) and writing is left alone.
TEST_F(RunThrottle, ReceivingIsPacedOnTheInboundTable) {
  const double machine = 3;
  t_.SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(Mbph(machine)));
  const std::string out = t_.root() + "/receiver.out";
  std::vector<std::string> args = {"run", "--job", "31", "--direction", "in", "--"};
  for (const std::string& w : Sender(hxtest::ChildPath("run_sender"), "in:recv", 1 + kWindowS, "receive")) {
    args.push_back(w);
  }
  const pid_t pid = hxtest::Spawn(hxtest::ChildPath("hxctl"), args, out);
  EXPECT_EQ(hxtest::WaitExit(pid), 0);
  ExpectRate(std::atof(hxtest::ReadFile(out).c_str()), machine, "received");
  EXPECT_EQ(Jobs().count(31), 0u) << "nothing registered outbound";
}

// Two jobs share one machine limit as the allocation rules say, and the
// shares move when a job limit changes and when one program ends.
TEST_F(RunThrottle, TwoJobsShareTheMachineAndSharesMove) {
  const double machine = 8;
  t_.SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(Mbph(machine)));
  const std::string sender = hxtest::ChildPath("run_sender");
  const pid_t a = Run(1, {}, Sender(sender, "jobA", 30));
  const pid_t b = Run(2, {}, Sender(sender, "jobB", 2 * (kWindowS + 1.5), "send"));

  auto even = listener_.Rates({"jobA", "jobB"}, kWindowS);
  ExpectRate(even["jobA"], machine / 2, "A, no job limits");
  ExpectRate(even["jobB"], machine / 2, "B, no job limits");

  ASSERT_EQ(manager_.SetJobMaxThroghput(2, Mbph(2)), 0);
  auto limited = listener_.Rates({"jobA", "jobB"}, kWindowS);
  ExpectRate(limited["jobA"], machine - 2, "A takes what B's limit leaves");
  ExpectRate(limited["jobB"], 2, "B at its own limit");

  EXPECT_EQ(hxtest::WaitExit(b), 0);  // B exits without closing: its stream leaves
  EXPECT_EQ(Jobs().count(2), 0u);
  ExpectRate(listener_.Rates({"jobA"}, kWindowS)["jobA"], machine, "A alone");
  kill(a, SIGTERM);
  EXPECT_EQ(hxtest::WaitExit(a), 128 + SIGTERM);
}

// A shell that starts two senders, one of which forks a third sending
// process, and another that replaces itself by exec while its first socket
// is still open: the live streams count in the job, which stays within its
// own limit, and the one the exec left behind is gone.
TEST_F(RunThrottle, ForkingProgramStaysWithinItsJobLimit) {
  const double limit = 4;
  const std::string s = hxtest::ChildPath("run_sender") + " 127.0.0.1 " + listener_.portText();
  const std::string script =
      s + " shellA 6 write & A=$!; " + s + " shellB 6 send 300 & B=$!; " + s +
      " shellC 6 write 200 exec; wait $A && wait $B";
  const pid_t pid = Run(3, {"--limit", std::to_string(Mbph(limit))}, {"/bin/sh", "-c", script});
  const std::vector<std::string> tags = {"shellA", "shellB", "shellBc", "shellCx"};
  auto r = listener_.Rates(tags, kWindowS);
  const std::map<unsigned int, JobView> jobs = Jobs();
  ASSERT_EQ(jobs.count(3), 1u);
  EXPECT_EQ(jobs.at(3).streams, 4u);
  ExpectRate(r["shellA"] + r["shellB"] + r["shellBc"] + r["shellCx"], limit, "job total");
  for (const std::string& tag : tags) ExpectRate(r[tag], limit / 4, tag);
  EXPECT_EQ(hxtest::WaitExit(pid), 0);
  EXPECT_EQ(Jobs().count(3), 0u);
}

// An i386 and an x86-64 sender, each under the hxctl of this build, share one
// table evenly.
TEST_F(RunThrottle, BothAbisShareOneTable) {
  const std::string other = hxtest::OtherAbiChildPath("run_sender");
  if (other.empty()) GTEST_SKIP() << "the other ABI's build is absent";
  const double machine = UnderEmulator() ? 2 : 4;
  t_.SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(Mbph(machine)));
  const pid_t own = Run(11, {}, Sender(hxtest::ChildPath("run_sender"), "own", 30));
  const pid_t foreign = Run(12, {}, Sender(other, "other", 30));
  auto r = listener_.Rates({"own", "other"}, kWindowS);
  const std::map<unsigned int, JobView> jobs = Jobs();
  kill(own, SIGTERM);
  kill(foreign, SIGTERM);
  hxtest::WaitExit(own);
  hxtest::WaitExit(foreign);
  ASSERT_EQ(jobs.count(11) + jobs.count(12), 2u);
  ExpectRate(r["own"], machine / 2, "this ABI's sender");
  ExpectRate(r["other"], machine / 2, "the other ABI's sender");
}

// A sender killed with SIGKILL cannot unregister: its stream stays while
// hxctl (its recorded parent) lives, and goes with the first registration
// after hxctl ended.
TEST_F(RunThrottle, KilledSendersStreamGoesWithTheNextCleanup) {
  t_.SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(Mbph(1)));
  const pid_t pid = Run(21, {}, Sender(hxtest::ChildPath("run_sender"), "doomed", 30));
  listener_.Rates({"doomed"}, 0.1);
  std::map<unsigned int, JobView> jobs = Jobs();
  ASSERT_EQ(jobs.count(21), 1u);
  ASSERT_EQ(jobs.at(21).rcids.size(), 1u);
  ASSERT_EQ(kill(static_cast<pid_t>(jobs.at(21).rcids[0]), SIGKILL), 0);
  EXPECT_EQ(hxtest::WaitExit(pid), 128 + SIGKILL);
  EXPECT_EQ(Jobs().count(21), 1u) << "no clean-up has run yet";
  _TMSRegParams p;
  p.JobID = 22;
  manager_.UnregisterStream(manager_.RegisterStream(p));
  EXPECT_EQ(Jobs().count(21), 0u);

  // A sender left running by a shell that ended (its recorded parent) loses
  // its stream at the next clean-up too, registers again at its next rate
  // query and stays paced.
  const std::string s = hxtest::ChildPath("run_sender") + " 127.0.0.1 " + listener_.portText();
  EXPECT_EQ(hxtest::WaitExit(Run(23, {}, {"/bin/sh", "-c", s + " orphan 5 write & sleep 1"})), 0);
  listener_.Rates({"orphan"}, 0.1);
  manager_.UnregisterStream(manager_.RegisterStream(p));
  ExpectRate(listener_.Rates({"orphan"}, kWindowS, 30, 0.3)["orphan"], 1, "after the clean-up");
  EXPECT_EQ(Jobs().count(23), 1u);
  // Nobody waits for the orphan: let it give its stream back before the
  // instance is removed, so that it never recreates the instance's files.
  for (int i = 0; i < 400 && Jobs().count(23) != 0; ++i) usleep(50 * 1000);
  EXPECT_EQ(Jobs().count(23), 0u) << "the orphan unregisters when it ends";
}

}  // namespace
