#include "platform/hx_platform_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "tests/common/test_env.h"

namespace {

class PlatformInfoTest : public ::testing::Test {
 protected:
  hxtest::TestInstance instance_;
  HxPlatformInfo info_;

  int Number(const std::string& text, unsigned long* value) {
    instance_.SetConfig("Hxd", "Value", text);
    return info_.getNumber("Hxd", "Value", value);
  }
};

TEST_F(PlatformInfoTest, NumbersParseAsDecimalOrHexOnlyWhenWholeTextIsANumber) {
  unsigned long v = 0;
  // A leading zero is still decimal.
  for (auto c : std::vector<std::pair<const char*, unsigned long>>{
           {"1234", 1234}, {"0x1F", 31}, {"0XfF", 255}, {"0", 0}, {"017", 17}}) {
    EXPECT_NE(Number(c.first, &v), 0) << c.first;
    EXPECT_EQ(v, c.second) << c.first;
  }
  v = 77;
  for (const char* bad : {"12abc", "abc", "", "0x", "0xZ1", "-5", "+5", "1 2", "1.5",
                          "99999999999999999999999"}) {
    EXPECT_EQ(Number(bad, &v), 0) << "'" << bad << "'";
    EXPECT_EQ(v, 77u) << "the caller's default stands for '" << bad << "'";
  }
  EXPECT_EQ(info_.getNumber("Hxd", "Absent", &v), 0);
  EXPECT_EQ(info_.getNumber("NoSuchSection", "Value", &v), 0);
  EXPECT_EQ(v, 77u);
}

TEST_F(PlatformInfoTest, StringValueIsTheRestOfTheLineAfterTheFirstBlanks) {
  std::string dir = instance_.root() + "/registry/Halvex/" + instance_.focus() + "/Sec";
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  hxtest::WriteFile(dir + "/.properties",
                    "Name \t value with  inner  blanks \r\n"
                    "Empty\n"
                    "NameLonger other\n"
                    "Tabbed\tx\ty\n"
                    "Twice first\n"
                    "Twice second\n");
  std::string s = "unchanged";
  ASSERT_NE(info_.getString("Sec", "Name", &s), 0);
  EXPECT_EQ(s, "value with  inner  blanks ");
  ASSERT_NE(info_.getString("Sec", "Empty", &s), 0);
  EXPECT_EQ(s, "");
  ASSERT_NE(info_.getString("Sec", "Tabbed", &s), 0);
  EXPECT_EQ(s, "x\ty");
  ASSERT_NE(info_.getString("Sec", "Twice", &s), 0);
  EXPECT_EQ(s, "second") << "a later line overrides";
  s = "unchanged";
  EXPECT_EQ(info_.getString("Sec", "Nam", &s), 0) << "prefixes do not match";
  EXPECT_EQ(s, "unchanged");
}

TEST_F(PlatformInfoTest, FocusSelectsTheInstanceAndItsPointersStayValid) {
  EXPECT_STREQ(info_.getFocus(), instance_.focus().c_str());
  instance_.SetConfig("Hxd", "Value", "5");
  HxPlatformInfo other;
  other.setFocus("SomeOtherInstance");
  unsigned long v = 0;
  EXPECT_EQ(other.getNumber("Hxd", "Value", &v), 0);
  EXPECT_EQ(HxRegistryRoot(), instance_.root() + "/registry/Halvex/");

  const char* before = HXPI_Focus::getFocus();
  std::string saved = before;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        std::string name = "F" + std::to_string(t) + "_" + std::to_string(i % 7);
        HXPI_Focus::setFocus(name.c_str());
        const char* got = HXPI_Focus::getFocus();
        ASSERT_EQ(got[0], 'F');  // any thread's name, but always a whole one
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_STREQ(before, saved.c_str()) << "an earlier pointer still reads its name";
  HXPI_PlatformBase::setFocus(saved.c_str());
  EXPECT_STREQ(HXPI_Focus::getFocus(), saved.c_str());
}

TEST_F(PlatformInfoTest, DirectoriesComeFromConfigurationAndAreCreated) {
  std::string jr = instance_.root() + "/deep/er/jobs";
  std::string logs = instance_.root() + "/deep/logs";
  instance_.SetConfig("Platform", "JobResultsDirectory", jr);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs);
  HXPI_CommClient comm;
  comm.setFocus(HXPI_Focus::getFocus());
  const char* got = comm.getJobResultsDirectory("hxtesthost");
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::string(got), jr);
  struct stat st;
  EXPECT_TRUE(stat(jr.c_str(), &st) == 0 && S_ISDIR(st.st_mode));

  HXPI_EventManager events(0, 1);
  const char* logDir = events.getLogFilesDirectory();
  ASSERT_NE(logDir, nullptr) << events.getLastErrorMsg();
  EXPECT_EQ(std::string(logDir), logs);
  EXPECT_TRUE(stat(logs.c_str(), &st) == 0 && S_ISDIR(st.st_mode));

  // A path that cannot be a directory: null with a reason.
  hxtest::WriteFile(instance_.root() + "/afile", "x");
  instance_.SetConfig("Platform", "LogFilesDirectory", instance_.root() + "/afile/sub");
  EXPECT_EQ(events.getLogFilesDirectory(), nullptr);
  EXPECT_STRNE(events.getLastErrorMsg(), "");
  instance_.SetConfig("Platform", "JobResultsDirectory", instance_.root() + "/afile");
  EXPECT_EQ(comm.getJobResultsDirectory("hxtesthost"), nullptr);

  // A directory other users can write is refused, with the reason, and
  // nothing is created in it.
  ASSERT_EQ(chmod(logs.c_str(), 0777), 0);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs + "/sub");
  instance_.SetConfig("Platform", "JobResultsDirectory", logs);
  EXPECT_EQ(events.getLogFilesDirectory(), nullptr);
  EXPECT_NE(std::string(events.getLastErrorMsg()).find("writable by other users"), std::string::npos)
      << events.getLastErrorMsg();
  EXPECT_EQ(comm.getJobResultsDirectory("hxtesthost"), nullptr);
  EXPECT_NE(stat((logs + "/sub").c_str(), &st), 0);
}

TEST_F(PlatformInfoTest, MachinePlatformTypeAndGroupHaveDefaults) {
  EXPECT_STREQ(info_.getPhysicalMachine(), "hxtesthost");
  instance_.RemoveConfig("Platform", "PhysicalMachine");
  char host[256] = {0};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  EXPECT_STREQ(info_.getPhysicalMachine(), host);

  EXPECT_EQ(HXPI_Base::getPlatformType(), 0x6u);
  instance_.SetConfig("Platform", "PlatformType", "0x2");
  EXPECT_EQ(HXPI_Base::getPlatformType(), 0x2u);

  EXPECT_EQ(isHalvexGroupConfigured(), 0);
  instance_.SetConfig("Platform", "HxGroup", "");
  EXPECT_EQ(isHalvexGroupConfigured(), 0) << "an empty group name is no group";
  instance_.SetConfig("Platform", "HxGroup", "hxusers");
  EXPECT_NE(isHalvexGroupConfigured(), 0);
}

}  // namespace
