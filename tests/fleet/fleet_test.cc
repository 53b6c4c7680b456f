// The fleet: its division of a budget (weighted max-min above floors, checked
// against the properties that define it), and machines sharing one budget
// through a real 3-member etcd cluster: three instances of this host stand
// for three machines, each with its agent and a job process.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "fleet/agent.h"
#include "fleet/share.h"
#include "gtest/gtest.h"
#include "tests/common/test_env.h"
#include "tests/fleet/etcd_cluster.h"
#include "throttling/throttling_manager.h"

namespace {

using hxfleet::Claim;
using hxfleet::MaxMinShares;

// Weighted max-min above floors, by its definition: every share at least its
// floor and at most max(floor, demand); the budget used up unless everyone
// has what they ask; and a machine short of its demand has, per unit of
// weight above its floor, no less than anyone else (rounding aside).
void CheckMaxMin(uint64_t budget, uint64_t reserved, const std::vector<Claim>& c,
                 const std::vector<uint64_t>& s) {
  ASSERT_EQ(s.size(), c.size());
  uint64_t sum = 0, floors = 0;
  bool allSatisfied = true;
  for (size_t i = 0; i < c.size(); ++i) {
    ASSERT_GE(s[i], c[i].floor);
    ASSERT_LE(s[i], std::max(c[i].floor, c[i].demand));
    sum += s[i];
    floors += c[i].floor;
    allSatisfied = allSatisfied && s[i] >= std::max(c[i].floor, c[i].demand);
  }
  const uint64_t avail = budget > reserved ? budget - reserved : 0;
  if (floors >= avail) {
    ASSERT_EQ(sum, floors);
    return;
  }
  ASSERT_LE(sum, avail);
  if (!allSatisfied) {
    ASSERT_GE(sum + c.size(), avail);
  }
  for (size_t i = 0; i < c.size(); ++i) {
    if (s[i] >= std::max(c[i].floor, c[i].demand)) continue;
    const double mine = (s[i] + 1 - c[i].floor) / c[i].weight;
    for (size_t j = 0; j < c.size(); ++j) {
      ASSERT_LE((s[j] - c[j].floor) / c[j].weight, mine) << i << " vs " << j;
    }
  }
}

TEST(FleetShares, WeightedMaxMinAboveFloorsAndReserves) {
  struct Case {
    uint64_t budget, reserved;
    std::vector<Claim> claims;
    std::vector<uint64_t> shares;
  } cases[] = {
      // Equal weights, all busy; then one that needs little leaves the rest.
      {36000, 0, {{"a", 1, 36000, 720}, {"b", 1, 36000, 720}, {"c", 2, 36000, 720}},
       {9180, 9180, 17640}},
      {36000, 0, {{"a", 1, 36000, 720}, {"b", 1, 36000, 720}, {"c", 2, 720, 720}},
       {17640, 17640, 720}},
      {1000, 0, {{"a", 3, 100, 10}, {"b", 1, 5000, 10}}, {100, 900}},
      // A dead machine's safe share is set aside; floors are never cut.
      {1000, 400, {{"a", 1, 5000, 10}, {"b", 1, 5000, 10}}, {300, 300}},
      {100, 95, {{"a", 1, 5000, 10}, {"b", 1, 5000, 10}}, {10, 10}},
      {0, 0, {}, {}},
  };
  for (const Case& k : cases) {
    const std::vector<uint64_t> got = MaxMinShares(k.budget, k.reserved, k.claims);
    EXPECT_EQ(got, k.shares);
    CheckMaxMin(k.budget, k.reserved, k.claims, got);
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(round);
    std::vector<Claim> claims(1 + rng() % 6);
    const uint64_t budget = 1 + rng() % 100000;
    for (Claim& c : claims) {
      c.weight = 1 + rng() % 8;
      c.floor = 1 + rng() % (1 + budget / 50);
      c.demand = rng() % 3 == 0 ? budget : rng() % (budget + 1);
    }
    const uint64_t reserved = rng() % 2 ? 0 : rng() % (budget + 1);
    CheckMaxMin(budget, reserved, claims, MaxMinShares(budget, reserved, claims));
  }
}

// Three machines: instances of one registry, each with its own machine name,
// its agent and (when started) a job process querying one stream.
class Site {
 public:
  static constexpr uint64_t kBudget = 36000;
  explicit Site(fleettest::EtcdCluster* etcd) : etcd_(etcd) {
    // A keeper outlives its agent: this process reaps it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int i = 0; i < 3; ++i) {
      const std::string focus = inst_.focus() + "m" + std::to_string(i);
      focus_.push_back(focus);
      const std::string dir = inst_.root() + "/registry/Halvex/" + focus + "/Platform";
      std::filesystem::create_directories(dir);
      hxtest::WriteFile(dir + "/.properties",
                        "JobResultsDirectory " + inst_.jobResultsDir() + "\nLogFilesDirectory " +
                            inst_.logDir() + "\nPhysicalMachine machine" + std::to_string(i) + "\n");
      tables_.emplace_back(new CHxThrottlingManager());
      EXPECT_EQ(tables_.back()->Initialize(focus.c_str(), 9, kTMKindOutbound), 0);
    }
    agents_.assign(3, 0);
    jobs_.assign(3, 0);
    sampler_ = std::thread([this] { Sample(); });
  }
  ~Site() {
    for (int i = 0; i < 3; ++i) {
      StopJob(i);
      StopAgent(i, SIGTERM);
    }
    // With no job left, each keeper gives its floor back within the grace
    // period and ends.
    for (pid_t k : keepers_) {
      for (int i = 0; i < 300 && waitpid(k, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (kill(k, SIGKILL) == 0) ADD_FAILURE() << "keeper " << k << " did not end";
      waitpid(k, nullptr, 0);
    }
    stop_ = true;
    sampler_.join();
    for (auto& t : tables_) t->Uninitialize();
  }

  std::string Fleet(const std::vector<std::string>& args, int* status = nullptr) {
    std::string out;
    const int rc = hxtest::RunAndCapture(std::string(HX_TEST_BIN_DIR) + "/hxfleet", args, &out);
    if (status) *status = rc;
    return out;
  }
  // An agent for machine i, its standard output (and error) to files.
  pid_t SpawnAgent(int i, int weight, const std::string& out, const std::string& err = "", int safe = 6) {
    return hxtest::Spawn(std::string(HX_TEST_BIN_DIR) + "/hxfleet",
                         {"agent", "--etcd", etcd_->Endpoints(), "--site", "s1", "--focus", focus_[i],
                          "--weight", std::to_string(weight), "--lease-seconds", "4", "--safe-seconds",
                          std::to_string(safe), "--grace-seconds", "15", "--textfile-dir", inst_.root()},
                         out, err);
  }
  // Waits up to 5 s for text in file; the file then.
  std::string WaitForText(const std::string& file, const std::string& text) {
    std::string out;
    for (int n = 0; n < 100 && out.find(text) == std::string::npos; ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      out = hxtest::ReadFile(file);
    }
    return out;
  }
  void StartAgent(int i, int weight, int safe = 6) {
    const std::string file = inst_.root() + "/agent" + std::to_string(i) + ".out";
    agents_[i] = SpawnAgent(i, weight, file, "", safe);
    const std::string out = WaitForText(file, ")\n");
    const size_t at = out.find("keeper ");
    ASSERT_NE(at, std::string::npos) << out;
    keepers_.push_back(std::stoi(out.substr(at + 7)));
  }
  void StopAgent(int i, int sig) {
    if (agents_[i] == 0) return;
    kill(agents_[i], sig);
    hxtest::WaitExit(agents_[i]);
    agents_[i] = 0;
  }
  // A job with one unlimited stream that queries its rate every 5 ms for
  // seconds, then unregisters it and ends. A shell starts it and stays its
  // parent, the process its stream belongs to, as a job controller would.
  void StartJob(int i, int seconds = 600) {
    setenv("HXFOCUS", focus_[i].c_str(), 1);
    jobs_[i] = hxtest::Spawn("/bin/sh", {"-c", "\"$0\" \"$@\"; exit $?", hxtest::ChildPath("job_child"),
                                         "reg", "1", "1", "0", "0", "watch", "0",
                                         std::to_string(time(nullptr) + seconds), "unreg", "0"},
                             inst_.root() + "/job" + std::to_string(i) + ".out");
    setenv("HXFOCUS", inst_.focus().c_str(), 1);
  }
  // kill: SIGKILL to the job and its parent, as when the machine dies; else
  // waits for the job's end. Its exit status.
  int StopJob(int i, bool kill9 = true) {
    if (jobs_[i] == 0) return -1;
    const std::string pid = std::to_string(jobs_[i]);
    std::istringstream children(hxtest::ReadFile("/proc/" + pid + "/task/" + pid + "/children"));
    if (kill9) kill(jobs_[i], SIGKILL);
    const int rc = hxtest::WaitExit(jobs_[i]);
    for (pid_t c; kill9 && children >> c;) {
      kill(c, SIGKILL);
      waitpid(c, nullptr, 0);  // this process's child since its parent died
    }
    jobs_[i] = 0;
    return rc;
  }
  bool JobRunning(int i) { return jobs_[i] != 0 && waitpid(jobs_[i], nullptr, WNOHANG) == 0; }
  const std::string& root() { return inst_.root(); }
  std::string Textfile(int i) {
    return hxtest::ReadFile(inst_.root() + "/hxfleet_halvex_" + focus_[i] + ".prom");
  }
  // etcd writes the agents report in their textfiles so far.
  uint64_t Writes() {
    uint64_t sum = 0;
    for (int i = 0; i < 3; ++i) {
      const std::string text = Textfile(i);
      const size_t at = text.find("\nhxfleet_etcd_writes_total{");
      if (at != std::string::npos) sum += std::stoull(text.substr(text.find("} ", at) + 2));
    }
    return sum;
  }
  std::vector<uint32_t> Limits() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_;
  }
  // Waits up to seconds for pred(limits); the seconds it took, or -1.
  double WaitFor(double seconds, const std::function<bool(const std::vector<uint32_t>&)>& pred) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const double took =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (pred(Limits())) return took;
      if (took > seconds) {
        const std::vector<uint32_t> l = Limits();
        printf("limits at the timeout: %u %u %u\n", l[0], l[1], l[2]);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // The largest sum seen, and over how many samples.
  std::pair<uint64_t, int> Sums() {
    std::lock_guard<std::mutex> lock(mu_);
    return {maxSum_, samples_};
  }

 private:
  // Every 200 ms: each machine's applied limit, read from its table; the
  // largest sum seen (a limit of 0 would be no limit at all: counted as more
  // than the budget).
  void Sample() {
    while (!stop_) {
      std::vector<uint32_t> now;
      uint64_t sum = 0;
      for (auto& t : tables_) {
        unsigned int mbph = 0;
        t->GetComputerThroughput(mbph);
        now.push_back(mbph);
        sum += mbph == 0 ? kBudget + 1 : mbph;
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        last_ = now;
        if (started_) {
          if (sum > maxSum_) worst_ = now;
          maxSum_ = std::max(maxSum_, sum);
          ++samples_;
        }
        started_ = started_ || std::all_of(now.begin(), now.end(), [](uint32_t v) { return v != 0; });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  fleettest::EtcdCluster* etcd_;
  hxtest::TestInstance inst_;
  std::vector<std::string> focus_;
  std::vector<std::unique_ptr<CHxThrottlingManager>> tables_;
  std::vector<pid_t> agents_, jobs_, keepers_;
  std::thread sampler_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<uint32_t> last_ = std::vector<uint32_t>(3, 0);
  uint64_t maxSum_ = 0;

 public:
  std::vector<uint32_t> worst_;
  int samples_ = 0;
  bool started_ = false;
};

bool Within(uint32_t got, uint64_t want, double fraction) {
  return std::fabs(static_cast<double>(got) - static_cast<double>(want)) <= fraction * want;
}

TEST(FleetCluster, SharesFollowJobsAndFaultsWithinTheBudget) {
  if (access("/usr/bin/etcd", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/etcd (scripts/setup-deps.sh suite)";
  fleettest::EtcdCluster etcd(3);
  ASSERT_TRUE(etcd.ready());
  Site site(&etcd);
  int status = 0;
  // Bad input is refused and changes nothing.
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"-5"}, {"0"}, {"12x"}, {"99999999999"}, {"--schedule", "25:00,5", "100"},
           {"--schedule", "08:00,off", "100"}}) {
    std::vector<std::string> args = {"budget", "--etcd", etcd.Endpoints(), "--site", "s1"};
    args.insert(args.end(), bad.begin(), bad.end());
    site.Fleet(args, &status);
    EXPECT_EQ(status, 2) << bad.back();
  }
  site.Fleet({"budget", "--etcd", "http://127.0.0.1:1", "--site", "s1", "100"}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(site.Fleet({"status", "--etcd", etcd.Endpoints(), "--site", "s1"}).find("(none)"),
            std::string::npos);
  // Without a budget the agents still tell what they see.
  site.StartAgent(0, 1);
  site.StartAgent(1, 1);
  for (int n = 0; n < 50 && site.Textfile(0).find("hxfleet_budget_mbph{") == std::string::npos; ++n)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string text = site.Textfile(0);
  const size_t budgetAt = text.find("\nhxfleet_budget_mbph{");
  EXPECT_TRUE(budgetAt != std::string::npos && text.compare(text.find("} ", budgetAt), 4, "} 0\n") == 0)
      << text;
  site.Fleet({"budget", "--etcd", etcd.Endpoints(), "--site", "s1", "36000"}, &status);
  ASSERT_EQ(status, 0);

  // Floors 720, one more kept free for a joiner; the rest by weight.
  auto fair = [](std::vector<uint64_t> want) {
    return [want](const std::vector<uint32_t>& l) {
      for (size_t i = 0; i < want.size(); ++i) if (!Within(l[i], want[i], 0.05)) return false;
      return true;
    };
  };
  site.StartJob(0);
  site.StartJob(1);
  EXPECT_GE(site.WaitFor(20, fair({17640, 17640})), 0);
  // Machine 2 joins with a job at its floor before the others saw it: the
  // sampler counts from here.
  site.StartAgent(2, 2);
  site.StartJob(2, 8);
  const double converged = site.WaitFor(20, fair({9180, 9180, 17640}));
  EXPECT_GE(converged, 0);
  printf("figure: a machine joined -> shares converged in %.1f s\n", converged);

  EXPECT_EQ(site.StopJob(2, false), 0);  // its stream gone, the job ended
  const double afterStop = site.WaitFor(10, fair({17640, 17640, 720}));
  EXPECT_GE(afterStop, 0);
  printf("figure: job stopped -> shares converged in %.1f s\n", afterStop);
  site.StartJob(2);
  const double afterStart = site.WaitFor(10, fair({9180, 9180, 17640}));
  EXPECT_GE(afterStart, 0);
  printf("figure: job started -> shares converged in %.1f s\n", afterStart);

  // The etcd leader killed: jobs go on, the budget holds.
  const int leader = etcd.Leader();
  ASSERT_GE(leader, 0);
  etcd.Kill(leader);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_GE(site.WaitFor(10, fair({9180, 9180, 17640})), 0);
  etcd.Start(leader);

  // Agent 0 alone killed, its job going on: its machine falls to its safe
  // share after the lease, then to its floor, with nobody to tell it.
  const auto agentKilled = std::chrono::steady_clock::now();
  site.StopAgent(0, SIGKILL);
  const double toFloor = site.WaitFor(4 + 6 + 4, [](const std::vector<uint32_t>& l) {
    return l[0] == 720;
  });
  EXPECT_GE(toFloor, 0);
  printf("figure: agent killed -> floor after %.1f s (lease 4 s + safe 6 s)\n", toFloor);
  // The others take what it left within the lease and one refresh.
  const double regained = site.WaitFor(8, [](const std::vector<uint32_t>& l) {
    return l[1] + l[2] + l[0] >= 0.95 * 36000 && l[1] > 9180 * 1.05;
  });
  EXPECT_GE(regained, 0);
  printf("figure: others regained the share %.1f s after the floor\n", regained);
  // Its floor stays held while its job moves, past lease, safe and grace periods.
  std::this_thread::sleep_until(agentKilled + std::chrono::seconds(4 + 6 + 15 + 2));
  EXPECT_LE(site.Limits()[1] + site.Limits()[2], Site::kBudget - 2 * 720);

  // An agent restarted resumes from its floor, without a burst. Its longer
  // safe period is the one the others hold for it once it is gone.
  site.StartAgent(0, 1, 9);
  const double resumed = site.WaitFor(10, fair({9180, 9180, 17640}));
  EXPECT_GE(resumed, 0);
  printf("figure: restarted agent back to its share in %.1f s\n", resumed);
  // A second agent for machine 1 waits for the live one and takes nothing over.
  const pid_t twin = site.SpawnAgent(1, 5, "", site.root() + "/twin.out");
  EXPECT_NE(site.WaitForText(site.root() + "/twin.out", "has a live agent").find("waiting"), std::string::npos);
  kill(twin, SIGTERM);
  EXPECT_EQ(hxtest::WaitExit(twin), 0);
  EXPECT_GE(site.WaitFor(1, fair({9180, 9180, 17640})), 0);

  // Steady state (once the restarted agent settled): keep-alives only.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  const uint64_t writesBefore = site.Writes();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const uint64_t steadyWrites = site.Writes() - writesBefore;
  EXPECT_EQ(steadyWrites, 0u);
  printf("figure: steady state, %llu etcd writes in 10 s by 3 machines\n",
         static_cast<unsigned long long>(steadyWrites));

  // The leader stopped for 10 s, then quorum lost for 30 s: every machine
  // falls by the same deadlines, no job stops or runs unlimited, and the
  // shares come back after.
  const int stopped = etcd.Leader();
  ASSERT_GE(stopped, 0);
  etcd.Signal(stopped, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  etcd.Signal(stopped, SIGCONT);
  EXPECT_GE(site.WaitFor(10, fair({9180, 9180, 17640})), 0);
  etcd.Signal(0, SIGSTOP);
  etcd.Signal(1, SIGSTOP);
  const double allFloors = site.WaitFor(25, [](const std::vector<uint32_t>& l) {
    return l[0] == 720 && l[1] == 720 && l[2] == 720;
  });
  EXPECT_GE(allFloors, 0);
  printf("figure: quorum lost -> every machine at its floor after %.1f s\n", allFloors);
  std::this_thread::sleep_for(std::chrono::seconds(30 - static_cast<int>(std::max(0.0, allFloors))));
  etcd.Signal(0, SIGCONT);
  etcd.Signal(1, SIGCONT);
  const double recovered = site.WaitFor(20, fair({9180, 9180, 17640}));
  EXPECT_GE(recovered, 0);
  printf("figure: quorum back -> shares converged in %.1f s\n", recovered);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(site.JobRunning(i)) << i;

  // Machine 0 killed whole, agent and job: the others take its share less its
  // floor after its lease and safe period, then the floor once its keeper saw
  // no job for the grace period. (A second first, for its safe share to follow its share.)
  std::this_thread::sleep_for(std::chrono::seconds(1));
  site.StopAgent(0, SIGKILL);
  site.StopJob(0);
  auto others = [](uint32_t atLeast) {
    return [atLeast](const std::vector<uint32_t>& l) { return l[1] + l[2] >= atLeast; };
  };
  const double lessFloor = site.WaitFor(4 + 9 + 4, others(36000 - 2 * 720 - 400));
  EXPECT_GE(lessFloor, 0);
  const double floorBack = site.WaitFor(15 + 6, others(36000 - 720 - 360));
  EXPECT_GE(floorBack, 0);
  EXPECT_EQ(site.Limits()[0], 1u);  // nothing held for it, nothing applied
  printf("figure: machine killed -> its share less its floor in use after %.1f s, the floor %.1f s later\n",
         lessFloor, floorBack);
  // A clean stop while a job moves: that machine is at its floor at once, never below it.
  site.StopAgent(2, SIGTERM);
  EXPECT_GE(site.WaitFor(1, [](const std::vector<uint32_t>& l) { return l[2] == 720; }), 0);
  // Its floor is given back once the job has ended and the grace is over.
  EXPECT_EQ(site.StopJob(2), 128 + SIGKILL);
  EXPECT_GE(site.WaitFor(15 + 6, [](const std::vector<uint32_t>& l) { return l[1] >= 36000 - 720 - 360; }), 0);

  const auto sums = site.Sums();
  EXPECT_LE(sums.first, Site::kBudget)
      << site.worst_[0] << " + " << site.worst_[1] << " + " << site.worst_[2];
  printf("figure: %d samples, largest sum %llu of %llu\n", sums.second,
         static_cast<unsigned long long>(sums.first),
         static_cast<unsigned long long>(Site::kBudget));
  const std::string json = site.Fleet({"status", "--etcd", etcd.Endpoints(), "--site", "s1", "--json"});
  // Every floor given back: machine 0's by its keeper, machine 2's once its job ended.
  EXPECT_TRUE(json.find("\"machine1\"") != std::string::npos && json.find("\"held\": []") != std::string::npos)
      << json;
}

}  // namespace
