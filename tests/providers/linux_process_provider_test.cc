#include "providers/linux_process_provider.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "platform/hx_platform_info.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

using hxtest::CaptureCallback;
using hxtest::ReplayEnv;

const char kCpus[] = "getconf _NPROCESSORS_ONLN";
const char kExeLinks[] =
    "ls -l /proc/*/exe | awk '{ if ($11 && match($9, /^\\/proc\\/([0-9]*)/,a)) print a[1], $11 }'";

std::string PsCommand(const std::string& id) {
  return "ps hww -p " + id + " -o %cpu,fname,pid,nlwp,vsz,args";
}
std::string FdCommand(const std::string& id) { return "ls -1 /proc/" + id + "/fd | wc -l"; }
std::string IoCommand(const std::string& id) {
  return "iotop -bakn1 -p " + id + " | sed 1,2d  |awk '{print $4,$6}'";
}

class ProcessProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.passThrough = {"/Runtime/.properties"};  // getProcesslist reads the test registry
    env.Reply(kCpus, 0, "2\n");
  }
  // The platform's own processes, as the runtime properties file lists them.
  void SetOwnProcesses(const std::string& lines) {
    const std::string dir = HxRegistryRoot() + instance.focus() + "/Runtime";
    std::filesystem::create_directories(dir);
    hxtest::WriteFile(dir + "/.properties", lines);
  }
  // Replies for a live process: ps line, 5 descriptors, iotop sizes.
  void Process(const std::string& id, const std::string& psLine,
               const std::string& io = "DISK DISK\n0.00 0.00\n") {
    env.Reply(PsCommand(id), 0, psLine + "\n");
    env.Reply(FdCommand(id), 0, "5\n");
    env.Reply(IoCommand(id), 0, io);
  }
  hxtest::Rows Update() {
    if (!initialized) Initialize();
    return hxtest::UpdateRows(provider, callback, RSRC_AGENT_PROCESS, "Process", 13);
  }
  static std::vector<std::string> Pids(const hxtest::Rows& rows) { return hxtest::Column(rows, 2); }
  size_t CountCommandsStartingWith(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& c : env.commands) n += c.rfind(hxprov::kCommandPrefix + prefix, 0) == 0;
    return n;
  }

  void Initialize() {
    ASSERT_EQ(provider.Initialize(nullptr, &callback), 0);
    initialized = true;
  }

  hxtest::TestInstance instance;
  ReplayEnv env;
  CHxPerfProviderLinuxProcess provider{&env};
  CaptureCallback callback;
  bool initialized = false;
};

TEST_F(ProcessProviderTest, RecordedOutputsGiveOneRowPerOwnProcess) {
  hxtest::LoadFixture("process_real.txt", &env);
  std::vector<std::string> ids;
  std::string own;
  for (const auto& reply : env.replies) {
    std::istringstream cmd(reply.first.substr(strlen(hxprov::kCommandPrefix)));
    std::string w1, w2, w3, id;
    if (cmd >> w1 >> w2 >> w3 >> id && w1 == "ps" && w3 == "-p") {
      ids.push_back(id);
      own += "pid " + id + "\n";
    }
  }
  ASSERT_FALSE(ids.empty());
  SetOwnProcesses(own + "name hxd\n");
  const auto rows = Update();
  EXPECT_TRUE(env.unknownCommands.empty());
  ASSERT_EQ(Pids(rows), ids);
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string psLine = env.replies.at(hxprov::kCommandPrefix + PsCommand(ids[i])).output;
    std::istringstream ps(psLine);
    std::string cpu, name, pid, threads;
    uint64_t vsz;
    ASSERT_TRUE(ps >> cpu >> name >> pid >> threads >> vsz);
    const auto& row = rows[i];
    EXPECT_TRUE(hxtest::IsNumeric(row[0])) << row[0];
    EXPECT_EQ(row[1], name);
    EXPECT_EQ(row[5], std::to_string(vsz * 1024));
    EXPECT_EQ(row[6] + row[7], "");
    // The rest of the ps line, leading blank included.
    const size_t rest = static_cast<size_t>(ps.tellg());
    EXPECT_EQ(row[12], psLine.substr(rest, psLine.size() - 1 - rest));
  }
}

TEST_F(ProcessProviderTest, ConfiguredNamesPolicyListsAndPathsDuplicatesRepeat) {
  instance.SetConfig("EventManager", "sMonitorProcessNames", "a, b ,c");
  SetOwnProcesses("pid 100\npid 200\n");
  Process("100", " 1.0 hxd 100 3 1024 /opt/hx/hxd");
  Process("200", " 0.0 hxjob 200 1 1024 hxjob");
  Process("300", " 0.0 c 300 1 1024 c");
  env.Reply("pgrep 'a'\\|'b'\\|'c'", 0, "300\n100\n");
  Initialize();
  EXPECT_EQ(instance.LogLinesContaining(
                    "CHxPerfProviderLinuxProcess::Initialize: Added these many process:[3]")
                .size(),
            1u);
  EXPECT_EQ(Pids(Update()), (std::vector<std::string>{"100", "200", "300", "100"}));
  EXPECT_TRUE(env.unknownCommands.empty());

  // Policy lists replace the configured names; path prefixes match the
  // executable targets, skipping damaged lines of the listing.
  std::vector<std::string> none, paths = {"/opt/hx/", "/opt/hx/bin"};
  provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, none);
  provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_PATHS, paths);
  env.Reply(kExeLinks, 0,
            "400 /opt/hx/bin/hxd\n500 /usr/bin/bash\n0 /opt/hx/zero\n-5 /opt/hx/neg\n600\n"
            "700 /opt/hx/sbin/z\n800 /opt/hxother\nend /opt/hx/after\n900 /opt/hx/late\n");
  Process("400", " 0.0 hxd 400 1 1 /opt/hx/bin/hxd");
  Process("700", " 0.0 z 700 1 1 /opt/hx/sbin/z");
  env.commands.clear();
  EXPECT_EQ(Pids(Update()), (std::vector<std::string>{"100", "200", "400", "400", "700"}));
  EXPECT_EQ(CountCommandsStartingWith("pgrep"), 0u);
  EXPECT_TRUE(env.unknownCommands.empty());
}

