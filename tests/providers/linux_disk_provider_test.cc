#include "providers/linux_disk_provider.h"

#include <unistd.h>

#include <sstream>

#include "gtest/gtest.h"
#include "tests/providers/linux_provider_test_support.h"

namespace {

using hxtest::CaptureCallback;
using hxtest::ReplayEnv;

const char kStats[] = "awk '{  print $3, $8, $10, $4, $6, $11, $7, $12}' /proc/diskstats";
const char kPvs[] = "pvdisplay | grep \"PV Name\" | awk -F/ '{print $NF}'";
const char kLvs[] = "lvs -o vg_name,lv_name,lv_path --nosuffix --noheadings";
const char kDf[] =
    "df -P --exclude-type=nfs |  awk '{ if(1==index($1,\"/\")) { n=split($1,a,/\\//); "
    "print a[n], $2/1000, $4/1000, 100-$5}}'";

class DiskProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(provider.Initialize(nullptr, &callback), 0);
    env.Reply(kPvs, 0, "");
    env.Reply(kLvs, 0, "");
    env.Reply(kDf, 0, "");
  }
  hxtest::Rows Update() {
    hxtest::Rows rows =
        hxtest::UpdateRows(provider, callback, RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", 10);
    EXPECT_TRUE(env.unknownCommands.empty());
    return rows;
  }
  // A symbolic link in the test directory standing for an LVM device path.
  std::string DeviceLink(const std::string& name, const std::string& target) {
    const std::string path = instance.root() + "/" + name;
    EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0);
    return path;
  }

  hxtest::TestInstance instance;
  ReplayEnv env;
  CHxPerfProviderLinuxDisk provider{&env};
  CaptureCallback callback;
};

TEST_F(DiskProviderTest, RecordedOutputsGiveRowsForDevicesThatDidIO) {
  hxtest::LoadFixture("disk_real.txt", &env);
  std::vector<std::string> active;  // devices whose recorded line shows I/O
  std::istringstream stats(env.replies.at(std::string(hxprov::kCommandPrefix) + kStats).output);
  std::string name, writes, sectors, reads, rest;
  while (stats >> name >> writes >> sectors >> reads && std::getline(stats, rest)) {
    if (writes != "0" || reads != "0") active.push_back(name);
  }
  const auto rows = Update();
  EXPECT_EQ(hxtest::Column(rows, 0), active);
  // The recorded root file system lies on a device: its space is filled in.
  std::istringstream df(env.replies.at(std::string(hxprov::kCommandPrefix) + kDf).output);
  double total = 0;
  ASSERT_TRUE(df >> name >> total);
  for (const auto& row : rows) {
    if (row[0] == name) {
      EXPECT_EQ(row[9], std::to_string(static_cast<uint64_t>(total)));
    }
  }
}

TEST_F(DiskProviderTest, RatesPerBusySecondWithTheTenthMillisecondFloor) {
  env.Reply(kStats, 0,
            "sda 100 800 0 0 50 0 2\n"
            "sdb 3 24 0 0 0 0 0\n"
            "sdc 0 0 0 0 0 0 0\n"
            "sdd 0 0 1000000000 100000000000 0 1000 0\n");
  const auto rows = Update();
  ASSERT_EQ(rows.size(), 3u);  // sdc never did I/O
  EXPECT_EQ(rows[0], (std::vector<std::string>{"sda", "2000", "8192000", "0", "0", "2", "2",
                                                "0", "0", "0"}));
  EXPECT_EQ(rows[1][0], "sdb");
  EXPECT_EQ(rows[1][1], "30000");  // 3 writes in 0 ms count as 0.1 ms
  EXPECT_EQ(rows[1][2], "122880000");
  // Rates beyond 2^32 print whole.
  EXPECT_EQ(rows[2][3], "1000000000");
  EXPECT_EQ(rows[2][4], "51200000000000");
}

TEST_F(DiskProviderTest, VolumesRemappedSwapAndPhysicalVolumesDropped) {
  env.Reply(kStats, 0,
            "sda 1 1 1 1 1 1 0\nsda2 1 1 1 1 1 1 0\ndm-0 2 2 2 2 2 2 0\n"
            "dm-1 3 3 3 3 3 3 0\ndm-2 4 4 4 4 4 4 0\ndm-3 5 5 5 5 5 5 0\n");
  env.Reply(kPvs, 0, "sda2\n");
  env.Reply(kLvs, 0,
            "  vg0 root    " + DeviceLink("root", "../dm-0") + "\n" +
            "  vg0 swap    " + DeviceLink("swap", "../dm-1") + "\n" +
            "  vg0 lv_swap " + DeviceLink("lv_swap", "/dev/dm-2") + "\n" +
            "  vg0 myswap  " + DeviceLink("myswap", "dm-3") + "\n" +
            "  vg0 gone    " + instance.root() + "/no-such-link\n");
  env.Reply(kDf, 0, "vg0-root 2e+06 1500.5 75\nsda 100 50 50\nnfsroot 1 1 1\n");
  const auto rows = Update();
  EXPECT_EQ(hxtest::Column(rows, 0), (std::vector<std::string>{"sda", "vg0-myswap", "vg0-root"}));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2][1], "1000");  // dm-0's counters under the volume's name
  EXPECT_EQ(rows[2][7], "1500");
  EXPECT_EQ(rows[2][8], "75");
  EXPECT_EQ(rows[2][9], "2000000");
  EXPECT_EQ(rows[1][9], "0");  // no mounted file system
  EXPECT_EQ(rows[0][9], "100");
}

TEST_F(DiskProviderTest, FailedCommandsSkipTheirStep) {
  env.Reply(kStats, 1, "");
  EXPECT_TRUE(Update().empty());
  env.Reply(kStats, 0, "sda 1 1 1 1 1 1 0\n");
  env.Reply(kPvs, 127, "");
  env.Reply(kLvs, 127, "");
  env.Reply(kDf, 1, "");
  const auto rows = Update();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "sda");
}

}  // namespace
