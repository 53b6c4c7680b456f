#include "providers/linux_tcp_provider.h"

#include <sys/stat.h>

#include <cinttypes>
#include <set>
#include <sstream>

#include "gtest/gtest.h"
#include "platform/hx_process.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

using hxtest::CaptureCallback;
using hxtest::ReplayEnv;

const char kIp[] = "ip -s link | sed 's/^[ \t]*//' | grep ^[0-9]";

struct Iface {
  std::string name;
  uint64_t rxBytes, rxPackets, txBytes, txPackets;
};

// "ip -s link" output after the provider's sed and grep, for these interfaces.
std::string IpOutput(const std::vector<Iface>& ifaces) {
  std::string out;
  int index = 1;
  char buf[512];
  for (const Iface& i : ifaces) {
    snprintf(buf, sizeof(buf),
             "%d: %s: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc fq_codel state UP mode "
             "DEFAULT group default qlen 1000\n%" PRIu64 "    %" PRIu64
             "      0       0       0       0 \n%" PRIu64 "    %" PRIu64
             "      0       0       0       0 \n",
             index++, i.name.c_str(), i.rxBytes, i.rxPackets, i.txBytes, i.txPackets);
    out += buf;
  }
  return out;
}

std::string SpeedCommand(const std::string& name) {
  return "awk '{print $1}' /sys/class/net/" + HxShellQuote(name) + "/speed";
}

class TcpProviderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(provider.Initialize(nullptr, &callback), 0); }
  // One update at time now with ip printing output; the rows it reported.
  hxtest::Rows Update(uint32_t now, const std::string& output, int result = 0) {
    env.now = now;
    env.Reply(kIp, result, output);
    return hxtest::UpdateRows(provider, callback, RSRC_AGENT_TCPIP, "Tcpip", 10);
  }
  static std::vector<std::string> Names(const hxtest::Rows& rows) {
    return hxtest::Column(rows, 0);
  }

  hxtest::TestInstance instance;
  ReplayEnv env;
  CHxPerfProviderLinuxTCP provider{&env};
  CaptureCallback callback;
};

TEST_F(TcpProviderTest, RecordedOutputFirstSampleSilentThenOneRowPerInterface) {
  hxtest::LoadFixture("network_real.txt", &env);
  const std::string recorded = env.replies.at(std::string(hxprov::kCommandPrefix) + kIp).output;
  EXPECT_TRUE(Update(1000, recorded).empty());
  const auto rows = Update(1060, recorded);
  // Every recorded interface but the loopback, in byte-wise order, with no
  // traffic in between and the speed its file gave.
  std::set<std::string> expected;
  std::istringstream lines(recorded);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string index, name;
    if (words >> index >> name && index.back() == ':' && name.rfind("lo", 0) != 0) {
      expected.insert(name.substr(0, name.size() - 1));
    }
  }
  ASSERT_EQ(Names(rows), std::vector<std::string>(expected.begin(), expected.end()));
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 10u);
    EXPECT_EQ(row[1], "0");
    EXPECT_EQ(row[2], "0");
    EXPECT_EQ(row[4], "0");
    EXPECT_EQ(row[5], "0");
    for (int i = 6; i < 10; ++i) EXPECT_EQ(row[i], "");
    const auto& speed = env.replies.at(hxprov::kCommandPrefix + SpeedCommand(row[0]));
    EXPECT_EQ(row[3], speed.result != 0 ? "0"
                                        : std::to_string(static_cast<uint32_t>(
                                              std::stoll(speed.output))));  // "-1": 4294967295
  }
  EXPECT_TRUE(env.unknownCommands.empty());
}