TEST_F(ProcessProviderTest, RowValuesIn64BitWithArgumentsKeptEndedProcessSkipped) {
  SetOwnProcesses("pid 100\npid 400\npid 200\npid 300\n");
  env.Reply(PsCommand("400"), 1, "");  // ended after gathering
  Process("100", " 12.0 hxd        100    7   2048 /opt/hx/hxd --a=1,2,3 --b \"x, y\"",
          "DISK DISK\n1234.00 56.00\n");
  Process("200", " 3.0 big 200 1 8388608 big");  // an 8 GiB virtual size
  env.Reply(IoCommand("200"), 1, "");
  Process("300", " 3.0 nofds 300 1 1 nofds");
  env.Reply(FdCommand("300"), 1, "");
  auto rows = Update();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"6.000000", "hxd", "100", "7", "5", "2097152", "",
                                                "", "0", "56", "0", "1234",
                                                " /opt/hx/hxd --a=1,2,3 --b \"x, y\""}));
  EXPECT_EQ(rows[1][5], "8589934592");
  EXPECT_EQ(rows[1][9], "0");  // iotop failed
  EXPECT_EQ(rows[1][11], "0");
  EXPECT_EQ(rows[2][4], "0");  // descriptor count failed
  EXPECT_EQ(CountCommandsStartingWith("ls -1 /proc/400"), 0u);

  env.Reply(kCpus, 0, "0\n");  // 0 processors count as 1
  EXPECT_EQ(Update()[0][0], "12.000000");
  env.Reply(kCpus, 1, "");
  EXPECT_EQ(Update()[0][0], "12.000000");
}

// Names from configuration or policy are data: quoted, they run nothing.
TEST_F(ProcessProviderTest, HostileNamesRunNothing) {
  const std::string owned = instance.root() + "/owned";
  instance.SetConfig("EventManager", "sMonitorProcessNames", "x;touch " + owned + "1");
  env.passThrough = {""};  // every command in a real shell
  Initialize();
  provider.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  std::vector<std::string> names = {"y", "$(touch " + owned + "2)", "`touch " + owned + "3`",
                                    "z' ; touch " + owned + "4 ; '"};
  provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
  provider.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  EXPECT_EQ(CountCommandsStartingWith("pgrep"), 2u);
  for (int i = 1; i <= 4; ++i) {
    struct stat st;
    EXPECT_NE(stat((owned + std::to_string(i)).c_str(), &st), 0) << "name " << i << " ran";
  }
}

// A policy thread replacing the name list while updates run: every update
// sees one whole list. Meaningful under TSan as well.
TEST_F(ProcessProviderTest, UpdatesNeverSeeAHalfReplacedList) {
  std::vector<std::string> listA, listB;
  for (int i = 0; i < 50; ++i) {
    listA.push_back("a" + std::to_string(i));
    listB.push_back("b" + std::to_string(i));
  }
  std::vector<std::string> paths = {"/opt/"};
  env.passThrough.clear();  // no real commands: only the lists matter here
  provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, listA);
  std::atomic<bool> stop{false};
  std::atomic<int> replaced{0};
  std::thread policy([&] {
    for (int i = 0; !stop.load(); ++i) {
      std::vector<std::string> list = i % 2 ? listA : listB;
      provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, list);
      provider.SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_PATHS, paths);
      replaced.fetch_add(1);
    }
  });
  // Updates until the lists have been replaced many times during them.
  for (int i = 0; i < 300 || replaced.load() < 300; ++i) {
    provider.UpdatePerfCounters(RSRC_AGENT_PROCESS);
  }
  stop = true;
  policy.join();

  auto pgrepOf = [](const std::vector<std::string>& names) {
    std::string cmd = std::string(hxprov::kCommandPrefix) + "pgrep ";
    for (size_t i = 0; i < names.size(); ++i) cmd += (i ? "\\|'" : "'") + names[i] + "'";
    return cmd;
  };
  const std::set<std::string> whole = {pgrepOf(listA), pgrepOf(listB)};
  size_t pgreps = 0;
  for (const auto& c : env.commands) {
    if (c.rfind(std::string(hxprov::kCommandPrefix) + "pgrep", 0) != 0) continue;
    ++pgreps;
    EXPECT_EQ(whole.count(c), 1u) << c.substr(0, 80);
  }
  EXPECT_GT(pgreps, 0u);
}

}  // namespace