TEST_F(TcpProviderTest, RatesWrapOnlyWhere32BitCountersWrappedAndFollowTheClock) {
  env.Reply(SpeedCommand("eth0"), 0, "1000\n");
  Update(1000, IpOutput({{"eth0", 1000, 5000000000ull, 4294967000ull, 6000000000ull}}));
  const auto rows = Update(1060, IpOutput({{"eth0", 61000, 5000060000ull, 296, 1200}}));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], "1000");  // 60000 bytes in 60 s
  EXPECT_EQ(rows[0][2], "9");     // 32-bit wrap: 592 bytes
  EXPECT_EQ(rows[0][3], "1000");
  EXPECT_EQ(rows[0][4], "1000");  // 64-bit counter past 2^32, no truncation
  EXPECT_EQ(rows[0][5], "20");    // fell from above 2^32: reset, counts from 0
  EXPECT_EQ(CHxPerfProviderLinuxTCP::CounterDelta(UINT32_MAX, 5), 6u);  // the last 32-bit value wraps
  // A 64-bit byte rate beyond 2^32 per second prints whole.
  const auto fast = Update(1070, IpOutput({{"eth0", 61000 + 50000000000ull, 5000060000ull,
                                             296, 1200}}));
  ASSERT_EQ(fast.size(), 1u);
  EXPECT_EQ(fast[0][1], "5000000000");
  // A clock set back makes the fresh sample the base: rows resume one second
  // later, not once the clock has caught up with the old base.
  const uint64_t rx = 61000 + 50000000000ull, packets = 5000060000ull;
  const auto sample = [&](uint64_t bytes, uint64_t pkts) {
    return IpOutput({{"eth0", bytes, pkts, 296, 1200}});
  };
  EXPECT_TRUE(Update(900, sample(rx + 999999, packets)).empty());
  const auto back = Update(901, sample(rx + 999999 + 500, packets + 7));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0][1], "500");
  EXPECT_EQ(back[0][4], "7");
  // No elapsed time, or ip failing, reports nothing and keeps the earlier sample.
  EXPECT_TRUE(Update(901, sample(rx + 7777777, packets)).empty());  // same second
  EXPECT_TRUE(Update(950, "", 1).empty());                             // ip failed
  const auto kept = Update(1001, sample(rx + 999999 + 500 + 10000, packets + 107));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0][1], "100");  // averaged over the 100 s since the kept sample
  EXPECT_EQ(kept[0][4], "1");
}

// Rows only for interfaces seen in both samples, loopback names dropped,
// the rest in byte-wise order.
TEST_F(TcpProviderTest, InterfacesAppearingAndDisappearingLoopbackDropped) {
  std::vector<Iface> ifaces = {{"eth1", 0, 0, 0, 0}, {"lo", 0, 0, 0, 0},  {"lo0", 0, 0, 0, 0},
                               {"l", 0, 0, 0, 0},    {"Eth", 0, 0, 0, 0}, {"gone", 0, 0, 0, 0}};
  Update(100, IpOutput(ifaces));
  ifaces.back() = {"eth0", 0, 0, 0, 0};
  EXPECT_EQ(Names(Update(160, IpOutput(ifaces))),
            (std::vector<std::string>{"Eth", "eth1", "l"}));
  EXPECT_EQ(Names(Update(220, IpOutput(ifaces))),
            (std::vector<std::string>{"Eth", "eth0", "eth1", "l"}));
}

// An interface name is data: it reaches the shell quoted, so it cannot run
// anything.
TEST_F(TcpProviderTest, HostileInterfaceNameRunsNothing) {
  const std::string owned = instance.root() + "/owned";
  const std::string name = "x;touch${IFS}" + owned + ";";
  env.passThrough = {"/sys/class/net/"};
  Update(100, IpOutput({{name, 0, 0, 0, 0}}));
  const auto rows = Update(160, IpOutput({{name, 60, 0, 0, 0}}));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], name);
  EXPECT_EQ(rows[0][3], "0");  // no such speed file
  struct stat st;
  EXPECT_NE(stat(owned.c_str(), &st), 0) << "the interface name ran as a command";
  EXPECT_EQ(env.commands.back(), hxprov::kCommandPrefix + SpeedCommand(name));
}

}  // namespace
